// The options windows and the set-password dialogs, as a user meets them.
#include "app/WindowRegistry.h"
#include "app/MainWindow.h"
#include "archive/ArchiveComponent.h"
#include "create/OptionsWindow.h"
#include "create/PasswordDialog.h"
#include "support/Fixtures.h"
#include "support/StandIns.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace oz;
using namespace oz::test;
using create::OptionsWindow;
using create::PasswordDialog;

namespace {
void typeTwice(PasswordDialog *d, const QString &first, const QString &second)
{
    d->txtpw->setFocus();
    QTest::keyClicks(d->txtpw, first);
    QTest::keyClicks(d->txtconfirmpw, second);
}
} // namespace

class OptionsTest : public QObject {
    Q_OBJECT
private slots:
    // Each options window starts with the defaults a build reads; only model 2 has the
    // extractor's own settings.
    void windowsAndTheirDefaults()
    {
        StandIns s;
        app::MainWindow w;
        OptionsWindow *advance = w.windows().advance();
        OptionsWindow *s1 = w.windows().advances1();
        OptionsWindow *s2 = w.windows().advances2();
        for (OptionsWindow *o : {advance, s1, s2}) {
            QCOMPARE(o->FilePattern->text(), QStringLiteral("*.*"));
            QCOMPARE(o->ExclusionsText->text(), QString());
            QCOMPARE(OptionsWindow::value(o->Recurse), 1);
            QCOMPARE(OptionsWindow::value(o->SaveFullFilenames) + OptionsWindow::value(o->ArchiveOnly)
                         + OptionsWindow::value(o->IncludeHidden) + OptionsWindow::value(o->IncludeSystem),
                     0);
        }
        QVERIFY(s2->autotemp->isChecked());
        QCOMPARE(s2->parameter->text(), QString());
        QVERIFY(!advance->autotemp && !s1->parameter);
    }

    // What clicks in the options window do to the archive on disk: sub-folders, hidden files,
    // the exclusion and the pattern, kept while the window is put away with OK and gone with it
    // when it is closed through its frame.
    void clickedOptionsShapeTheArchive()
    {
        StandIns s;
        QTemporaryDir data;
        const auto at = [&data](const QString &rel) { return data.filePath(rel); };
        writeFile(at("docs/a.txt"), "alpha");
        writeFile(at("docs/b.wav"), sampleBytes(3000, 1));
        writeFile(at("docs/.hidden.txt"), "hidden");
        writeFile(at("docs/sub/c.txt"), "see");
        app::MainWindow w;
        w.show();
        s.dialogs.pick(at("docs") + "/Select Folder and click Open");
        w.zipfolder->click();
        const auto build = [&](const QString &name) {
            s.dialogs.pick(at(name));
            w.wwwbook->click();
            QStringList names = entryNames(at(name));
            names.sort();
            return names;
        };

        w.Command3->click();
        OptionsWindow *o = w.windows().advance();
        QTest::mouseClick(o->Recurse, Qt::LeftButton);
        QTest::mouseClick(o->IncludeHidden, Qt::LeftButton);
        QTest::keyClicks(o->ExclusionsText, "*.wav");
        o->findChild<QPushButton *>("Command1")->click();
        QCOMPARE(build("flat.zip"), QStringList({".hidden.txt", "a.txt"}));

        w.Command3->click();
        QTest::mouseClick(o->Recurse, Qt::LeftButton);
        o->FilePattern->selectAll();
        QTest::keyClicks(o->FilePattern, "c.*");
        QTest::keyClick(o->FilePattern, Qt::Key_Return);
        QVERIFY(!o->isVisible());
        QCOMPARE(build("deep.zip"), QStringList({"sub/", "sub/c.txt"}));
        archive::ArchiveComponent reader;
        reader.OpenZip(at("deep.zip"));
        reader.ExtractToFolder(at("out"));
        QCOMPARE(readFile(at("out/sub/c.txt")), QByteArray("see"));

        w.Command3->click();
        o->close(); // the frame's close discards what was chosen
        QCOMPARE(build("all.zip"), QStringList({"a.txt", "b.wav", "sub/", "sub/c.txt"}));
    }

    // A password typed into the dialog encrypts the next archive: its files come back only with it.
    void aTypedPasswordEncryptsTheArchive()
    {
        StandIns s;
        QTemporaryDir data;
        writeFile(data.filePath("a.txt"), "alpha");
        app::MainWindow w;
        w.show();
        w.Command3->click();
        w.windows().advance()->findChild<QPushButton *>("zippas")->click();
        PasswordDialog *d = w.windows().changePW();
        typeTwice(d, "Sesame 42", "Sesame 42");
        QTest::keyClick(d->txtconfirmpw, Qt::Key_Return);
        s.dialogs.pick(QStringList{data.filePath("a.txt")});
        w.FBrowse->click();
        s.dialogs.pick(data.filePath("locked.zip"));
        w.wwwbook->click();

        archive::ArchiveComponent without;
        QVERIFY_THROWS_EXCEPTION(archive::ArchiveError, without.OpenZip(data.filePath("locked.zip")));
        archive::ArchiveComponent with;
        with.SetPassword("Sesame 42");
        with.OpenZip(data.filePath("locked.zip"));
        with.ExtractToFolder(data.filePath("out"));
        QCOMPARE(readFile(data.filePath("out/a.txt")), QByteArray("alpha"));
        QVERIFY(!readFile(data.filePath("locked.zip")).contains("alpha"));
    }

    // The SFX windows carry what Windows shows of the program and what signs it, in a column
    // beside the options they always had: every new caption fits its room, no new control covers
    // another, and the key's password is not shown.
    void windowsProgramFields()
    {
        StandIns s;
        app::MainWindow w;
        OptionsWindow *advance = w.windows().advance();
        QVERIFY(!advance->product && !advance->signcert && !advance->findChild<QGroupBox *>("Frame6"));
        for (OptionsWindow *o : {w.windows().advances1(), w.windows().advances2()}) {
            const std::vector<QLineEdit *> boxes{o->product, o->version,  o->company,  o->signcert,
                                                 o->signkey, o->signpass, o->timestamp};
            auto *frame = o->findChild<QGroupBox *>("Frame6");
            QVERIFY(frame && o->rect().contains(frame->geometry()));
            QVERIFY(frame->fontMetrics().horizontalAdvance(frame->title()) < frame->width() - 16);
            for (QLineEdit *box : boxes)
                QVERIFY(box && box->text().isEmpty());
            QCOMPARE(o->signpass->echoMode(), QLineEdit::Password);
            std::vector<QWidget *> added(boxes.begin(), boxes.end());
            for (QLabel *l : o->findChildren<QLabel *>())
                if (std::find(boxes.begin(), boxes.end(), l->buddy()) != boxes.end()) {
                    QVERIFY2(l->sizeHint().width() <= l->width(), qPrintable(l->text()));
                    added.push_back(l);
                }
            QCOMPARE(added.size(), 2 * boxes.size());
            for (QWidget *mine : added) {
                QVERIFY(frame->geometry().contains(mine->geometry()));
                for (QWidget *other : o->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
                    if (other != mine && !qobject_cast<QGroupBox *>(other))
                        QVERIFY2(!other->geometry().intersects(mine->geometry()),
                                 qPrintable(mine->objectName() + " meets " + other->objectName()));
            }
        }
    }

    void exclusionTakesTenCharacters()
    {
        StandIns s;
        app::MainWindow w;
        OptionsWindow *advance = w.windows().advance();
        advance->ExclusionsText->setFocus();
        QTest::keyClicks(advance->ExclusionsText, "*.abcdefghij");
        QCOMPARE(advance->ExclusionsText->text(), QStringLiteral("*.abcdefgh"));
    }

    void okKeepsValuesAndTheFrameDiscardsThem()
    {
        StandIns s;
        app::MainWindow w;
        w.Command3->click();
        OptionsWindow *advance = w.windows().advance();
        QVERIFY(advance->isVisible());
        advance->Recurse->click();
        advance->FilePattern->setText("*.jpg");
        advance->findChild<QPushButton *>("Command1")->click();
        QVERIFY(!advance->isVisible());
        w.Command3->click();
        QCOMPARE(w.windows().advance(), advance);
        QVERIFY(!advance->Recurse->isChecked());
        QCOMPARE(advance->FilePattern->text(), QStringLiteral("*.jpg"));

        advance->close();
        OptionsWindow *fresh = w.windows().advance();
        QVERIFY(fresh != advance);
        QVERIFY(fresh->Recurse->isChecked());
        QCOMPARE(fresh->FilePattern->text(), QStringLiteral("*.*"));
    }

    void windowsAreIndependent()
    {
        StandIns s;
        app::MainWindow w;
        w.windows().advances1()->FilePattern->setText("*.mpg");
        w.windows().advances1()->Recurse->setChecked(false);
        QCOMPARE(w.windows().advance()->FilePattern->text(), QStringLiteral("*.*"));
        QVERIFY(w.windows().advance()->Recurse->isChecked());
    }

    void settingAPassword()
    {
        StandIns s;
        app::MainWindow w;
        w.windows().advance()->findChild<QPushButton *>("zippas")->click();
        PasswordDialog *d = w.windows().changePW();
        QVERIFY(d->isVisible());
        QCOMPARE(d->windowTitle(), QStringLiteral("Set Password(Optional)"));
        QCOMPARE(d->txtpw->echoMode(), QLineEdit::Password);
        typeTwice(d, "Open Sesame", "Open Sesame");
        QTest::keyClick(d->txtconfirmpw, Qt::Key_Return); // Enter presses OK
        QCOMPARE(w.pas1->text(), QStringLiteral("Open Sesame"));
        QVERIFY(!d->isVisible());
        // Hidden, not destroyed: the fields still hold what was typed.
        QCOMPARE(w.windows().changePW(), d);
        QCOMPARE(d->txtpw->text(), QStringLiteral("Open Sesame"));
        QVERIFY(s.messages.shown.empty());
    }

    void mismatchesAreReported_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("different") << "alpha"
                                   << "beta";
        QTest::newRow("letter case") << "Secret"
                                     << "secret";
        QTest::newRow("trailing blank") << "pass"
                                        << "pass ";
    }
    void mismatchesAreReported()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        StandIns s;
        app::MainWindow w;
        w.pas1->setText("before");
        PasswordDialog *d = w.windows().changePW();
        present(d);
        typeTwice(d, first, second);
        d->findChild<QPushButton *>("cmdOK")->click();
        QCOMPARE(s.messages.texts(), QStringList({"Passwords don't match, try again!"}));
        QCOMPARE(s.messages.shown[0].title, QStringLiteral("Error"));
        QCOMPARE(s.messages.shown[0].icon, platform::MsgIcon::None);
        QCOMPARE(d->txtpw->text(), QString());
        QCOMPARE(d->txtconfirmpw->text(), QString());
        QVERIFY(d->isVisible());
        QCOMPARE(w.pas1->text(), QStringLiteral("before"));
    }

    void clearingAndCancelling()
    {
        StandIns s;
        app::MainWindow w;
        w.pas1->setText("set earlier");
        PasswordDialog *d = w.windows().changePW();
        present(d);
        typeTwice(d, "changed", "changed");
        d->findChild<QPushButton *>("cmdCancel")->click();
        QCOMPARE(w.pas1->text(), QStringLiteral("set earlier"));
        PasswordDialog *again = w.windows().changePW();
        QVERIFY(again != d);
        QCOMPARE(again->txtpw->text(), QString());

        present(again);
        QTest::keyClick(again, Qt::Key_Escape);
        QCOMPARE(w.pas1->text(), QStringLiteral("set earlier"));
        QVERIFY(w.windows().changePW() != again);

        // Both fields empty and OK: no password any more.
        PasswordDialog *third = w.windows().changePW();
        third->findChild<QPushButton *>("cmdOK")->click();
        QCOMPARE(w.pas1->text(), QString());
    }

    void twentyCharactersAtMost()
    {
        StandIns s;
        app::MainWindow w;
        PasswordDialog *d = w.windows().changePW();
        typeTwice(d, "123456789012345678901", "abcdefghijklmnopqrstu");
        QCOMPARE(d->txtpw->text(), QStringLiteral("12345678901234567890"));
        QCOMPARE(d->txtconfirmpw->text(), QStringLiteral("abcdefghijklmnopqrst"));
    }

    void sfxPasswordsDoNotReachTheZipBuild()
    {
        StandIns s;
        app::MainWindow w;
        PasswordDialog *d = w.windows().s1changePW();
        typeTwice(d, "sfx one", "sfx one");
        d->findChild<QPushButton *>("cmdOK")->click();
        QCOMPARE(w.pas1->text(), QString());
        QCOMPARE(w.pas2->text(), QString());
    }

private:
    static void present(QWidget *w) { app::WindowRegistry::present(w); }
};

QTEST_MAIN(OptionsTest)
#include "test_options.moc"
