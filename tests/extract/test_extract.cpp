// Opening, listing and extracting archives from the main window, with the
// password prompt, on archives written by Orvel Zip and by other tools.
#include "widgets/Controls.h"
#include "app/WindowRegistry.h"
#include "app/MainWindow.h"
#include "archive/ArchiveComponent.h"
#include "extract/Extraction.h"
#include "extract/OpenArchive.h"
#include "extract/PasswordPrompt.h"
#include "support/Fixtures.h"
#include "support/StandIns.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace oz;
using namespace oz::test;
using extract::PasswordPrompt;

namespace {

struct Desk {
    StandIns s;
    QTemporaryDir data;
    app::MainWindow w;
    QMap<QString, QByteArray> original;

    Desk()
    {
        writeFile(at("src/readme.txt"), "read me");
        writeFile(at("src/photos/beach.jpg"), sampleBytes(50000, 4));
        writeFile(at("src/Grüße/ß.txt"), "utf-8");
        original = tree(at("src"));
    }
    QString at(const QString &rel) const { return data.filePath(rel); }

    // An archive of src written by the component.
    QString ours(const QString &rel, const QString &password = {})
    {
        archive::ArchiveComponent zip;
        zip.StartNewArchive(at(rel));
        zip.SetPasswordProtection(password.isEmpty() ? 0 : 1);
        zip.SetPassword(password);
        zip.AddFilesByPattern(at("src/*.*"), 1);
        zip.SetArchiveFileName(at(rel));
        zip.SaveArchive();
        return at(rel);
    }
    void open(const QString &archive)
    {
        s.dialogs.pick(archive);
        w.Mp3->click();
    }
    PasswordPrompt *prompt() { return w.windows().password(); }
    QStringList listed() const
    {
        QStringList out;
        for (int i = 0; i < w.List1->count(); ++i)
            out << w.List1->item(i)->text();
        out.sort();
        return out;
    }
    void tryPassword(const QString &pw)
    {
        prompt()->Text1->clear();
        QTest::keyClicks(prompt()->Text1, pw);
        prompt()->Command1->click();
    }
    const Message &lastMessage() const { return s.messages.shown.back(); }
    // box/evil.zip, made by another tool: a fine entry and one whose name climbs out of the
    // destination. Empty when it could not be made.
    QString climbingOut()
    {
        QDir().mkpath(at("box"));
        const ToolResult made = runTool("python3",
                                        {"-c",
                                         "import zipfile, sys\n"
                                         "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                         "    z.writestr('fine.txt', 'fine')\n"
                                         "    z.writestr('../escaped.txt', 'out')\n",
                                         at("box/evil.zip")});
        if (made.exitCode != 0)
            qWarning("%s", made.output.constData());
        return made.exitCode == 0 ? at("box/evil.zip") : QString();
    }
};

// The temporary location of the program, pointed at a folder of the test while it lives.
struct ViewingTemp {
    explicit ViewingTemp(const QString &at) : previous(qgetenv("TMPDIR")), folder(at)
    {
        QDir().mkpath(folder);
        qputenv("TMPDIR", QFile::encodeName(folder));
    }
    ~ViewingTemp() { qputenv("TMPDIR", previous); }
    QStringList viewingFolders() const
    {
        QStringList out;
        for (const QString &name : QDir(folder).entryList({".oz-*-view-*"}, QDir::Dirs | QDir::Hidden))
            out << QDir(folder).filePath(name);
        return out;
    }
    QByteArray previous;
    QString folder;
};

int modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Double-clicks the listed entry of that name as the user does; false when it is not listed.
bool doubleClick(app::MainWindow &w, const QString &name)
{
    const QList<QListWidgetItem *> found = w.List1->findItems(name, Qt::MatchExactly);
    if (found.isEmpty())
        return false;
    w.List1->scrollToItem(found[0]);
    const QPoint at = w.List1->visualItemRect(found[0]).center();
    // The first click of the two, then the second that the system reports as a double click.
    QTest::mouseClick(w.List1->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(w.List1->viewport(), Qt::LeftButton, {}, at);
    return true;
}

} // namespace

class ExtractTest : public QObject {
    Q_OBJECT
private slots:
    void openingAndListing()
    {
        Desk d;
        const QString archive = d.ours("plain.zip");
        d.open(archive);
        QCOMPARE(d.w.mp3text->text(), archive);
        QCOMPARE(d.listed(), QStringList({"Grüße/", "Grüße/ß.txt", "photos/", "photos/beach.jpg", "readme.txt"}));
        QCOMPARE(d.w.Text6->text(), QStringLiteral("5"));
        QVERIFY(!d.prompt()->isVisible());
        QVERIFY(d.s.messages.shown.empty());
        const auto &r = d.s.dialogs.requests.back();
        QCOMPARE(r.title, QStringLiteral("Select an Zip File "));
        QCOMPARE(r.filter, QStringLiteral("zip Files (*.zip)|*.zip"));
        QCOMPARE(r.flags, 2625540);

        // The menu item only chooses.
        const QString other = d.ours("other.zip");
        d.s.dialogs.pick(other);
        d.w.mnuSZF->trigger();
        QCOMPARE(d.s.dialogs.requests.back().title, QStringLiteral("Select an Zip File for Orvel Zip"));
        QCOMPARE(d.w.mp3text->text(), other);
        QCOMPARE(d.w.ZipFile->openedPath(), archive);
        QCOMPARE(d.w.List1->count(), 5);

        // Cancel keeps what is open.
        d.s.dialogs.cancel();
        d.w.Mp3->click();
        QCOMPARE(d.w.ZipFile->openedPath(), archive);
        QCOMPARE(d.w.List1->count(), 5);
    }

    void listTooltipAndCount()
    {
        Desk d;
        d.w.show();
        d.open(d.ours("plain.zip"));
        const QRect row = d.w.List1->visualItemRect(d.w.List1->item(1));
        QTest::mouseClick(d.w.List1->viewport(), Qt::LeftButton, {}, row.center());
        QCOMPARE(d.w.List1->toolTip(), d.w.List1->item(1)->text());
        d.w.Text6->setText("99");
        QCOMPARE(d.w.Text6->text(), QStringLiteral("5"));
    }

    void removeForgetsThePathButNotTheArchive()
    {
        Desk d;
        d.open(d.ours("plain.zip"));
        d.w.delmp3->click();
        QCOMPARE(d.w.mp3text->text(), QString());
        QCOMPARE(d.w.List1->count(), 0);
        QCOMPARE(d.w.Text6->text(), QStringLiteral("5"));
        d.s.dialogs.pick(d.at("dest/Select Folder and click Open"));
        d.w.Command2->click();
        QCOMPARE(tree(d.at("dest")), d.original);
    }

    void passwordPrompt()
    {
        Desk d;
        const QString archive = d.ours("secret.zip", "Kennwort");
        d.open(archive);
        PasswordPrompt *p = d.prompt();
        QVERIFY(p->isVisible());
        QCOMPARE(d.w.List1->count(), 0);
        QCOMPARE(d.w.Text6->text(), QStringLiteral("0"));
        QVERIFY(d.s.messages.shown.empty()); // the prompt is the only sign
        QCOMPARE(p->Text1->nextInFocusChain(), p->Command1);
        QCOMPARE(p->Command1->nextInFocusChain(), p->Command2);
        QCOMPARE(p->Command2->nextInFocusChain(), p->Check1);

        // Every keystroke reaches pas2; a wrong password is reported.
        d.tryPassword("kennwort");
        QCOMPARE(d.w.pas2->text(), QStringLiteral("kennwort"));
        QCOMPARE(d.s.messages.texts(), QStringList({"Wrong password!    "}));
        QCOMPARE(d.lastMessage().title, QStringLiteral("Warning"));
        QCOMPARE(d.lastMessage().icon, platform::MsgIcon::Information);
        QCOMPARE(d.w.Text6->text(), QStringLiteral("0"));

        // Masking shows stars without touching the text.
        QCOMPARE(p->Text1->echoMode(), QLineEdit::Normal);
        p->Check1->click();
        QCOMPARE(p->Text1->echoMode(), QLineEdit::Password);
        p->Check1->click();
        QCOMPARE(p->Text1->echoMode(), QLineEdit::Normal);
        QCOMPARE(p->Text1->text(), QStringLiteral("kennwort"));

        d.tryPassword("Kennwort");
        QCOMPARE(d.s.messages.shown.size(), std::size_t(1));
        QCOMPARE(d.listed(), QStringList({"Grüße/", "Grüße/ß.txt", "photos/", "photos/beach.jpg", "readme.txt"}));
        QCOMPARE(d.w.Text6->text(), QStringLiteral("5"));
        QVERIFY(p->isVisible());

        // The password reaches the extraction commands.
        d.w.Command5->click();
        QCOMPARE(tree(d.at("secret")), d.original);
        QCOMPARE(d.lastMessage().text, "Success! Files are unzipped in " + d.at("secret") + " ");

        // Exit destroys the prompt; the next failed open shows a fresh one.
        p->Command2->click();
        QCOMPARE(d.w.pas2->text(), QStringLiteral("Kennwort"));
        d.open(archive);
        QVERIFY(d.prompt() != p);
        QCOMPARE(d.prompt()->Text1->text(), QString());
        QVERIFY(!d.prompt()->Check1->isChecked());
        QCOMPARE(d.w.pas2->text(), QString());
    }

    // How a file manager opens an archive: the prompt reopens that archive.
    void anArchiveFromTheCommandLineOpensWithItsPassword()
    {
        Desk d;
        const QString archive = d.ours("given.zip", "Kennwort");
        extract::openArchiveFile(d.w.extractDesk(), archive);
        QVERIFY(d.prompt()->isVisible());
        d.tryPassword("Kennwort");
        QVERIFY(d.s.messages.shown.empty());
        QCOMPARE(d.w.Text6->text(), QStringLiteral("5"));
        QCOMPARE(d.w.ZipFile->openedPath(), archive);
    }

    void aPasswordAfterACancelledChoice()
    {
        Desk d;
        d.open(d.ours("secret.zip", "pw"));
        d.s.dialogs.cancel();
        d.w.Mp3->click();
        d.tryPassword("pw"); // the dialog's file name is empty now
        QCOMPARE(d.s.messages.texts(), QStringList({"Wrong password!    "}));
    }

    void archivesOfOtherTools_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("password");
        QTest::newRow("zip") << "zip" << QStringList{"-r", "-q", "@ARCHIVE", "."} << QString();
        QTest::newRow("zip -P") << "zip" << QStringList{"-r", "-q", "-P", "zip crypto", "@ARCHIVE", "."}
                                << "zip crypto";
        QTest::newRow("7zz AES-256") << "7zz" << QStringList{"a", "-tzip", "-mem=AES256", "-pSeven Z", "@ARCHIVE", "."}
                                     << "Seven Z";
        QTest::newRow("bsdtar") << "bsdtar" << QStringList{"--format", "zip", "-cf", "@ARCHIVE", "."} << QString();
    }
    void archivesOfOtherTools()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, arguments);
        QFETCH(QString, password);
        if (!haveTool(tool))
            QSKIP("tool not installed");
        Desk d;
        const QString archive = d.at("theirs.zip");
        arguments.replaceInStrings("@ARCHIVE", archive);
        const ToolResult made = runTool(tool, arguments, d.at("src"));
        QVERIFY2(made.exitCode == 0, made.output.constData());
        d.open(archive);
        if (!password.isEmpty()) {
            QVERIFY(d.prompt()->isVisible());
            d.tryPassword(password);
        }
        QVERIFY(d.w.List1->count() >= 3);
        d.s.dialogs.pick(d.at("out/Select Folder and click Open"));
        d.w.Command2->click();
        QCOMPARE(d.lastMessage().text, "Success! Your Zip archive unzipped to " + d.at("out") + "/     ");
        QCOMPARE(tree(d.at("out")), d.original);
        QCOMPARE(d.w.ProgressBar1->value(), 100);
    }

    void destinationNextToTheArchive()
    {
        QCOMPARE(extract::destinationNextTo("/a/b.zip"), QStringLiteral("/a/b"));
        QCOMPARE(extract::destinationNextTo("/a/B.ZIP"), QStringLiteral("/a/B"));
        QCOMPARE(extract::destinationNextTo("/x.zip.old/y.zip"), QStringLiteral("/x.zip.old/y"));
        QCOMPARE(extract::destinationNextTo("/a/b.dat"), QStringLiteral("/a/b.dat"));
    }

    void extractingNextToTheArchive()
    {
        Desk d;
        QDir().mkpath(d.at("x.zip.old"));
        const QString archive = d.ours("x.zip.old/Photos.ZIP");
        d.open(archive);
        d.w.mnuBr13->trigger();
        QCOMPARE(tree(d.at("x.zip.old/Photos")), d.original);
        QCOMPARE(d.lastMessage().text, "Success! Files are unzipped in " + d.at("x.zip.old/Photos") + " ");
        QCOMPARE(d.lastMessage().title, QStringLiteral("Orvel Zip"));
        QCOMPARE(d.lastMessage().icon, platform::MsgIcon::None);

        // Without a ".zip" ending the destination is the archive file itself.
        QFile::copy(archive, d.at("data.bin"));
        d.open(d.at("data.bin"));
        d.w.Command5->click();
        QVERIFY(d.lastMessage().text.startsWith(
            "Failed to open Non English zip archive or you need to set password to unzip it.    \n"));
        d.w.mnuBr13->trigger();
        QVERIFY(d.lastMessage().text.startsWith("Failed to open zip archive    \n"));
        QCOMPARE(d.lastMessage().icon, platform::MsgIcon::Information);
        QVERIFY(QFileInfo(d.at("data.bin")).isFile());
    }

    // A long extraction stops at Stop: "Stopped" is said, no part of the large file is left
    // under any name, and the window is itself again.
    void stoppingALongExtraction()
    {
        Desk d;
        writeNoiseFile(d.at("big/large.bin"), 48);
        archive::ArchiveComponent zip;
        zip.StartNewArchive(d.at("large.zip"));
        zip.AddFilesByPattern(d.at("big/*.*"), 0);
        zip.SetArchiveFileName(d.at("large.zip"));
        zip.SaveArchive();
        d.open(d.at("large.zip"));
        const auto pressStop
            = QObject::connect(d.w.ProgressBar1, &QProgressBar::valueChanged, d.w.ProgressBar1, [&](int value) {
                  if (auto *stop = d.w.findChild<QPushButton *>(QStringLiteral("Stop")); value >= 1 && stop)
                      QTest::mouseClick(stop, Qt::LeftButton);
              });
        d.w.Command5->click();
        QCOMPARE(d.lastMessage().text, QStringLiteral("Stopped"));
        QVERIFY(d.w.ProgressBar1->value() < 100);
        const QString folder = d.at("large");
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(!d.w.findChild<QPushButton *>(QStringLiteral("Stop")));
        // The next extraction runs to its end: nobody presses Stop this time.
        QObject::disconnect(pressStop);
        d.open(d.ours("small.zip"));
        d.w.Command5->click();
        QCOMPARE(tree(d.at("small")), d.original);
    }

    void noArchiveOpened()
    {
        Desk d;
        d.s.dialogs.pick(d.at("picked/Select Folder and click Open"));
        d.w.Command2->click();
        QCOMPARE(d.w.DestDir->text(), d.at("picked") + "/");
        QVERIFY(QFileInfo(d.at("picked")).isDir()); // the change of DestDir made it
        d.w.Command5->click();
        d.w.mnuBr13->trigger();
        d.w.mnuUnzip->trigger();
        QCOMPARE(
            d.s.messages.texts(),
            QStringList({"Error, no zip archive has been opened    ", "Error, no zip archive has been opened    ",
                         "Error, no zip archive has been opened    ", "Error, no Zip archive has been opened    "}));
        for (const auto &m : d.s.messages.shown) {
            QCOMPARE(m.title, QStringLiteral("Warning"));
            QCOMPARE(m.icon, platform::MsgIcon::Information);
        }
        // Cancelling the folder picker does nothing at all.
        d.s.dialogs.cancel();
        d.w.Command2->click();
        QCOMPARE(d.s.messages.shown.size(), std::size_t(4));
    }

    // An archive opened but no folder to go to: the refusal says the folder is missing, and
    // does not blame the archive or its password.
    void noFolderToUnzipTo()
    {
        Desk d;
        d.open(d.ours("plain.zip"));
        d.w.mnuUnzip->trigger();
        QVERIFY2(d.lastMessage().text.startsWith("No folder to unzip to"), qPrintable(d.lastMessage().text));
        d.w.delmp3->click();
        d.w.Command5->click();
        QVERIFY2(d.lastMessage().text.startsWith("No folder to unzip to"), qPrintable(d.lastMessage().text));
        d.w.mnuBr13->trigger();
        QVERIFY2(d.lastMessage().text.startsWith("No folder to unzip to"), qPrintable(d.lastMessage().text));
        QCOMPARE(d.lastMessage().title, QStringLiteral("Warning"));
    }

    void unzipMenuWritesTheLog()
    {
        Desk d;
        const QString before = QDir::currentPath();
        QDir().mkpath(d.at("cwd"));
        QDir::setCurrent(d.at("cwd"));
        d.open(d.ours("plain.zip"));
        d.w.mnuUnzip->trigger(); // no folder picked yet: nowhere to extract
        QVERIFY(d.lastMessage().text.startsWith("No folder to unzip to"));
        QVERIFY(readFile(d.at("cwd/log.xml")).contains("result=\"failure\""));

        d.w.DestDir->setText(d.at("menu-out") + "/");
        d.w.mnuUnzip->trigger();
        QCOMPARE(d.lastMessage().text, "Success! Your Zip archive unzipped to " + d.at("menu-out") + "/ ");
        QCOMPARE(tree(d.at("menu-out")), d.original);
        QVERIFY(readFile(d.at("cwd/log.xml")).contains("name=\"readme.txt\" result=\"extracted\""));
        QDir::setCurrent(before);
    }

    // The archive just built is extracted once it is opened: the build itself never takes the
    // place of the archive the extraction commands act on.
    void theArchiveJustBuiltIsExtractedOnceOpened()
    {
        Desk d;
        d.w.pas1->setText("built with this");
        d.s.dialogs.pick(d.at("src/Select Folder and click Open"));
        d.w.zipfolder->click();
        d.s.dialogs.pick(d.at("built.zip"));
        d.w.wwwbook->click();
        d.w.Command5->click();
        QCOMPARE(d.lastMessage().text, QStringLiteral("Error, no zip archive has been opened    "));
        d.open(d.at("built.zip"));
        d.tryPassword("built with this");
        d.w.Command5->click();
        QCOMPARE(tree(d.at("built")), d.original);
    }

    // Building with the save dialog, or only opening and cancelling it, leaves the listed
    // archive the one that the four commands extract.
    void aBuildLeavesTheListedArchiveAlone()
    {
        Desk d;
        const QString listed = d.ours(QStringLiteral("naïve 日本 📦.zip"));
        d.open(listed);
        const QString destination = d.at(QStringLiteral("naïve 日本 📦"));

        d.s.dialogs.pick(d.at("src/readme.txt"));
        d.w.FBrowse->click();
        d.s.dialogs.cancel();
        d.w.wwwbook->click();
        d.w.Command5->click();
        QCOMPARE(d.lastMessage().text, "Success! Files are unzipped in " + destination + " ");
        QCOMPARE(tree(destination), d.original);
        QDir(destination).removeRecursively();

        d.s.dialogs.pick(d.at("small.zip"));
        d.w.wwwbook->click();
        QCOMPARE(entryNames(d.at("small.zip")), QStringList({"readme.txt"}));
        QCOMPARE(d.w.List1->count(), 5);
        QCOMPARE(d.w.mp3text->text(), listed);
        d.w.Command5->click();
        QCOMPARE(tree(destination), d.original);
        d.s.dialogs.pick(d.at("picked/Select Folder and click Open"));
        d.w.Command2->click();
        QCOMPARE(tree(d.at("picked")), d.original);
        d.s.replace.answer(platform::ReplaceChoice::ReplaceAll);
        d.w.mnuUnzip->trigger();
        QCOMPARE(d.lastMessage().text, "Success! Your Zip archive unzipped to " + d.at("picked") + "/ ");
        QVERIFY(!QFileInfo::exists(d.at("small")));
    }

    // Extracting again over a file the user has edited asks first, naming the file with both
    // sizes and times; each answer does what it says, and Stop changes nothing at all.
    void anEditedFileIsNotReplacedWithoutAsking()
    {
        Desk d;
        d.open(d.ours("plain.zip"));
        const QString out = d.at("plain");
        d.w.Command5->click();
        QCOMPARE(tree(out), d.original);
        QVERIFY(d.s.replace.asked.empty());
        const QByteArray edited = "my edit, an hour of work";
        writeFile(out + "/readme.txt", edited);
        writeFile(out + "/photos/beach.jpg", edited);
        auto extractAnswering = [&](std::initializer_list<platform::ReplaceChoice> answers) {
            d.s.replace.asked.clear();
            for (const auto a : answers)
                d.s.replace.answer(a);
            d.w.Command5->click();
        };

        using platform::ReplaceChoice;
        QFile::remove(out + "/Grüße/ß.txt");
        extractAnswering({ReplaceChoice::Stop});
        QCOMPARE(d.s.replace.asked.size(), std::size_t(1));
        QCOMPARE(readFile(out + "/readme.txt"), edited);
        QCOMPARE(readFile(out + "/photos/beach.jpg"), edited);
        QVERIFY(!QFileInfo::exists(out + "/Grüße/ß.txt")); // nothing new either
        QVERIFY(!d.lastMessage().text.startsWith("Success!"));
        const platform::ReplaceFacts first = d.s.replace.asked[0];
        const QString firstRel = first.path.mid(out.size() + 1);
        QVERIFY2(firstRel == "readme.txt" || firstRel == "photos/beach.jpg", qPrintable(first.path));
        QCOMPARE(first.size, qint64(edited.size()));
        QCOMPARE(first.newSize, qint64(d.original.value(firstRel).size()));
        QVERIFY(first.modified.isValid() && first.newModified.isValid());
        const QString text = d.s.replace.texts.last();
        QVERIFY2(text.contains(first.path) && text.contains(QString::number(edited.size()) + " bytes")
                     && text.contains(QLocale::system().toString(first.newSize) + " bytes"),
                 qPrintable(text));

        // Keep the first asked about, replace the second.
        extractAnswering({ReplaceChoice::Keep, ReplaceChoice::Replace});
        QCOMPARE(d.s.replace.asked.size(), std::size_t(2));
        const QString kept = d.s.replace.asked[0].path, replaced = d.s.replace.asked[1].path;
        QCOMPARE(readFile(kept), edited);
        QCOMPARE(readFile(replaced), d.original.value(replaced.mid(out.size() + 1)));
        QCOMPARE(readFile(out + "/Grüße/ß.txt"), d.original.value("Grüße/ß.txt"));
        QVERIFY(d.lastMessage().text.startsWith("Success!"));

        writeFile(out + "/readme.txt", edited);
        writeFile(out + "/photos/beach.jpg", edited);
        extractAnswering({ReplaceChoice::KeepAll});
        QCOMPARE(d.s.replace.asked.size(), std::size_t(1)); // the other file is kept unasked
        QCOMPARE(readFile(out + "/photos/beach.jpg"), edited);
        QCOMPARE(readFile(out + "/readme.txt"), edited);

        extractAnswering({ReplaceChoice::ReplaceAll});
        QCOMPARE(d.s.replace.asked.size(), std::size_t(1));
        QCOMPARE(tree(out), d.original);
        QCOMPARE(d.s.replace.unexpected, 0);
    }

    // A folder name typed into the picker is where the files go, made when missing.
    void aTypedNewFolderIsTheDestination()
    {
        Desk d;
        d.open(d.ours("plain.zip"));
        QDir().mkpath(d.at("out"));
        d.s.dialogs.pick(d.at("out/ex1"));
        d.w.Command2->click();
        QCOMPARE(d.w.DestDir->text(), d.at("out/ex1") + "/");
        QCOMPARE(tree(d.at("out/ex1")), d.original);
        QCOMPARE(QDir(d.at("out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({"ex1"}));
        QCOMPARE(d.lastMessage().text, "Success! Your Zip archive unzipped to " + d.at("out/ex1") + "/     ");
        // The next pick starts inside it; an existing file picked still chooses its folder.
        d.s.dialogs.pick(d.at("out/ex1/readme.txt"));
        d.s.replace.answer(platform::ReplaceChoice::KeepAll);
        d.w.Command2->click();
        QCOMPARE(d.s.dialogs.requests.back().initDir, d.at("out/ex1") + "/");
        QCOMPARE(d.w.DestDir->text(), d.at("out/ex1") + "/");
        QCOMPARE(d.s.replace.unexpected, 0);
    }

    // The failure messages keep their words and add the reason the component gave, on a line
    // of its own: the unsafe name, the method, the folder that cannot be written.
    void aFailureSaysWhy()
    {
        Desk d;
        QDir().mkpath(d.at("box"));
        const QString failure
            = QStringLiteral("Failed to open Non English zip archive or you need to set password to unzip it.    \n");
        const ToolResult made = runTool("python3",
                                        {"-c",
                                         "import zipfile, sys\n"
                                         "with zipfile.ZipFile(sys.argv[1] + '/evil.zip', 'w') as z:\n"
                                         "    z.writestr('../escaped.txt', 'out')\n"
                                         "with zipfile.ZipFile(sys.argv[1] + '/method.zip', 'w') as z:\n"
                                         "    z.writestr('packed.txt', 'packed')\n"
                                         "b = bytearray(open(sys.argv[1] + '/method.zip', 'rb').read())\n"
                                         "for sig in (b'PK\\x03\\x04', b'PK\\x01\\x02'):\n"
                                         "    at = b.find(sig)\n"
                                         "    off = 8 if sig == b'PK\\x03\\x04' else 10\n"
                                         "    b[at + off:at + off + 2] = (98).to_bytes(2, 'little')\n"
                                         "open(sys.argv[1] + '/method.zip', 'wb').write(bytes(b))\n",
                                         d.at("box")});
        QVERIFY2(made.exitCode == 0, made.output.constData());

        d.open(d.at("box/evil.zip"));
        d.w.Command5->click();
        QVERIFY2(d.lastMessage().text.startsWith(failure) && d.lastMessage().text.contains("\"../escaped.txt\""),
                 qPrintable(d.lastMessage().text));

        d.open(d.at("box/method.zip"));
        d.w.Command5->click();
        QVERIFY2(d.lastMessage().text.startsWith(failure) && d.lastMessage().text.contains("packed.txt")
                     && d.lastMessage().text.contains("PPMd", Qt::CaseInsensitive),
                 qPrintable(d.lastMessage().text));

        // A folder the user may not write into.
        d.open(d.ours("plain.zip"));
        QDir().mkpath(d.at("locked"));
        QVERIFY(QFile::setPermissions(d.at("locked"),
                                      QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther
                                          | QFile::ReadGroup | QFile::ExeGroup));
        d.w.DestDir->setText(d.at("locked/out") + "/");
        QVERIFY(QFile::setPermissions(d.data.path(), QFile::Permissions(0x7777)));
        withUserRights([&] { d.w.mnuUnzip->trigger(); });
        QVERIFY2(d.lastMessage().text.startsWith("Failed to Open Zip Archive    \n")
                     && d.lastMessage().text.contains("Permission denied")
                     && d.lastMessage().text.contains(d.at("locked")),
                 qPrintable(d.lastMessage().text));
    }

    // The password prompt is for an archive that is encrypted: a file that is not an archive,
    // one that is missing and a folder are named with what is wrong with them.
    void notAnArchiveGetsNoPasswordPrompt()
    {
        Desk d;
        writeFile(d.at("broken.zip"), "this is a text file");
        QDir().mkpath(d.at("somefolder"));
        const QList<std::pair<QString, QString>> cases{{d.at("broken.zip"), "not a zip archive"},
                                                       {d.at("missing.zip"), "not found"},
                                                       {d.at("somefolder"), "not a zip archive"}};
        for (const auto &[path, why] : cases) {
            extract::openArchiveFile(d.w.extractDesk(), path);
            QVERIFY(!d.prompt()->isVisible());
            QVERIFY2(d.lastMessage().text.contains(path) && d.lastMessage().text.contains(why),
                     qPrintable(d.lastMessage().text));
            QCOMPARE(d.lastMessage().title, QStringLiteral("Warning"));
            QCOMPARE(d.w.List1->count(), 0);
        }
        QCOMPARE(d.s.messages.shown.size(), std::size_t(3));
        // An encrypted archive still gets it, and no message.
        extract::openArchiveFile(d.w.extractDesk(), d.ours("secret.zip", "pw"));
        QVERIFY(d.prompt()->isVisible());
        QCOMPARE(d.s.messages.shown.size(), std::size_t(3));
    }

    void hostileArchiveIsRefused()
    {
        Desk d;
        const QString archive = d.climbingOut();
        QVERIFY(!archive.isEmpty());
        d.open(archive);
        QCOMPARE(d.w.List1->count(), 2);
        d.w.Command5->click();
        QVERIFY(d.lastMessage().text.startsWith(
            "Failed to open Non English zip archive or you need to set password to unzip it.    \n"));
        QVERIFY(!QFileInfo::exists(d.at("box/escaped.txt")));
        QVERIFY(!QFileInfo::exists(d.at("escaped.txt")));
        QVERIFY(!QFileInfo::exists(d.at("box/evil/fine.txt")));
    }

    // A double click opens the entry with the desktop's application: extracted into a folder of
    // its own that only the user may enter, gone when the archive is closed or the program ends.
    void doubleClickOpensTheEntry()
    {
        Desk d;
        const ViewingTemp temp(d.at("tmp"));
        d.w.show();
        const QString archive = d.ours("plain.zip");
        d.open(archive);
        QVERIFY(doubleClick(d.w, "Grüße/ß.txt"));
        QCOMPARE(d.s.shell.opened.size(), 1);
        const QString opened = d.s.shell.opened[0];
        QCOMPARE(readFile(opened), QByteArray("utf-8"));
        QVERIFY2(opened.endsWith("/Grüße/ß.txt"), qPrintable(opened));
        const QStringList folders = temp.viewingFolders();
        QCOMPARE(folders.size(), 1);
        QVERIFY(opened.startsWith(folders[0] + "/"));
        QCOMPARE(modeOf(folders[0]), 0700);

        // Opened again, the entry comes anew beside the first copy, which a viewer may still show.
        QVERIFY(doubleClick(d.w, "photos/beach.jpg"));
        QVERIFY(doubleClick(d.w, "Grüße/ß.txt"));
        QCOMPARE(d.s.shell.opened.size(), 3);
        QCOMPARE(readFile(d.s.shell.opened[1]), d.original.value("photos/beach.jpg"));
        QVERIFY(d.s.shell.opened[2] != opened);
        QCOMPARE(readFile(opened), QByteArray("utf-8"));
        // A folder entry opens nothing.
        QVERIFY(doubleClick(d.w, "photos/"));
        QCOMPARE(d.s.shell.opened.size(), 3);
        QVERIFY(d.s.messages.shown.empty());

        // Another archive closes this one: what was opened from it goes.
        d.open(d.ours("other.zip"));
        QVERIFY(!QFileInfo::exists(opened));
        QCOMPARE(temp.viewingFolders(), QStringList());
        QVERIFY(doubleClick(d.w, "readme.txt"));
        QCOMPARE(readFile(d.s.shell.opened.last()), QByteArray("read me"));
        d.w.delmp3->click(); // the list cleared
        QCOMPARE(temp.viewingFolders(), QStringList());

        // Ending the program takes it too.
        d.open(archive);
        QVERIFY(doubleClick(d.w, "readme.txt"));
        QCOMPARE(temp.viewingFolders().size(), 1);
        d.w.Command4->click();
        QCOMPARE(d.s.shell.ends, 1);
        QCOMPARE(temp.viewingFolders(), QStringList());
    }

    // An encrypted archive opens its entries with the password the prompt took; a name the
    // extraction refuses is refused here too, with the reason; a type no application opens is
    // said so.
    void doubleClickRefusesAndReports()
    {
        Desk d;
        const ViewingTemp temp(d.at("tmp"));
        d.w.show();
        d.open(d.ours("secret.zip", "Kennwort"));
        d.tryPassword("Kennwort");
        d.prompt()->Command2->click();
        QVERIFY(doubleClick(d.w, "photos/beach.jpg"));
        QCOMPARE(d.s.shell.opened.size(), 1);
        QCOMPARE(readFile(d.s.shell.opened[0]), d.original.value("photos/beach.jpg"));

        const QString evil = d.climbingOut();
        QVERIFY(!evil.isEmpty());
        d.open(evil);
        QVERIFY(doubleClick(d.w, "../escaped.txt"));
        QCOMPARE(d.s.shell.opened.size(), 1);
        QVERIFY2(d.lastMessage().text.startsWith("Failed to open ../escaped.txt from the Zip archive.    \n"),
                 qPrintable(d.lastMessage().text));
        QVERIFY2(d.lastMessage().text.contains("../escaped.txt\" from " + evil), qPrintable(d.lastMessage().text));
        QCOMPARE(QDir(d.at("tmp")).entryList({"escaped.txt"}, QDir::AllEntries), QStringList());
        for (const QString &folder : temp.viewingFolders())
            QCOMPARE(tree(folder).keys().filter("escaped"), QStringList());

        d.s.shell.canStart = false;
        QVERIFY(doubleClick(d.w, "fine.txt"));
        QCOMPARE(d.lastMessage().text,
                 QStringLiteral("Failed to open fine.txt from the Zip archive.    \n"
                                "No application is set to open files of its type."));
    }

    // What a run that was killed left in the temporary folder goes at the next start; the
    // folders of a run still at work stay.
    void leftoverViewingFoldersGoAtStart()
    {
        StandIns s;
        QTemporaryDir data;
        const ViewingTemp temp(data.filePath("tmp"));
        QProcess gone;
        gone.start("true");
        QVERIFY(gone.waitForStarted());
        const QString pid = QString::number(gone.processId());
        QVERIFY(gone.waitForFinished());
        const QString dead = data.filePath("tmp/.oz-" + pid + "-view-abc123");
        const QString alive = data.filePath("tmp/.oz-" + QString::number(getppid()) + "-view-def456");
        const QString other = data.filePath("tmp/.oz-" + pid + "-1234.part");
        writeFile(dead + "/1/left.txt", "left");
        writeFile(alive + "/1/open.txt", "open");
        writeFile(other, "someone else's");
        app::MainWindow w;
        QVERIFY(!QFileInfo::exists(dead));
        QCOMPARE(readFile(alive + "/1/open.txt"), QByteArray("open"));
        QVERIFY(QFileInfo::exists(other)); // not a viewing folder: another writer's to remove
    }

    // The hostile archives the tool and extractor are tried on, through the window: the outside
    // folder the absolute names and links aim at stays empty, a file already in the destination
    // keeps its content, and every refusal ends in a message.
    void hostileArchivesThroughTheWindow_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("succeeds");
        for (const char *refused : {"absolute", "dotdot-after-ok-file", "link-then-file-through-it",
                                    "overlap-same-local", "overlap-nested", "csize-past-end", "size-understated",
                                    "crc-wrong", "truncated-mid-central", "end-count-lies", "not-a-zip", "zero-bytes"})
            QTest::newRow(refused) << QString::fromLatin1(refused) << false;
        for (const char *fine : {"empty-archive", "zip64-fields", "link-inside", "honest-high-ratio"})
            QTest::newRow(fine) << QString::fromLatin1(fine) << true;
    }
    void hostileArchivesThroughTheWindow()
    {
        QFETCH(QString, name);
        QFETCH(bool, succeeds);
        Desk d;
        QDir().mkpath(d.at("outside"));
        const ToolResult made = runTool(
            "python3", {QStringLiteral(OZ_SOURCE_TESTS "/hostile/corpus.py"), d.at("box"), d.at("outside"), name});
        QVERIFY2(made.exitCode == 0, made.output.constData());
        const QString archive = d.at("box/" + name + ".zip");
        const QString dest = d.at("box/" + name);
        writeFile(dest + "/crc.txt", "precious");
        writeFile(dest + "/big.bin", "precious");

        d.open(archive);
        d.w.Command5->click();
        QVERIFY(!d.s.messages.shown.empty());
        if (succeeds)
            QVERIFY2(d.lastMessage().text.startsWith("Success!"), qPrintable(d.lastMessage().text));
        else
            QVERIFY2(!d.lastMessage().text.startsWith("Success!"), qPrintable(d.lastMessage().text));
        QCOMPARE(QDir(d.at("outside")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
        QCOMPARE(readFile(dest + "/crc.txt"), QByteArray("precious"));
        QCOMPARE(readFile(dest + "/big.bin"), QByteArray("precious"));
        QCOMPARE(QDir(dest).entryList({"*.ozpart*", ".ozpart*"}, QDir::AllEntries | QDir::Hidden), QStringList());
    }
};

QTEST_MAIN(ExtractTest)
#include "test_extract.moc"
