// The options windows and the set-password dialogs, as a user meets them.
#include "app/Forms.h"
#include "app/MainWindow.h"
#include "create/OptionsWindow.h"
#include "create/PasswordDialog.h"
#include "support/StandIns.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace oz;
using namespace oz::test;
using create::OptionsWindow;
using create::PasswordDialog;

namespace {
QStringList groupTitles(QWidget *w)
{
    QStringList out;
    for (auto *g : w->findChildren<QGroupBox *>())
        out << g->title();
    return out;
}

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
    void windowsAndTheirDefaults()
    {
        StandIns s;
        app::MainWindow w;
        OptionsWindow *advance = w.forms().advance();
        OptionsWindow *s1 = w.forms().advances1();
        OptionsWindow *s2 = w.forms().advances2();
        QCOMPARE(advance->windowTitle(), QStringLiteral("Advance Zip archive"));
        QCOMPARE(s1->windowTitle(), QStringLiteral("Advance SFX archive"));
        QCOMPARE(s2->windowTitle(), QStringLiteral("Advance SFX archive"));
        QVERIFY(groupTitles(advance).contains("Enter a wildcarded filename for files you wish to exclude. Ex: *.wav"));
        QVERIFY(groupTitles(s1).contains("Enter a wildcarded filename for files you wish to exclude. Ex: *.mpg"));
        QVERIFY(groupTitles(s2).contains("Specific extract to temp or specific directory and parameter for .exe file"));
        QVERIFY(groupTitles(advance).contains("Enter a wildcarded filename for files you wish to include. Ex: *.*"));
        for (OptionsWindow *o : {advance, s1, s2}) {
            QCOMPARE(o->FilePattern->text(), QStringLiteral("*.*"));
            QCOMPARE(o->ExclusionsText->text(), QString());
            QCOMPARE(OptionsWindow::value(o->Recurse), 1);
            QCOMPARE(OptionsWindow::value(o->SaveFullFilenames) + OptionsWindow::value(o->ArchiveOnly)
                         + OptionsWindow::value(o->IncludeHidden) + OptionsWindow::value(o->IncludeSystem),
                     0);
            QCOMPARE(o->findChild<QLabel *>("Label4")->text(),
                     QStringLiteral("Include only if archive attribute is set"));
            QCOMPARE(o->findChild<QPushButton *>("zippas")->text(), QStringLiteral("Set &Password"));
        }
        QVERIFY(s2->autotemp->isChecked());
        QCOMPARE(s2->autotemp->text(), QStringLiteral("Auto extract to temp directory"));
        QCOMPARE(s2->parameter->text(), QString());
        QCOMPARE(s2->findChild<QLabel *>("Label8")->text(), QStringLiteral("Parameter : "));
        QVERIFY(!advance->autotemp && !s1->parameter);
    }

    // The SFX windows carry what Windows shows of the program and what signs it, in a column
    // beside the options they always had: every new caption fits its room, no new control covers
    // another, and the key's password is not shown.
    void windowsProgramFields()
    {
        StandIns s;
        app::MainWindow w;
        OptionsWindow *advance = w.forms().advance();
        QVERIFY(!advance->product && !advance->signcert && !advance->findChild<QGroupBox *>("Frame6"));
        for (OptionsWindow *o : {w.forms().advances1(), w.forms().advances2()}) {
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
        OptionsWindow *advance = w.forms().advance();
        advance->ExclusionsText->setFocus();
        QTest::keyClicks(advance->ExclusionsText, "*.abcdefghij");
        QCOMPARE(advance->ExclusionsText->text(), QStringLiteral("*.abcdefgh"));
    }

    void okKeepsValuesAndTheFrameDiscardsThem()
    {
        StandIns s;
        app::MainWindow w;
        w.Command3->click();
        OptionsWindow *advance = w.forms().advance();
        QVERIFY(advance->isVisible());
        advance->Recurse->click();
        advance->FilePattern->setText("*.jpg");
        advance->findChild<QPushButton *>("Command1")->click();
        QVERIFY(!advance->isVisible());
        w.Command3->click();
        QCOMPARE(w.forms().advance(), advance);
        QVERIFY(!advance->Recurse->isChecked());
        QCOMPARE(advance->FilePattern->text(), QStringLiteral("*.jpg"));

        advance->close();
        OptionsWindow *fresh = w.forms().advance();
        QVERIFY(fresh != advance);
        QVERIFY(fresh->Recurse->isChecked());
        QCOMPARE(fresh->FilePattern->text(), QStringLiteral("*.*"));
    }

    void windowsAreIndependent()
    {
        StandIns s;
        app::MainWindow w;
        w.forms().advances1()->FilePattern->setText("*.mpg");
        w.forms().advances1()->Recurse->setChecked(false);
        QCOMPARE(w.forms().advance()->FilePattern->text(), QStringLiteral("*.*"));
        QVERIFY(w.forms().advance()->Recurse->isChecked());
    }

    void settingAPassword()
    {
        StandIns s;
        app::MainWindow w;
        w.forms().advance()->findChild<QPushButton *>("zippas")->click();
        PasswordDialog *d = w.forms().changePW();
        QVERIFY(d->isVisible());
        QCOMPARE(d->windowTitle(), QStringLiteral("Set Password(Optional)"));
        QCOMPARE(d->txtpw->echoMode(), QLineEdit::Password);
        typeTwice(d, "Open Sesame", "Open Sesame");
        QTest::keyClick(d->txtconfirmpw, Qt::Key_Return); // Enter presses OK
        QCOMPARE(w.pas1->text(), QStringLiteral("Open Sesame"));
        QVERIFY(!d->isVisible());
        // Hidden, not destroyed: the fields still hold what was typed.
        QCOMPARE(w.forms().changePW(), d);
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
        PasswordDialog *d = w.forms().changePW();
        Forms_present(d);
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
        PasswordDialog *d = w.forms().changePW();
        Forms_present(d);
        typeTwice(d, "changed", "changed");
        d->findChild<QPushButton *>("cmdCancel")->click();
        QCOMPARE(w.pas1->text(), QStringLiteral("set earlier"));
        PasswordDialog *again = w.forms().changePW();
        QVERIFY(again != d);
        QCOMPARE(again->txtpw->text(), QString());

        Forms_present(again);
        QTest::keyClick(again, Qt::Key_Escape);
        QCOMPARE(w.pas1->text(), QStringLiteral("set earlier"));
        QVERIFY(w.forms().changePW() != again);

        // Both fields empty and OK: no password any more.
        PasswordDialog *third = w.forms().changePW();
        third->findChild<QPushButton *>("cmdOK")->click();
        QCOMPARE(w.pas1->text(), QString());
    }

    void twentyCharactersAtMost()
    {
        StandIns s;
        app::MainWindow w;
        PasswordDialog *d = w.forms().changePW();
        typeTwice(d, "123456789012345678901", "abcdefghijklmnopqrstu");
        QCOMPARE(d->txtpw->text(), QStringLiteral("12345678901234567890"));
        QCOMPARE(d->txtconfirmpw->text(), QStringLiteral("abcdefghijklmnopqrst"));
    }

    void sfxPasswordsDoNotReachTheZipBuild()
    {
        StandIns s;
        app::MainWindow w;
        PasswordDialog *d = w.forms().s1changePW();
        typeTwice(d, "sfx one", "sfx one");
        d->findChild<QPushButton *>("cmdOK")->click();
        QCOMPARE(w.pas1->text(), QString());
        QCOMPARE(w.pas2->text(), QString());
    }

private:
    static void Forms_present(QWidget *w) { app::Forms::present(w); }
};

QTEST_MAIN(OptionsTest)
#include "test_options.moc"
