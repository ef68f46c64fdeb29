// The SFX window and its two builds, through the window as a user meets it.
#include "widgets/Controls.h"
#include "app/WindowRegistry.h"
#include "app/MainWindow.h"
#include "create/OptionsWindow.h"
#include "create/PasswordDialog.h"
#include "selection/SelectionList.h"
#include "sfx/SfxWindow.h"
#include "support/Fixtures.h"
#include "support/StandIns.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

using namespace oz;
using namespace oz::test;
using sfx::SfxWindow;

namespace {

struct Desk {
    StandIns s;
    QTemporaryDir data;
    app::MainWindow w;
    SfxWindow *sfx;

    Desk()
    {
        writeFile(at("pics/a.jpg"), "jpeg a");
        writeFile(at("pics/b.txt"), "text b");
        writeFile(at("pics/sub/c.jpg"), "jpeg c");
        writeFile(at("tools/setup.exe"), "#!/bin/sh\nexit 0\n");
        w.mnuOSF->trigger();
        sfx = w.windows().sfx();
    }
    QString at(const QString &rel) const { return data.filePath(rel); }
    void pickFiles(const QStringList &paths)
    {
        s.dialogs.pick(paths);
        sfx->FBrowse->click();
    }
    void pickFolder(const QString &rel)
    {
        s.dialogs.pick(at(rel) + "/Select Folder and click Open");
        sfx->zipfolder->click();
    }
    QString tempp() const { return s.programFolder() + "/tempp"; }
};

// The component's operations of a build, with their arguments.
QStringList calls(const LogCapture &log)
{
    QStringList out;
    for (const QString &line : log.lines)
        if (!line.startsWith("GetEntries") && !line.startsWith("OpenZip"))
            out << line;
    return out;
}

QStringList sorted(QStringList l)
{
    l.sort();
    return l;
}

} // namespace

class SfxWindowTest : public QObject {
    Q_OBJECT
private slots:
    void windowAndLoad()
    {
        Desk d;
        QVERIFY(d.sfx->isVisible());
        // The icon label's first line is what shows in its one line of room.
        QVERIFY(d.sfx->findChild<QLabel *>("Label1")->alignment() & Qt::AlignTop);
        // The tab order of the description: "Advance" of model 2 (tab 21) between zdir (16) and
        // Command4 (24).
        QCOMPARE(d.sfx->zdir->nextInFocusChain(), d.sfx->Command5);
        QCOMPARE(d.sfx->Command5->nextInFocusChain(), d.sfx->Command4);
        QVERIFY(d.sfx->pas1->y() >= 481 && d.sfx->Text4->y() >= 481);
        QCOMPARE(d.sfx->pas1->focusPolicy(), Qt::NoFocus);
        QCOMPARE(d.sfx->iconlist->text(), d.s.programFolder() + "/icons/oz.ico");
        QVERIFY(QFileInfo(d.s.programFolder() + "/icons").isDir());
        QCOMPARE(d.sfx->Text4->text(), d.tempp());
        d.sfx->Text4->setText("x");
        QCOMPARE(d.sfx->Text4->text(), d.tempp());
        // The same window again while it is open.
        d.w.mnuOSF->trigger();
        QCOMPARE(d.w.windows().sfx(), d.sfx);
    }

    void selectionsAreIndependentOfTheMainWindow()
    {
        Desk d;
        d.pickFiles({d.at("pics/a.jpg")});
        d.pickFolder("pics");
        QCOMPARE(d.sfx->FileList->count(), 1);
        QCOMPARE(d.sfx->Text3->text(), QStringLiteral("1"));
        QCOMPARE(d.w.FileList->count(), 0);
        QCOMPARE(d.w.zdir->text(), QString());
        QCOMPARE(d.w.folders().gFolderPath, QString());
        QCOMPARE(d.sfx->zdir->text(), d.at("pics") + "/");
    }

    void pickers()
    {
        Desk d;
        d.s.dialogs.pick(d.at("tools/setup.exe"));
        d.sfx->Mp3->click();
        QCOMPARE(d.sfx->mp3text->text(), QStringLiteral("setup.exe"));
        QCOMPARE(d.s.dialogs.requests.back().title, QStringLiteral("Select an Exe File "));
        QVERIFY(d.s.dialogs.requests.back().nameFilters.contains("All files (*)"));

        d.s.dialogs.pick(d.at("pics/a.jpg"));
        d.sfx->Iconsel->click();
        QCOMPARE(d.sfx->iconlist->text(), d.at("pics/a.jpg"));
        QCOMPARE(d.s.dialogs.requests.back().initDir, d.s.programFolder() + "/icons");
        QCOMPARE(d.s.dialogs.requests.back().filter, QStringLiteral("Icon Files (*.ico)|*.ico"));

        d.sfx->iconlistRem->click();
        d.s.dialogs.cancel();
        d.sfx->Iconsel->click();
        QCOMPARE(d.sfx->iconlist->text(), QString()); // cancelling keeps the empty path
        d.sfx->Command1->click();
        QCOMPARE(d.sfx->mp3text->text(), QString());
    }

    // The SFX window's remembered folder lasts for the life of the program.
    void theRememberedFolderOutlivesTheWindow()
    {
        Desk d;
        d.pickFolder("pics");
        const QString remembered = d.sfx->folders().gFolderPath;
        QCOMPARE(remembered, d.at("pics") + "/");
        d.sfx->Exit->click();
        d.w.mnuOSF->trigger();
        SfxWindow *again = d.w.windows().sfx();
        QCOMPARE(again->zdir->text(), QString());
        QCOMPARE(again->folders().gFolderPath, remembered);
        d.s.dialogs.cancel();
        again->zipfolder->click();
        QCOMPARE(d.s.dialogs.requests.back().initDir, remembered);
        QCOMPARE(d.w.folders().gFolderPath, QString()); // the main window's is its own
    }

    void exitDropsTheFieldsButNotTheOptions()
    {
        Desk d;
        d.pickFiles({d.at("pics/a.jpg")});
        d.sfx->Command3->click();
        d.w.windows().advances1()->FilePattern->setText("*.jpg");
        create::PasswordDialog *pw = d.w.windows().s1changePW();
        pw->txtpw->setText("one");
        pw->txtconfirmpw->setText("one");
        pw->findChild<QPushButton *>("cmdOK")->click();
        QCOMPARE(d.sfx->pas1->text(), QStringLiteral("one"));
        QCOMPARE(d.w.pas1->text(), QString());
        d.sfx->iconlistRem->click();

        d.sfx->Exit->click();
        d.w.mnuOSF->trigger();
        SfxWindow *again = d.w.windows().sfx();
        QVERIFY(again != d.sfx);
        QCOMPARE(again->FileList->count(), 0);
        QCOMPARE(again->pas1->text(), QString());
        QCOMPARE(again->iconlist->text(), d.s.programFolder() + "/icons/oz.ico");
        QCOMPARE(d.w.windows().advances1()->FilePattern->text(), QStringLiteral("*.jpg"));

        // A password confirmed while the window is closed creates it, hidden, and is in force
        // when it opens.
        again->Exit->click();
        pw->findChild<QPushButton *>("cmdOK")->click();
        SfxWindow *hidden = d.w.windows().sfx();
        QVERIFY(!hidden->isVisible());
        QCOMPARE(hidden->pas1->text(), QStringLiteral("one"));
        d.w.mnuOSF->trigger();
        QCOMPARE(d.w.windows().sfx(), hidden);
        QVERIFY(hidden->isVisible());
        QCOMPARE(hidden->pas1->text(), QStringLiteral("one"));
    }

    void modelOneCallsInOrder()
    {
        Desk d;
        d.pickFiles({d.at("pics/a.jpg"), d.at("pics/b.txt")});
        d.pickFolder("pics");
        d.w.windows().advances1()->FilePattern->setText("*.jpg");
        d.w.windows().advances1()->IncludeHidden->setChecked(true);
        d.w.windows().advance()->Recurse->setChecked(false); // the main window's options are not the model's
        const QString target = d.at("album.exe");
        d.s.dialogs.pick(target);
        LogCapture log("orvelzip.archive");
        d.sfx->Createalbum->click();
        const QString icon = d.s.programFolder() + "/icons/oz.ico";
        // The listed files are staged in a folder of the build's own inside the working folder.
        QStringList made = calls(log);
        QCOMPARE(made.size(), 15);
        const QRegularExpression staged("^AddFilesByPattern " + QRegularExpression::escape(d.tempp())
                                        + "/stage-[^/]+/\\*\\.jpg 1$");
        QVERIFY2(staged.match(made[13]).hasMatch(), qPrintable(made[13]));
        made[13] = "AddFilesByPattern (staged)/*.jpg 1";
        QCOMPARE(made,
                 QStringList({"SetExeAutoTemp 0", "SetExeRunParameters ", "SetExeAutoExtract 0",
                              "SetExeIconFile " + icon, "SetExeRunProgram ", "setExeVersionInfo   ",
                              "setExeSigning   (empty) ", "StartNewArchive notUsed.zip", "SetEncryption 0",
                              "SetEncryptionKeyLength 256", "SetPassword (empty)", "SetExclusionList ",
                              "AddFilesByPatternFiltered " + d.at("pics") + "/*.jpg 1 0 0 1 0",
                              "AddFilesByPattern (staged)/*.jpg 1", "WriteSelfExtractingExe " + target}));
        QCOMPARE(d.s.messages.texts(), QStringList({"Success! Your new SFX .exe file is built in " + target + " "}));
        QCOMPARE(d.s.messages.shown[0].title, QStringLiteral("Orvel Album"));
        // Nothing staged outlives the build.
        QCOMPARE(QDir(d.tempp()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(QFileInfo(target).isExecutable());
        const QStringList names = entryNames(target);
        QVERIFY(names.contains("a.jpg") && names.contains("sub/c.jpg") && !names.contains("b.txt"));
        const auto &save = d.s.dialogs.requests.back();
        QCOMPARE(save.title, QStringLiteral("Save images as a standalone Exe file..."));
        QCOMPARE(save.filter, QStringLiteral(".exe only (*.exe)|*.exe|Linux program (*.run)|*.run"));
        QVERIFY(save.overwritePrompt);
        QVERIFY(readFile(target).startsWith("MZ")); // a Windows program
    }

    // The save dialog's filter gives a name typed without extension its extension, and the
    // extension decides which program the receiver gets.
    void saveFilterChoosesTheProgram()
    {
        Desk d;
        d.pickFiles({d.at("pics/a.jpg")});
        d.s.dialogs.pick(d.at("for-linux"), 2);
        d.sfx->Createalbum->click();
        QVERIFY(readFile(d.at("for-linux.run"))
                    .startsWith("\x7f"
                                "ELF"));
        QVERIFY(QFileInfo(d.at("for-linux.run")).isExecutable());
        QCOMPARE(entryNames(d.at("for-linux.run")), QStringList({"a.jpg"}));

        d.s.dialogs.pick(d.at("for-windows"), 1);
        d.sfx->Createalbum->click();
        QVERIFY(readFile(d.at("for-windows.exe")).startsWith("MZ"));
        QCOMPARE(entryNames(d.at("for-windows.exe")), QStringList({"a.jpg"}));

        // A name with its own extension keeps it, whatever the filter: ".EXE" is Windows too.
        d.s.dialogs.pick(d.at("SETUP.EXE"), 2);
        d.sfx->Createalbum->click();
        QVERIFY(readFile(d.at("SETUP.EXE")).startsWith("MZ"));
        QVERIFY(!QFileInfo::exists(d.at("SETUP.EXE.run")));

        // An icon Windows cannot show fails the build with the reason, and writes nothing.
        writeFile(d.at("bad.ico"), QByteArray("\0\0\1\0\1\0", 6) + QByteArray(16, '\0'));
        d.sfx->iconlist->setText(d.at("bad.ico"));
        d.s.dialogs.pick(d.at("bad-icon.exe"));
        d.sfx->Createalbum->click();
        QVERIFY2(d.s.messages.shown.back().text.contains("cannot be used: picture 1 is cut short"),
                 qPrintable(d.s.messages.shown.back().text));
        QVERIFY(!QFileInfo::exists(d.at("bad-icon.exe")));
    }

    // What Explorer shows of a Windows program comes from the model's own options window; a
    // version Windows cannot hold and a signature that cannot be made stop the build with their
    // reason and leave no executable.
    void theWindowsProgramShowsTheBuildersValues()
    {
        Desk d;
        d.pickFiles({d.at("pics/a.jpg")});
        create::OptionsWindow *one = d.w.windows().advances1();
        one->product->setText("Summer album");
        one->version->setText("4.2");
        one->company->setText("Ann Example");
        d.s.dialogs.pick(d.at("album.exe"));
        d.sfx->Createalbum->click();
        const QByteArray exe = readFile(d.at("album.exe"));
        auto utf16 = [](const QString &text) {
            return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        };
        for (const QString &text : {QStringLiteral("Summer album self-extracting archive"), QStringLiteral("4.2"),
                                    QStringLiteral("Ann Example"), QStringLiteral("album.exe")})
            QVERIFY2(exe.contains(utf16(text)), qPrintable(text));
        QCOMPARE(entryNames(d.at("album.exe")), QStringList({"a.jpg"}));

        one->version->setText("4.x");
        d.sfx->Createalbum->click();
        QVERIFY2(d.s.messages.shown.back().text.contains("The version 4.x is not one Windows can hold"),
                 qPrintable(d.s.messages.shown.back().text));

        one->version->clear();
        one->signcert->setText(d.at("no-such-cert.pem"));
        one->signkey->setText(d.at("no-such-key.pem"));
        d.s.dialogs.pick(d.at("signed.exe"));
        d.sfx->Createalbum->click();
        QVERIFY2(d.s.messages.shown.back().text.startsWith("The SFX .exe file could not be built: The certificate "),
                 qPrintable(d.s.messages.shown.back().text));
        QVERIFY(!QFileInfo::exists(d.at("signed.exe")));
        // Model 2 reads its own window: model 1's signature fields do not reach it.
        d.s.dialogs.pick(d.at("tools/setup.exe"));
        d.sfx->Mp3->click();
        d.s.dialogs.pick(d.at("two.exe"));
        d.sfx->Command2->click();
        QVERIFY2(QFileInfo::exists(d.at("two.exe")), qPrintable(d.s.messages.shown.back().text));
    }

    // The check boxes of a model's own options window decide what its executable holds.
    void theModelsOptionsDecideWhatTheExecutableHolds()
    {
        Desk d;
        writeFile(d.at("pics/.hidden.jpg"), "hidden");
        d.pickFolder("pics");
        create::OptionsWindow *one = d.w.windows().advances1();
        one->FilePattern->setText("*.jpg");
        one->Recurse->setChecked(false);
        one->IncludeHidden->setChecked(false);
        d.s.dialogs.pick(d.at("flat.run"));
        d.sfx->Createalbum->click();
        QCOMPARE(entryNames(d.at("flat.run")), QStringList({"a.jpg"}));

        one->Recurse->setChecked(true);
        one->IncludeHidden->setChecked(true);
        one->SaveFullFilenames->setChecked(true);
        d.s.dialogs.pick(d.at("deep.run"));
        d.sfx->Createalbum->click();
        const QStringList names = entryNames(d.at("deep.run"));
        const QString kept = d.at("pics").mid(1); // the folder's own path, without the root
        QVERIFY2(names.contains(kept + "/.hidden.jpg") && names.contains(kept + "/sub/c.jpg"),
                 qPrintable(names.join(", ")));

        // Model 2 reads its own window, not model 1's.
        d.s.dialogs.pick(d.at("tools/setup.exe"));
        d.sfx->Mp3->click();
        create::OptionsWindow *two = d.w.windows().advances2();
        two->Recurse->setChecked(false);
        two->IncludeHidden->setChecked(false);
        d.s.dialogs.pick(d.at("two.run"));
        d.sfx->Command2->click();
        QCOMPARE(sorted(entryNames(d.at("two.run"))), QStringList({"a.jpg", "b.txt"}));
    }

    // The filter chosen in the save dialog is offered again, in this window and the next, and
    // the success message names the kind of file that was made.
    void theChosenFilterIsRemembered()
    {
        Desk d;
        d.pickFiles({d.at("pics/a.jpg")});
        d.s.dialogs.pick(d.at("first"), 2);
        d.sfx->Createalbum->click();
        QCOMPARE(d.s.messages.shown.back().text,
                 "Success! Your new SFX .run file is built in " + d.at("first.run") + " ");
        d.s.dialogs.pick(d.at("second"));
        d.sfx->Createalbum->click();
        QVERIFY(QFileInfo::exists(d.at("second.run")));
        d.sfx->close();
        QTest::qWait(0);
        d.w.mnuOSF->trigger();
        d.sfx = d.w.windows().sfx();
        d.pickFiles({d.at("pics/a.jpg")});
        d.s.dialogs.pick(d.at("third"));
        d.sfx->Createalbum->click();
        QVERIFY(readFile(d.at("third.run"))
                    .startsWith("\x7f"
                                "ELF"));
        d.s.dialogs.pick(d.at("fourth"), 1);
        d.sfx->Createalbum->click();
        QCOMPARE(d.s.messages.shown.back().text,
                 "Success! Your new SFX .exe file is built in " + d.at("fourth.exe") + " ");
    }

    // A long build stops at Escape: "Stopped", no executable, no staged copy, the window as before.
    void stoppingALongBuild()
    {
        Desk d;
        writeNoiseFile(d.at("big/large.bin"), 48);
        d.pickFiles({d.at("big/large.bin")});
        QDir().mkpath(d.at("out"));
        bool sawBar = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto *bar = d.sfx->findChild<QProgressBar *>(QStringLiteral("SfxProgressBar"));
            if (!sawBar && bar && bar->value() >= 1) {
                sawBar = true;
                QVERIFY(d.sfx->findChild<QPushButton *>(QStringLiteral("Stop")));
                QTest::keyClick(d.sfx, Qt::Key_Escape);
            }
        });
        poll.start(5);
        d.s.dialogs.pick(d.at("out/large.run"));
        d.sfx->Createalbum->click();
        poll.stop();
        QVERIFY(sawBar);
        QCOMPARE(d.s.messages.texts(), QStringList({"Stopped"}));
        QCOMPARE(QDir(d.at("out")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(QDir(d.tempp()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(!d.sfx->findChild<QPushButton *>(QStringLiteral("Stop")));
        QVERIFY(!d.sfx->findChild<QProgressBar *>(QStringLiteral("SfxProgressBar")));
    }

    void modelTwoCallsInOrder()
    {
        Desk d;
        d.pickFiles({d.at("tools/setup.exe")});
        d.s.dialogs.pick(d.at("tools/setup.exe"));
        d.sfx->Mp3->click();
        d.sfx->Command5->click();
        d.w.windows().advances2()->parameter->setText("--fast");
        d.w.windows().advances2()->product->setText("Setup");
        d.w.windows().advances1()->version->setText("9"); // model 1's window, not this model's
        d.sfx->pas2->setText("two");
        d.sfx->pas1->setText("only for model one");
        const QString target = d.at("setup.exe.out");
        d.s.dialogs.pick(target);
        LogCapture log("orvelzip.archive");
        d.sfx->Command2->click();
        QCOMPARE(
            calls(log).mid(0, 12),
            QStringList({"SetExeAutoTemp 1", "SetExeRunParameters --fast", "SetExeAutoExtract 1",
                         "SetExeIconFile " + d.s.programFolder() + "/icons/oz.ico", "SetExeRunProgram setup.exe",
                         "setExeVersionInfo Setup  ", "setExeSigning   (empty) ", "StartNewArchive notUsed.zip",
                         "SetEncryption 1", "SetEncryptionKeyLength 256", "SetPassword (set)", "SetExclusionList "}));
        QCOMPARE(d.s.messages.shown.size(), std::size_t(1));
        QCOMPARE(d.s.messages.shown[0].title, QStringLiteral("Orvel Album"));
        QCOMPARE(entryNames(target, "two"), QStringList({"setup.exe"}));

        d.w.windows().advances2()->autotemp->setChecked(false);
        d.s.dialogs.pick(target);
        LogCapture second("orvelzip.archive");
        d.sfx->Command2->click();
        QCOMPARE(second.lines.mid(0, 3),
                 QStringList({"SetExeAutoTemp 0", "SetExeRunParameters --fast", "SetExeAutoExtract 0"}));
    }

    void checksComeInOrder()
    {
        Desk d;
        writeFile(d.tempp() + "/left-over.txt", "from an earlier build");
        d.sfx->Command2->click();
        QCOMPARE(d.s.messages.texts(), QStringList({"Folders or files not selected!    "}));
        QCOMPARE(d.s.messages.shown[0].icon, platform::MsgIcon::Information);
        QCOMPARE(d.s.messages.shown[0].title, QStringLiteral("Warning"));
        QVERIFY(!QFileInfo::exists(d.tempp() + "/left-over.txt")); // emptied first

        d.pickFiles({d.at("pics/a.jpg")});
        d.sfx->Command2->click();
        QCOMPARE(d.s.messages.shown.back().text, QStringLiteral(" You must select an .exe file in SFX Model 2!    "));
        QCOMPARE(QDir(d.tempp()).entryList(QDir::Files), QStringList()); // nothing copied
        QCOMPARE(d.s.dialogs.requests.size(), std::size_t(1));           // only the pick: no save dialog
    }

    void cancelAndFailedWrites()
    {
        Desk d;
        d.pickFiles({d.at("pics/a.jpg")});
        const QString target = d.at("old.exe");
        writeFile(target, "an older executable");
        d.s.dialogs.cancel();
        d.sfx->Createalbum->click();
        QVERIFY(d.s.messages.shown.empty());
        QCOMPARE(readFile(target), QByteArray("an older executable"));

        // The icon cannot be read: the build fails and says why.
        d.sfx->iconlist->setText(d.at("missing.ico"));
        d.s.dialogs.pick(target);
        d.sfx->Createalbum->click();
        QCOMPARE(d.s.messages.shown.size(), std::size_t(1));
        QVERIFY2(d.s.messages.shown[0].text.startsWith("The SFX .exe file could not be built: "),
                 qPrintable(d.s.messages.shown[0].text));
        QCOMPARE(d.s.messages.shown[0].title, QStringLiteral("Error"));
        QCOMPARE(readFile(target), QByteArray("an older executable"));
        QCOMPARE(QDir(d.data.path()).entryList({".oz*"}, QDir::Files | QDir::Hidden), QStringList());

        // An empty icon path is no icon at all.
        d.sfx->iconlistRem->click();
        d.s.dialogs.pick(target);
        d.sfx->Createalbum->click();
        QCOMPARE(d.s.messages.shown.back().title, QStringLiteral("Orvel Album"));
    }

    // The icon is optional: a default icon missing from the program's data builds without one.
    // An icon too large for the executable's settings is refused instead of making an
    // executable that cannot start.
    void missingDefaultIconAndIconTooLarge()
    {
        Desk d;
        d.pickFiles({d.at("pics/a.jpg")});
        QCOMPARE(d.sfx->iconlist->text(), d.s.programFolder() + "/icons/oz.ico");
        QVERIFY(QFile::remove(d.s.programFolder() + "/icons/oz.ico"));
        const QString plain = d.at("plain.run");
        d.s.dialogs.pick(plain);
        d.sfx->Createalbum->click();
        QCOMPARE(d.s.messages.shown.back().title, QStringLiteral("Orvel Album"));
        const ToolResult info = runTool(plain, {"--info"});
        QVERIFY2(info.output.contains("icon: (none)"), info.output.constData());

        const QString huge = d.at("huge.ico");
        writeFile(huge, QByteArray(17 << 20, 'i'));
        d.sfx->iconlist->setText(huge);
        const QString never = d.at("never.run");
        d.s.dialogs.pick(never);
        d.sfx->Createalbum->click();
        QVERIFY2(d.s.messages.shown.back().text.contains("too large"), qPrintable(d.s.messages.shown.back().text));
        QVERIFY(!QFileInfo::exists(never));
    }
};

QTEST_MAIN(SfxWindowTest)
#include "test_sfxwindow.moc"
