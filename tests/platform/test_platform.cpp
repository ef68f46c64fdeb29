// The platform layer as the windows meet it: dialogs, message boxes, files.
#include "platform/CommonDialog.h"
#include "platform/FileSystem.h"
#include "platform/MessageBox.h"
#include "platform/ProgramFolder.h"
#include "platform/Shell.h"
#include "platform/StagingFolder.h"
#include "support/Fixtures.h"
#include "support/StandIns.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace oz::platform;
using namespace oz::test;

class PlatformTest : public QObject {
    Q_OBJECT
private slots:
    void nameFilters_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("description only lists all files") << "Files (*.*)  " << QStringList{"Files (*)"};
        QTest::newRow("word only") << "folder" << QStringList{"folder (*)"};
        QTest::newRow("pair") << "zip Files (*.zip)|*.zip" << QStringList{"zip Files (*.zip)"};
        QTest::newRow("two pairs") << "Icons|*.ico|All|*.*" << QStringList{"Icons (*.ico)", "All (*)"};
    }
    void nameFilters()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, expected);
        QCOMPARE(toNameFilters(filter), expected);
    }

    void dialogResults()
    {
        StandIns standIns;
        CommonDialog dialog;
        dialog.CancelError = true;
        dialog.Flags = DialogFlags::AllowMultiSelect | DialogFlags::FileMustExist;
        dialog.DialogTitle = "Pick";
        dialog.FileName = "before";

        standIns.dialogs.cancel();
        QVERIFY(!dialog.ShowOpen(nullptr));
        QCOMPARE(dialog.FileName, QStringLiteral("before"));

        standIns.dialogs.pick(QStringList{"/data/a.txt", "/data/b.txt"});
        QVERIFY(dialog.ShowOpen(nullptr));
        QCOMPARE(dialog.FileName, QStringLiteral("/data") + QChar(0) + "a.txt" + QChar(0) + "b.txt");
        QVERIFY(standIns.dialogs.requests.back().multiSelect);
        QCOMPARE(standIns.dialogs.requests.back().title, QStringLiteral("Pick"));

        standIns.dialogs.pick("/data/one.txt");
        QVERIFY(dialog.ShowOpen(nullptr));
        QCOMPARE(dialog.FileName, QStringLiteral("/data/one.txt"));

        // A cancel without CancelError is no failure and changes nothing.
        dialog.CancelError = false;
        standIns.dialogs.cancel();
        QVERIFY(dialog.ShowOpen(nullptr));
        QCOMPARE(dialog.FileName, QStringLiteral("/data/one.txt"));
    }

    void saveDialogAddsTheDefaultExtension()
    {
        StandIns standIns;
        CommonDialog dialog;
        dialog.DefaultExt = "zip";
        dialog.Flags = DialogFlags::OverwritePrompt;
        standIns.dialogs.pick("/out/backup");
        QVERIFY(dialog.ShowSave(nullptr));
        QCOMPARE(dialog.FileName, QStringLiteral("/out/backup.zip"));
        QVERIFY(standIns.dialogs.requests.back().overwritePrompt);
        QVERIFY(standIns.dialogs.requests.back().save);
        standIns.dialogs.pick("/out/named.tar");
        QVERIFY(dialog.ShowSave(nullptr));
        QCOMPARE(dialog.FileName, QStringLiteral("/out/named.tar"));
    }

    // The overwrite question concerns the name that will be written, and "no" goes back to the
    // dialog.
    void overwriteQuestionNamesTheFileWritten()
    {
        QTemporaryDir dir;
        const QString existing = dir.filePath("dot.zip");
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        StandIns standIns;
        CommonDialog dialog;
        dialog.DefaultExt = "zip";
        dialog.Flags = DialogFlags::OverwritePrompt;
        dialog.CancelError = true;
        standIns.dialogs.pick(dir.filePath("dot."));
        standIns.dialogs.answerOverwrite(false);
        standIns.dialogs.pick(dir.filePath("fresh"));
        QVERIFY(dialog.ShowSave(nullptr));
        QCOMPARE(standIns.dialogs.overwriteAsked, QStringList({existing}));
        QCOMPARE(dialog.FileName, dir.filePath("fresh.zip"));
        QCOMPARE(standIns.dialogs.requests.size(), std::size_t(2));
        QCOMPARE(standIns.dialogs.requests.back().fileName, existing);

        standIns.dialogs.pick(dir.filePath("dot."));
        QVERIFY(dialog.ShowSave(nullptr));
        QCOMPARE(dialog.FileName, existing);
        QCOMPARE(standIns.dialogs.overwriteAsked.size(), 2);
    }

    void programPickersOfferAllFiles()
    {
        StandIns standIns;
        CommonDialog dialog;
        dialog.Filter = "exe Files (*.exe)|*.exe";
        standIns.dialogs.pick("/tools/setup");
        QVERIFY(dialog.ShowOpen(nullptr));
        QCOMPARE(standIns.dialogs.requests.back().nameFilters, QStringList({"exe Files (*.exe)", "All files (*)"}));
    }

    void messagesAreShownAndLogged()
    {
        StandIns standIns;
        QTest::ignoreMessage(QtInfoMsg, "message title=\"Warning\" icon=information text=\"File is not there!   \"");
        showMessage(nullptr, "File is not there!   ", "Warning", MsgIcon::Information);
        QCOMPARE(standIns.messages.shown.size(), std::size_t(1));
        QCOMPARE(standIns.messages.shown[0].text, QStringLiteral("File is not there!   "));
        QCOMPARE(standIns.messages.shown[0].title, QStringLiteral("Warning"));
        QCOMPARE(standIns.messages.shown[0].icon, MsgIcon::Information);
    }

    void fileSystemWildcards()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath("w");
        writeFile(dir + "/a.TXT", "a");
        writeFile(dir + "/b.txt", "b");
        writeFile(dir + "/c.jpg", "c");
        writeFile(dir + "/noext", "n");
        writeFile(dir + "/sub/d.txt", "d");
        QFile::setPermissions(dir + "/b.txt", QFileDevice::ReadOwner);

        const QString target = tmp.filePath("t");
        QVERIFY(FileSystem::createFolder(target));
        QVERIFY(!FileSystem::createFolder(tmp.filePath("x/y"))); // one level only
        QVERIFY(FileSystem::folderExists(target));
        QVERIFY(!FileSystem::fileExists(target));

        QVERIFY(FileSystem::copyFiles(dir + "/*.txt", target, true));
        QCOMPARE(QDir(target).entryList(QDir::Files, QDir::Name), QStringList({"a.TXT", "b.txt"}));
        writeFile(target + "/a.TXT", "old");
        QVERIFY(!FileSystem::copyFile(dir + "/a.TXT", target + "/a.TXT", false));
        QCOMPARE(readFile(target + "/a.TXT"), QByteArray("old"));
        QVERIFY(FileSystem::copyFile(dir + "/a.TXT", target + "/a.TXT", true));
        QCOMPARE(readFile(target + "/a.TXT"), QByteArray("a"));
        QString error;
        QVERIFY(!FileSystem::copyFile(dir + "/missing", target + "/m", true, &error));
        QVERIFY(error.contains("missing"));

        // A copy has the file's bytes, permissions and modified time, also from tmpfs, which is
        // another kind of file system than the test's folder on most machines: copy_file_range
        // will not copy between those, and sendfile takes over.
        const QDateTime old = QDateTime(QDate(2003, 4, 5), QTime(6, 7, 8), Qt::UTC);
        QStringList sources = {dir + "/big.bin"};
        QTemporaryDir shm(QStringLiteral("/dev/shm/oz-copy-XXXXXX"));
        if (shm.isValid())
            sources << shm.filePath("big.bin");
        for (const QString &from : sources) {
            writeFile(from, sampleBytes(3 << 20, 4));
            QFile::setPermissions(from, QFileDevice::ReadOwner | QFileDevice::ReadGroup);
            QFile f(from);
            QVERIFY(f.open(QIODevice::ReadOnly) && f.setFileTime(old, QFileDevice::FileModificationTime));
            f.close();
            QVERIFY(FileSystem::copyFile(from, target + "/big.bin", true));
            QCOMPARE(readFile(target + "/big.bin"), sampleBytes(3 << 20, 4));
            QCOMPARE(QFileInfo(target + "/big.bin").lastModified().toUTC(), old);
            QCOMPARE(QFileInfo(target + "/big.bin").permissions(), QFileInfo(from).permissions());
            QVERIFY(!QFileInfo::exists(target + "/big.bin.ozcopy"));
        }
        // A staged copy never keeps set-user or set-group bits.
        writeFile(dir + "/tool", "#!/bin/sh\n");
        ::chmod(QFile::encodeName(dir + "/tool").constData(), 06755);
        QVERIFY(FileSystem::copyFile(dir + "/tool", target + "/tool", true));
        struct stat st {};
        ::stat(QFile::encodeName(target + "/tool").constData(), &st);
        QCOMPARE(st.st_mode & 07777, mode_t(0755));

        // "*.*" takes names without a dot; read-only files go too; folders stay.
        QVERIFY(FileSystem::deleteFiles(dir + "/*.*"));
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList({"sub"}));
        QVERIFY(!FileSystem::deleteFiles(dir + "/*.*")); // nothing left to delete
        QVERIFY(FileSystem::fileExists(dir + "/sub/d.txt"));
    }

    void programFolderPaths()
    {
        StandIns standIns;
        const QString folder = standIns.programFolder();
        QCOMPARE(programFolder(), QDir::toNativeSeparators(folder));
        QCOMPARE(workingFolder(), QDir::toNativeSeparators(folder + "/tempp"));
        QCOMPARE(iconsFolder(), QDir::toNativeSeparators(folder + "/icons"));
        QCOMPARE(defaultIconPath(), QDir::toNativeSeparators(folder + "/icons/oz.ico"));
        QCOMPARE(dataFile("orvelziphelp.html"), QDir::toNativeSeparators(folder + "/orvelziphelp.html"));
    }

    void shellOpensDocuments()
    {
        StandIns standIns;
        QVERIFY(openDocument("/path with blanks/help.html"));
        QCOMPARE(standIns.shell.starts.back().program, QStringLiteral("xdg-open"));
        QCOMPARE(standIns.shell.starts.back().arguments, QStringList({"/path with blanks/help.html"}));
        standIns.shell.canStart = false;
        QVERIFY(!openDocument("/x"));
        QVERIFY(!startDetached(QString()));
    }

    // A build's staging folder: only its owner may enter it, a file on the same file system is
    // staged as a link (no copy of its bytes lies about), and everything goes with the folder.
    void stagingFolders()
    {
        QTemporaryDir tmp;
        const QString working = tmp.filePath("tempp");
        writeFile(tmp.filePath("data/report.txt"), "quarterly");
        QVERIFY(QFile::setPermissions(tmp.filePath("data/report.txt"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::ReadGroup));
        QString staged;
        {
            StagingFolder staging(working);
            QVERIFY(staging.isValid());
            staged = staging.path();
            QVERIFY(staged.startsWith(working + "/"));
            struct stat st;
            QVERIFY(::stat(QFile::encodeName(staged).constData(), &st) == 0);
            QCOMPARE(st.st_mode & 0777, mode_t(0700));
            QString error;
            QVERIFY2(staging.stage(tmp.filePath("data/report.txt"), "report.txt", &error), qPrintable(error));
            QCOMPARE(readFile(staged + "/report.txt"), QByteArray("quarterly"));
            QVERIFY(::stat(QFile::encodeName(tmp.filePath("data/report.txt")).constData(), &st) == 0);
            QCOMPARE(st.st_nlink, nlink_t(2)); // linked, not copied
            QVERIFY(!staging.stage(tmp.filePath("data/gone.txt"), "gone.txt", &error));
            QVERIFY(error.contains("gone.txt"));
        }
        QVERIFY(!QFileInfo::exists(staged));
        QCOMPARE(readFile(tmp.filePath("data/report.txt")), QByteArray("quarterly")); // the original stays

        // A working folder that cannot be made is reported, naming it.
        writeFile(tmp.filePath("blocked"), "a file, not a folder");
        StagingFolder blocked(tmp.filePath("blocked/tempp"));
        QVERIFY(!blocked.isValid());
        QVERIFY(blocked.error().contains(tmp.filePath("blocked/tempp")));
    }
};

QTEST_MAIN(PlatformTest)
#include "test_platform.moc"
