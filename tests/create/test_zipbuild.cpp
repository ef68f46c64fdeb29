// Building zip archives from the main window, checked by opening what was written.
#include "widgets/Controls.h"
#include "app/WindowRegistry.h"
#include "app/MainWindow.h"
#include "archive/ArchiveComponent.h"
#include "create/OptionsWindow.h"
#include "create/PasswordDialog.h"
#include "platform/StagingFolder.h"
#include "support/Fixtures.h"
#include "support/StandIns.h"

#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

using namespace oz;
using namespace oz::test;

namespace {

QStringList sorted(QStringList l)
{
    l.sort();
    return l;
}

// Runs work on a disk that lets no file grow past size bytes, as a full one would.
void withFilesOfAtMost(rlim_t size, const std::function<void()> &work)
{
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = size;
    setrlimit(RLIMIT_FSIZE, &small);
    work();
    setrlimit(RLIMIT_FSIZE, &saved);
}

// Presses the "Stop" that stands in the window while the work runs, once the bar has moved.
void stopWhenMoving(QProgressBar *bar, QWidget *window, bool byEscape)
{
    auto once = std::make_shared<bool>(false);
    QObject::connect(bar, &QProgressBar::valueChanged, bar, [=](int value) {
        if (value < 1 || *once)
            return;
        *once = true;
        auto *stop = window->findChild<QPushButton *>(QStringLiteral("Stop"));
        QVERIFY(stop && stop->isVisible());
        if (byEscape)
            QTest::keyClick(window, Qt::Key_Escape);
        else
            QTest::mouseClick(stop, Qt::LeftButton);
    });
}

// A main window on a fresh program folder, with files to pick.
struct Desk {
    StandIns s;
    QTemporaryDir data;
    app::MainWindow w;

    Desk()
    {
        writeFile(at("docs/a.txt"), "alpha");
        writeFile(at("docs/b.jpg"), sampleBytes(40000, 2));
        writeFile(at("docs/c.wav"), "wave");
        writeFile(at("docs/.secret.txt"), "hidden");
        writeFile(at("docs/sub/d.txt"), "delta");
        writeFile(at("docs/sub/e.wav"), "echo");
        writeFile(at("other/a.txt"), "the other alpha");
        writeFile(at("single/f.txt"), "foxtrot");
        writeFile(at("single/g.jpg"), "golf");
    }
    QString at(const QString &rel) const { return data.filePath(rel); }

    // One use of the picker per folder, as with the real dialog.
    void pickFiles(const QStringList &paths)
    {
        QMap<QString, QStringList> byFolder;
        QStringList order;
        for (const QString &p : paths) {
            const QString folder = QFileInfo(p).absolutePath();
            if (!byFolder.contains(folder))
                order << folder;
            byFolder[folder] << p;
        }
        for (const QString &folder : order) {
            s.dialogs.pick(byFolder[folder]);
            w.FBrowse->click();
        }
    }
    void pickFolder(const QString &rel)
    {
        s.dialogs.pick(at(rel) + "/Select Folder and click Open");
        w.zipfolder->click();
    }
    // Runs a build whose save dialog answers with the target.
    void build(const QString &target, bool menu = false)
    {
        s.dialogs.pick(target);
        if (menu)
            w.mnuSAZFA->trigger();
        else
            w.wwwbook->click();
    }
    create::OptionsWindow *options() { return w.windows().advance(); }
    // What is left in the working folder, sub-folders and their files too.
    QStringList stagedLeft() const
    {
        QStringList left;
        QDirIterator it(w.Text4->text(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            left << it.next();
        return left;
    }
    void setPassword(const QString &password)
    {
        w.Command3->click();
        options()->findChild<QPushButton *>("zippas")->click();
        create::PasswordDialog *pw = w.windows().changePW();
        pw->txtpw->setText(password);
        pw->txtconfirmpw->setText(password);
        pw->findChild<QPushButton *>("cmdOK")->click();
    }
    QString status() const { return w.ZipStatus->text(); }
};

} // namespace

class ZipBuildTest : public QObject {
    Q_OBJECT
private slots:
    void oneFileWithDefaults()
    {
        Desk d;
        // The entry shows the file's own date, not the time it was staged.
        const QDateTime taken = QDateTime(QDate(2004, 5, 6), QTime(7, 8, 10));
        QFile picked(d.at("docs/a.txt"));
        QVERIFY(picked.open(QIODevice::ReadOnly) && picked.setFileTime(taken, QFileDevice::FileModificationTime));
        picked.close();
        d.pickFiles({d.at("docs/a.txt")});
        const QString target = d.at("out/one.zip");
        QDir().mkpath(d.at("out"));
        d.build(target);
        QCOMPARE(d.status(), QStringLiteral("Success.  1 files zipped"));
        QCOMPARE(d.s.messages.texts(), QStringList({"Success! Your new Zip archive is built in " + target + " "}));
        QCOMPARE(d.s.messages.shown[0].title, QStringLiteral("Orvel Zip"));
        QCOMPARE(d.s.messages.shown[0].icon, platform::MsgIcon::None);
        QCOMPARE(entryNames(target), QStringList({"a.txt"}));
        QCOMPARE(archive::ArchiveComponent::ListZip(target).at(0).modified(), taken);
        QCOMPARE(d.w.ZipProgressBar->value(), 100);
        const auto &save = d.s.dialogs.requests.back();
        QVERIFY(save.save && save.overwritePrompt);
        QCOMPARE(save.title, QStringLiteral("Save zip file as..."));
        QCOMPARE(save.filter, QStringLiteral(".zip File only (*.zip)|*.zip"));
        QCOMPARE(save.defaultExt, QStringLiteral("zip"));
        // Nothing staged outlives the build.
        QCOMPARE(d.stagedLeft(), QStringList());
    }

    void folderOnlyWithAndWithoutSubfolders()
    {
        Desk d;
        d.pickFolder("docs");
        d.build(d.at("deep.zip"));
        QCOMPARE(sorted(entryNames(d.at("deep.zip"))),
                 QStringList({"a.txt", "b.jpg", "c.wav", "sub/", "sub/d.txt", "sub/e.wav"}));
        QCOMPARE(d.status(), QStringLiteral("Success.  6 files zipped")); // the folder "sub/" is an entry too

        d.options()->Recurse->setChecked(false);
        d.build(d.at("flat.zip"));
        QCOMPARE(sorted(entryNames(d.at("flat.zip"))), QStringList({"a.txt", "b.jpg", "c.wav"}));
    }

    void patternAndExclusionApplyToFolderAndFiles()
    {
        Desk d;
        d.pickFolder("docs");
        d.pickFiles({d.at("single/f.txt"), d.at("single/g.jpg")});
        d.options()->FilePattern->setText("*.txt");
        d.build(d.at("txt.zip"));
        QCOMPARE(sorted(entryNames(d.at("txt.zip"))), QStringList({"a.txt", "f.txt", "sub/", "sub/d.txt"}));

        d.options()->FilePattern->setText("*.*");
        d.options()->ExclusionsText->setText("*.WAV");
        d.pickFiles({d.at("docs/sub/e.wav")});
        d.build(d.at("nowav.zip"));
        const QStringList names = entryNames(d.at("nowav.zip"));
        QVERIFY(names.contains("f.txt") && names.contains("sub/d.txt"));
        QVERIFY(!names.contains("c.wav") && !names.contains("sub/e.wav") && !names.contains("e.wav"));
    }

    void hiddenFilesAndFolderInformation()
    {
        Desk d;
        d.pickFolder("docs");
        d.build(d.at("plain.zip"));
        QVERIFY(!entryNames(d.at("plain.zip")).contains(".secret.txt"));
        d.options()->IncludeHidden->setChecked(true);
        d.options()->SaveFullFilenames->setChecked(true);
        d.build(d.at("hidden.zip"));
        const QString prefix = QDir::cleanPath(d.at("docs")).mid(1) + "/";
        const QStringList names = entryNames(d.at("hidden.zip"));
        QVERIFY2(names.contains(prefix + ".secret.txt"), qPrintable(names.join(", ")));
        QVERIFY(names.contains(prefix + "sub/d.txt"));
    }

    void passwordProtection()
    {
        Desk d;
        d.pickFiles({d.at("docs/a.txt"), d.at("docs/b.jpg")});
        d.w.Command3->click();
        d.options()->findChild<QPushButton *>("zippas")->click();
        create::PasswordDialog *pw = d.w.windows().changePW();
        pw->txtpw->setText("Zip it 42");
        pw->txtconfirmpw->setText("Zip it 42");
        pw->findChild<QPushButton *>("cmdOK")->click();
        d.build(d.at("secret.zip"));
        QCOMPARE(d.status(), QStringLiteral("Success.  2 files zipped"));

        archive::ArchiveComponent wrong;
        QVERIFY_THROWS_EXCEPTION(archive::ArchiveError, wrong.OpenZip(d.at("secret.zip")));
        QCOMPARE(sorted(entryNames(d.at("secret.zip"), "Zip it 42")), QStringList({"a.txt", "b.jpg"}));
        if (haveTool("7zz")) {
            const ToolResult t = runTool("7zz", {"t", "-pZip it 42", d.at("secret.zip")});
            QVERIFY2(t.exitCode == 0, t.output.constData());
            QVERIFY(runTool("7zz", {"l", "-slt", d.at("secret.zip")}).output.contains("AES-256"));
        }

        // Cleared: both fields empty and confirmed.
        pw->txtpw->clear();
        pw->txtconfirmpw->clear();
        pw->findChild<QPushButton *>("cmdOK")->click();
        d.build(d.at("open.zip"));
        archive::ArchiveComponent reader;
        reader.OpenZip(d.at("open.zip"));
        QVERIFY(!reader.GetEntries().GetNextEntry().isEncrypted());
    }

    void cancellingTheSaveDialog()
    {
        Desk d;
        d.pickFiles({d.at("docs/a.txt")});
        d.build(d.at("first.zip"));
        d.w.ZipStatus->setText("earlier text");
        d.s.dialogs.cancel();
        d.w.wwwbook->click();
        QCOMPARE(d.status(), QString());
        QCOMPARE(d.w.ZipProgressBar->value(), 100);
        QVERIFY(!d.w.ZipFile); // a build never takes the place of an archive opened for extraction
        d.w.ZipStatus->setText("earlier text");
        d.s.dialogs.cancel();
        d.w.mnuSAZFA->trigger();
        QCOMPARE(d.status(), QStringLiteral("earlier text"));
        QCOMPARE(d.s.messages.shown.size(), std::size_t(1)); // only the first build's success
    }

    void theDialogKeepsTheLastName()
    {
        Desk d;
        d.pickFiles({d.at("docs/a.txt")});
        d.build(d.at("kept"));
        QVERIFY(QFileInfo::exists(d.at("kept.zip"))); // the default extension
        QTest::ignoreMessage(QtInfoMsg, qPrintable("StartNewArchive " + d.at("kept.zip")));
        d.build(d.at("second.zip"));
    }

    void nothingSelected()
    {
        Desk d;
        d.w.ZipStatus->setText("old");
        d.w.wwwbook->click();
        QCOMPARE(d.s.messages.texts(), QStringList({"File or folder not selected"}));
        QCOMPARE(d.s.messages.shown[0].title, QStringLiteral("Warning"));
        QCOMPARE(d.s.messages.shown[0].icon, platform::MsgIcon::None);
        QCOMPARE(d.status(), QString());
        QVERIFY(d.s.dialogs.requests.empty());
    }

    void everyFileExcluded()
    {
        Desk d;
        d.pickFolder("single");
        d.options()->ExclusionsText->setText("*.*");
        d.build(d.at("none.zip"));
        QCOMPARE(d.status(), QStringLiteral("Error, no files added to the Zip archive."));
        QVERIFY(!QFileInfo::exists(d.at("none.zip")));
        QVERIFY(!d.w.ZipFile);
        QVERIFY(d.s.messages.shown.empty());
    }

    // Two files of one name would be one entry: the build is refused before anything is written,
    // naming both, whether both were listed or one lies at the top of the chosen folder.
    void sameNameFromTwoFoldersIsRefused()
    {
        Desk d;
        d.pickFiles({d.at("docs/a.txt"), d.at("other/a.txt")});
        d.build(d.at("same.zip"));
        QCOMPARE(d.s.messages.shown.size(), std::size_t(1));
        const Message &m = d.s.messages.shown[0];
        QVERIFY2(m.text.contains(d.at("docs/a.txt")) && m.text.contains(d.at("other/a.txt")), qPrintable(m.text));
        QCOMPARE(m.title, QStringLiteral("Warning"));
        QVERIFY(!QFileInfo::exists(d.at("same.zip")));
        QVERIFY(!d.s.dialogs.exhausted()); // no save dialog was shown
        QCOMPARE(d.stagedLeft(), QStringList());

        // The same file listed twice is no loss.
        d.s.dialogs = {};
        d.w.allClear->click();
        d.pickFiles({d.at("docs/a.txt")});
        d.pickFiles({d.at("docs/a.txt")});
        d.build(d.at("twice.zip"));
        QCOMPARE(entryNames(d.at("twice.zip")), QStringList({"a.txt"}));

        // A listed file named like one at the top of the chosen folder, by button and by menu.
        d.w.allClear->click();
        d.pickFolder("docs");
        d.pickFiles({d.at("other/a.txt")});
        for (const bool menu : {false, true}) {
            d.s.messages.shown.clear();
            d.build(d.at("clash.zip"), menu);
            QCOMPARE(d.s.messages.shown.size(), std::size_t(1));
            QVERIFY2(d.s.messages.shown[0].text.contains(d.at("docs/a.txt")), qPrintable(d.s.messages.shown[0].text));
            QVERIFY(!QFileInfo::exists(d.at("clash.zip")));
            d.s.dialogs = {};
        }
        // With the folder's own path kept in the names, the two do not meet.
        d.options()->SaveFullFilenames->setChecked(true);
        d.build(d.at("apart.zip"));
        const QStringList names = entryNames(d.at("apart.zip"));
        QVERIFY2(names.contains("a.txt") && names.contains(QDir::cleanPath(d.at("docs")).mid(1) + "/a.txt"),
                 qPrintable(names.join(", ")));
    }

    void menuBuildAddsWhatIsStaged()
    {
        Desk d;
        d.pickFiles({d.at("single/f.txt")});
        d.build(d.at("button.zip"));
        // Run from an unrelated current folder: its files must not leak in.
        writeFile(d.at("cwd/unrelated.txt"), "not chosen");
        const QString before = QDir::currentPath();
        QDir::setCurrent(d.at("cwd"));
        d.w.allClear->click();
        d.pickFiles({d.at("single/g.jpg")});
        d.build(d.at("menu.zip"), true);
        QDir::setCurrent(before);
        // What the button build staged went with it: only this build's own pick.
        QCOMPARE(sorted(entryNames(d.at("menu.zip"))), QStringList({"g.jpg"}));

        // With a folder: its top level is staged too, and no options apply.
        d.options()->FilePattern->setText("*.jpg");
        d.pickFolder("docs");
        d.build(d.at("menu-folder.zip"), true);
        QCOMPARE(sorted(entryNames(d.at("menu-folder.zip"))),
                 QStringList({".secret.txt", "a.txt", "b.jpg", "c.wav", "g.jpg"}));
        QCOMPARE(d.status(), QStringLiteral("Success.  5 files zipped"));
        QCOMPARE(d.stagedLeft(), QStringList());
    }

    void aListedFileThatIsGone()
    {
        Desk d;
        writeFile(d.at("gone.txt"), "soon gone");
        d.pickFiles({d.at("docs/a.txt"), d.at("gone.txt")});
        QFile::remove(d.at("gone.txt"));
        d.build(d.at("never.zip"));
        QCOMPARE(d.s.messages.texts(), QStringList({"Cannot read the selected file " + d.at("gone.txt")}));
        QCOMPARE(d.s.messages.shown[0].title, QStringLiteral("Warning"));
        QCOMPARE(d.s.messages.shown[0].icon, platform::MsgIcon::Exclamation);
        QVERIFY(!QFileInfo::exists(d.at("never.zip")));
        QCOMPARE(d.s.dialogs.requests.size(), std::size_t(2)); // the picks, but no save dialog
    }

    void theWorkingFolderGoneOrInTheWay()
    {
        Desk d;
        const QString working = d.w.Text4->text();
        d.pickFiles({d.at("docs/a.txt")});
        QDir(working).removeRecursively();
        d.build(d.at("anyway.zip"));
        QCOMPARE(entryNames(d.at("anyway.zip")), QStringList({"a.txt"}));

        // A file where the folder should be: the message names the folder, and nothing is built.
        QDir(working).removeRecursively();
        writeFile(working, "not a folder");
        d.build(d.at("never.zip"));
        QCOMPARE(d.s.messages.texts().last(), "Cannot use the working folder " + working);
        QVERIFY(!QFileInfo::exists(d.at("never.zip")));
        QFile::remove(working);
    }

    void aFailedWriteIsReportedAndKeepsTheOldArchive()
    {
        Desk d;
        writeFile(d.at("big/noise.bin"), sampleBytes(400000, 9));
        writeFile(d.at("old.zip"), "the archive from last week");
        d.pickFolder("big");
        // The disk fills up: files may not grow past 64 KiB while writing.
        withFilesOfAtMost(64 * 1024, [&] { d.build(d.at("old.zip")); });

        QCOMPARE(d.status(), QStringLiteral("Error, the Zip archive was not written."));
        QCOMPARE(d.s.messages.shown.size(), std::size_t(1));
        QVERIFY2(d.s.messages.shown[0].text.startsWith("The Zip archive could not be written: "),
                 qPrintable(d.s.messages.shown[0].text));
        QCOMPARE(d.s.messages.shown[0].title, QStringLiteral("Error"));
        QCOMPARE(readFile(d.at("old.zip")), QByteArray("the archive from last week"));
        QCOMPARE(QDir(d.data.path()).entryList({"old.zip*"}, QDir::Files | QDir::Hidden), QStringList({"old.zip"}));

        // A folder that does not exist is no better.
        d.build(d.at("missing-folder/x.zip"));
        QCOMPARE(d.status(), QStringLiteral("Error, the Zip archive was not written."));
    }

    // The menu build stages the folder's files by link, which takes no room: on a full disk (no
    // file past 64 KiB) it is the archive's write that fails, and says so; nothing stays staged.
    void aMenuBuildOnAFullDiskSaysSo()
    {
        Desk d;
        writeFile(d.at("big/noise.bin"), sampleBytes(400000, 9));
        writeFile(d.at("big/small.txt"), "small");
        d.pickFolder("big");
        withFilesOfAtMost(64 * 1024, [&] { d.build(d.at("menu.zip"), true); });
        QCOMPARE(d.status(), QStringLiteral("Error, the Zip archive was not written."));
        QCOMPARE(d.s.messages.shown.size(), std::size_t(1));
        QVERIFY2(d.s.messages.shown[0].text.startsWith("The Zip archive could not be written: "),
                 qPrintable(d.s.messages.shown[0].text));
        QVERIFY(!QFileInfo::exists(d.at("menu.zip")));
        QCOMPARE(d.stagedLeft(), QStringList());
    }

    // An archive saved into the folder it archives never holds its own previous version.
    void anArchiveSavedIntoItsOwnFolder()
    {
        for (const bool menu : {false, true}) {
            Desk d;
            d.pickFolder("docs");
            const QString target = d.at("docs/self.zip");
            d.build(target, menu);
            d.build(target, menu);
            QVERIFY2(!entryNames(target).contains("self.zip"), qPrintable(entryNames(target).join(", ")));
            QVERIFY(entryNames(target).contains("a.txt"));
        }
    }

    // A long build can be stopped from the window, by Stop or Escape: it ends before it is
    // complete, says so, and leaves neither the archive nor a part of it nor the staged copy.
    void stoppingALongBuild()
    {
        for (const bool byEscape : {false, true}) {
            Desk d;
            d.w.show();
            writeNoiseFile(d.at("big/large.bin"), 48);
            d.pickFiles({d.at("big/large.bin")});
            QDir().mkpath(d.at("out"));
            stopWhenMoving(d.w.ZipProgressBar, &d.w, byEscape);
            d.build(d.at("out/large.zip"));
            QCOMPARE(d.status(), QStringLiteral("Stopped"));
            QVERIFY(d.s.messages.shown.empty());
            QVERIFY(d.w.ZipProgressBar->value() < 100);
            QCOMPARE(QDir(d.at("out")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     QStringList());
            QVERIFY(!QFileInfo::exists(d.s.programFolder() + "/tempp/large.bin"));
            QVERIFY(!d.w.findChild<QPushButton *>(QStringLiteral("Stop")));
            // The window is itself again: the next build runs to its end.
            d.w.allClear->click();
            d.pickFiles({d.at("docs/a.txt")});
            d.build(d.at("out/small.zip"));
            QCOMPARE(entryNames(d.at("out/small.zip")), QStringList({"a.txt"}));
        }
    }

    // A failure once the archive is started is explained, as a file that cannot be read is.
    void aFolderGoneBeforeTheBuildIsExplained()
    {
        Desk d;
        d.pickFolder("single");
        QDir(d.at("single")).removeRecursively();
        d.build(d.at("gone.zip"));
        QCOMPARE(d.s.messages.shown.size(), std::size_t(1));
        QVERIFY2(d.s.messages.shown[0].text.contains(d.at("single")), qPrintable(d.s.messages.shown[0].text));
        QCOMPARE(d.s.messages.shown[0].title, QStringLiteral("Warning"));
        QVERIFY(!QFileInfo::exists(d.at("gone.zip")));
    }

    // Copies of files meant for an encrypted archive must not lie about: the staging folder is
    // empty after a build that succeeded, failed, was refused or cancelled, whichever road.
    void nothingStagedOutlivesTheBuild()
    {
        Desk d;
        d.setPassword("Zip it 42");
        writeFile(d.at("big/noise.bin"), sampleBytes(400000, 9));
        d.pickFiles({d.at("docs/a.txt"), d.at("big/noise.bin")});
        d.pickFolder("single");
        for (const bool menu : {false, true}) {
            d.build(d.at(menu ? "menu.zip" : "button.zip"), menu);
            QCOMPARE(d.stagedLeft(), QStringList());
        }
        QCOMPARE(sorted(entryNames(d.at("menu.zip"), "Zip it 42")),
                 QStringList({"a.txt", "f.txt", "g.jpg", "noise.bin"}));

        withFilesOfAtMost(64 * 1024, [&] { d.build(d.at("full.zip")); });
        QCOMPARE(d.status(), QStringLiteral("Error, the Zip archive was not written."));
        QCOMPARE(d.stagedLeft(), QStringList());

        d.s.dialogs.cancel();
        d.w.wwwbook->click();
        QCOMPARE(d.stagedLeft(), QStringList());

        d.pickFiles({d.at("other/a.txt")}); // refused: two files named a.txt
        d.build(d.at("never.zip"));
        QVERIFY(!QFileInfo::exists(d.at("never.zip")));
        QCOMPARE(d.stagedLeft(), QStringList());
    }

    // A build that never ended (a crash, a kill) leaves its staging folder: the next start
    // empties it, but leaves the one a running build of another window holds.
    void theNextStartEmptiesWhatACrashLeft()
    {
        StandIns s;
        const QString working = s.programFolder() + "/tempp";
        writeFile(working + "/stage-crashed/secret.txt", "plain text of an encrypted archive");
        writeFile(working + "/left by an older version.txt", "plain");
        platform::StagingFolder running(working);
        writeFile(running.path() + "/in use.txt", "being zipped");
        app::MainWindow w;
        QCOMPARE(QDir(working).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({QFileInfo(running.path()).fileName()}));
        QVERIFY(QFileInfo::exists(running.path() + "/in use.txt"));
        QCOMPARE(QFileInfo(working).permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
    }

    // An unreadable file in the chosen folder refuses the build before anything is compressed,
    // naming the file; nothing is written and the bar has not moved.
    void anUnreadableFileIsRefusedAtOnce()
    {
        Desk d;
        writeFile(d.at("big/noise.bin"), sampleBytes(2000000, 9));
        writeFile(d.at("big/sub/secret.txt"), "nobody may read this");
        QVERIFY(QFile::setPermissions(d.at("big/sub/secret.txt"), QFile::Permissions()));
        QVERIFY(QFile::setPermissions(d.data.path(), QFile::Permissions(0x7777)));
        d.pickFolder("big");
        LogCapture log("orvelzip.archive");
        withUserRights([&] { d.build(d.at("never.zip")); });
        QCOMPARE(d.s.messages.shown.size(), std::size_t(1));
        QCOMPARE(d.s.messages.shown[0].text,
                 "The Zip archive could not be written: Cannot read " + d.at("big/sub/secret.txt")
                     + ": Permission denied");
        QCOMPARE(d.status(), QStringLiteral("Error, the Zip archive was not written."));
        QCOMPARE(d.w.ZipProgressBar->value(), 0);
        QVERIFY(!QFileInfo::exists(d.at("never.zip")));
        QVERIFY(log.lines.filter("refused before writing").size() == 1);

        // Readable again, the same build goes through.
        QVERIFY(QFile::setPermissions(d.at("big/sub/secret.txt"), QFile::ReadOwner | QFile::WriteOwner));
        d.build(d.at("now.zip"));
        QCOMPARE(sorted(entryNames(d.at("now.zip"))), QStringList({"noise.bin", "sub/", "sub/secret.txt"}));
    }

    // A password set once encrypts every later archive: the window shows it while it is in
    // force, and the success message says the archive is encrypted.
    void aPasswordInForceIsShown()
    {
        Desk d;
        d.w.show();
        QWidget *lock = d.w.findChild<QWidget *>("PasswordLock");
        QVERIFY(lock);
        QVERIFY(!lock->isVisible());
        // Clear of the description's controls: the status label and the Advance button.
        QVERIFY(!lock->geometry().intersects(d.w.ZipStatus->geometry()));
        QVERIFY(!lock->geometry().intersects(d.w.Command3->geometry()));
        QVERIFY(d.w.Frame1->geometry().contains(lock->geometry()));

        d.setPassword("Zip it 42");
        QVERIFY(lock->isVisible());
        QCOMPARE(lock->findChild<QLabel *>("PasswordKind")->text(), QStringLiteral("AES-256"));
        d.pickFiles({d.at("docs/a.txt")});
        d.build(d.at("locked.zip"));
        QCOMPARE(d.s.messages.texts().last(),
                 "Success! Your new Zip archive is built in " + d.at("locked.zip")
                     + " \nIt is encrypted with AES-256: it opens only with the password.");

        d.setPassword("");
        QVERIFY(!lock->isVisible());
        d.build(d.at("open.zip"));
        QCOMPARE(d.s.messages.texts().last(), "Success! Your new Zip archive is built in " + d.at("open.zip") + " ");
    }
};

QTEST_MAIN(ZipBuildTest)
#include "test_zipbuild.moc"
