// Self-extracting executables run as a receiver runs them: without a
// terminal, on a pseudo-terminal, and damaged.
#include "archive/ArchiveComponent.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace oz::archive;
using namespace oz::test;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

Run run(const QString &exe, const QStringList &args, const QString &cwd,
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(cwd);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(exe, args);
    Run r;
    if (!p.waitForFinished(60000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace

class ExtractorTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    QMap<QString, QByteArray> original;

    QString at(const QString &rel) const { return tmp.filePath(rel); }

    QString build(const QString &name, const QString &password = {}, const QString &program = {},
                  const QString &parameters = {}, int autoTemp = 0)
    {
        ArchiveComponent zip;
        zip.SetExeAutoTemp(autoTemp);
        zip.SetExeRunParameters(parameters);
        zip.SetExeAutoExtract(autoTemp);
        zip.SetExeIconFile(QStringLiteral(OZ_RESOURCES "/icons/oz.ico"));
        zip.SetExeRunProgram(program);
        zip.StartNewArchive("notUsed.zip");
        zip.SetEncryption(password.isEmpty() ? 0 : 1);
        zip.SetEncryptionKeyLength(256);
        zip.SetPassword(password);
        zip.AddFilesByPatternFiltered(at("src/*.*"), 1, 0, 0, 0, 0);
        QDir().mkpath(at("out"));
        QString exe = at("out/" + name);
        int written = 0;
        zip.WriteSelfExtractingExe(exe, written);
        return exe;
    }

private slots:
    void initTestCase()
    {
        writeFile(at("src/readme.txt"), "read me first\n");
        writeFile(at("src/data/photo.jpg"), sampleBytes(200000, 5));
        writeFile(at("src/data/deeper/notes.txt"), "notes");
        writeFile(at("src/bin/setup.sh"),
                  "#!/bin/sh\nprintf '%s|' \"$@\" > \"$OZ_REPORT\"\npwd >> \"$OZ_REPORT\"\nexit 7\n");
        original = tree(at("src"));
        original.remove("bin/setup.sh"); // its mode differs once made executable; compared apart
    }

    void extractorIsSmallAndSelfContained()
    {
        const QString extractor = QStringLiteral(OZ_BUILD_EXTRACTOR);
        QVERIFY(QFileInfo(extractor).size() < 1536 * 1024);
        const ToolResult needed = runTool("readelf", {"-d", extractor});
        QVERIFY2(needed.exitCode == 0, needed.output.constData());
        QStringList libraries;
        for (const QByteArray &line : needed.output.split('\n'))
            if (line.contains("(NEEDED)"))
                libraries << QString::fromUtf8(
                    line.mid(line.indexOf('[') + 1, line.indexOf(']') - line.indexOf('[') - 1));
        // The C library and its loader, nothing else.
        QVERIFY(!libraries.isEmpty());
        for (const QString &library : libraries)
            QVERIFY2(library == "libc.so.6" || library.startsWith("ld-linux"), qPrintable(library));
    }

    void otherToolsReadTheExecutable()
    {
        const QString exe = build("listed.run");
        QVERIFY(QFileInfo(exe).isExecutable());
        for (const auto &[tool, args] : std::vector<std::pair<QString, QStringList>>{
                 {"unzip", {"-t", exe}}, {"7zz", {"l", exe}}, {"bsdtar", {"-tf", exe}}}) {
            if (!haveTool(tool))
                continue;
            const ToolResult r = runTool(tool, args);
            QVERIFY2(r.exitCode == 0, r.output.constData());
            QVERIFY2(r.output.contains("photo.jpg"), r.output.constData());
        }
        QVERIFY(entryNames(exe).contains("data/deeper/notes.txt"));
    }

    void unattendedExtraction()
    {
        const QString exe = build("album.run");
        const Run r = run(exe, {}, at("out"));
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QMap<QString, QByteArray> got = tree(at("out/album"));
        got.remove("bin/setup.sh");
        QCOMPARE(got, original);
        QVERIFY(r.err.contains(at("out/album").toUtf8()));

        // A second run does not replace what is there, unless asked.
        writeFile(at("out/album/readme.txt"), "changed by the receiver");
        const Run again = run(exe, {}, at("out"));
        QCOMPARE(again.exitCode, 1);
        QVERIFY(again.err.contains("skipped"));
        QCOMPARE(readFile(at("out/album/readme.txt")), QByteArray("changed by the receiver"));
        QCOMPARE(run(exe, {"--overwrite", "--quiet"}, at("out")).exitCode, 0);
        QCOMPARE(readFile(at("out/album/readme.txt")), QByteArray("read me first\n"));

        QCOMPARE(run(exe, {"--dest", at("chosen"), "--quiet"}, at("out")).exitCode, 0);
        QCOMPARE(readFile(at("chosen/data/deeper/notes.txt")), QByteArray("notes"));
    }

    void informationOptions()
    {
        const QString exe = build("info.run", {}, "setup.sh", "--fast 'two words'", 1);
        const Run info = run(exe, {"--info"}, at("out"));
        QCOMPARE(info.exitCode, 0);
        const QByteArray icon
            = "icon: oz.ico (" + QByteArray::number(QFileInfo(OZ_RESOURCES "/icons/oz.ico").size()) + " bytes)";
        QVERIFY2(info.out.contains(icon), info.out.constData());
        QVERIFY(info.out.contains("run: setup.sh"));
        QVERIFY(info.out.contains("parameters: --fast 'two words'"));
        QVERIFY(info.out.contains("auto-temp: on"));
        const Run list = run(exe, {"--list"}, at("out"));
        QVERIFY(list.out.contains("data/photo.jpg"));
        // The columns and words of the Windows program's --list.
        QVERIFY2(list.out.contains("\n          14  readme.txt\n") || list.out.startsWith("          14  readme.txt\n"),
                 list.out.constData());
        QVERIFY(run(exe, {"--test"}, at("out")).out.contains("intact"));
        QVERIFY(run(exe, {"--version"}, at("out")).out.contains("Orvel Zip"));
        QVERIFY(run(exe, {"--help"}, at("out")).out.contains("--dest"));
        QCOMPARE(run(exe, {"--bogus"}, at("out")).exitCode, 2);
        QVERIFY(!QFileInfo::exists(at("out/info"))); // none of these extracted anything
    }

    void passwords()
    {
        const QString exe = build("locked.run", "Receiver's key");
        const Run none = run(exe, {}, at("out"));
        QCOMPARE(none.exitCode, 2);
        QVERIFY(none.err.contains("password"));
        QCOMPARE(run(exe, {"--password", "wrong"}, at("out")).exitCode, 2);
        QVERIFY(!QFileInfo::exists(at("out/locked/readme.txt")));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORVELZIP_PASSWORD", "Receiver's key");
        QCOMPARE(run(exe, {"--quiet"}, at("out"), env).exitCode, 0);
        QCOMPARE(readFile(at("out/locked/data/photo.jpg")), sampleBytes(200000, 5));
    }

    void modelTwoRunsTheProgram()
    {
        QTemporaryDir scratch;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", scratch.path());
        env.insert("OZ_REPORT", at("report.txt"));

        // Auto-temp: a private folder, the program's status, nothing left.
        // The parameters split as a Windows program splits its command line, the same on both
        // systems: quotes group, a backslash is literal but before a quote.
        const QString exe = build("setup.run", {}, "setup.sh",
                                  "--fast \"two words\" back\\slash C:\\dir\\ \"q\\\"in\" 'single' \"\" a&b", 1);
        const Run r = run(exe, {}, at("out"), env);
        QCOMPARE(r.exitCode, 7);
        const QByteArray report = readFile(at("report.txt"));
        QVERIFY2(report.startsWith("--fast|two words|back\\slash|C:\\dir\\|q\"in|'single'||a&b|"
                                   + scratch.path().toUtf8() + "/orvelzip-"),
                 report.constData());
        QCOMPARE(QDir(scratch.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

        // Without auto-temp: extracted beside the executable and run there.
        const QString kept = build("keep.run", {}, "setup.sh", "", 0);
        QCOMPARE(run(kept, {}, at("out"), env).exitCode, 7);
        QVERIFY(readFile(at("report.txt")).endsWith(at("out/keep").toUtf8() + "\n"));
        QVERIFY(QFileInfo(at("out/keep/bin/setup.sh")).isExecutable());

        const QString missing = build("missing.run", {}, "not-there.sh", "", 1);
        const Run m = run(missing, {}, at("out"), env);
        QCOMPARE(m.exitCode, 2);
        QVERIFY(m.err.contains("not-there.sh"));
    }

    // Model 2 with auto-temp: the temporary folder goes whatever happens: the program missing,
    // the extraction failing, the program killed, or a signal to the extractor while it runs.
    void theTemporaryFolderAlwaysGoes()
    {
        QTemporaryDir scratch;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", scratch.path());
        env.insert("OZ_REPORT", at("temp-report.txt"));
        QDir().mkpath(at("out"));
        writeFile(at("progs/die.sh"), "#!/bin/sh\nkill -9 $$\n");
        writeFile(at("progs/wait.sh"), "#!/bin/sh\necho started > \"$OZ_REPORT\"\nexec sleep 30\n");
        writeFile(at("progs/data.bin"), sampleBytes(300000, 3));
        auto exeRunning = [&](const QString &name, const QString &program) {
            const QString exe = at("out/" + name);
            const ToolResult made
                = runTool(OZ_BUILD_CLI, {"sfx", exe, at("progs"), "--run", program, "--auto-temp", "--quiet"});
            return made.exitCode == 0 ? exe : QString();
        };
        auto leftInTemp
            = [&] { return QDir(scratch.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); };

        QCOMPARE(run(exeRunning("missing.run", "absent.sh"), {}, at("out"), env).exitCode, 2);
        QCOMPARE(leftInTemp(), QStringList());

        QCOMPARE(run(exeRunning("die.run", "die.sh"), {}, at("out"), env).exitCode, 128 + SIGKILL);
        QCOMPARE(leftInTemp(), QStringList());

        // A damaged entry: extraction fails part-way.
        const QString damaged = exeRunning("damaged.run", "die.sh");
        QByteArray bytes = readFile(damaged);
        const qsizetype at = bytes.indexOf("data.bin") + 200; // inside its stored data
        bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
        writeFile(damaged, bytes);
        QFile::setPermissions(damaged, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        QCOMPARE(run(damaged, {}, this->at("out"), env).exitCode, 2);
        QCOMPARE(leftInTemp(), QStringList());

        // SIGTERM while the program runs: passed on to it, waited for, the folder removed.
        QFile::remove(this->at("temp-report.txt"));
        QProcess p;
        p.setProcessEnvironment(env);
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(exeRunning("wait.run", "wait.sh"), {});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(this->at("temp-report.txt")), 20000);
        p.terminate();
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 128 + SIGTERM);
        QCOMPARE(leftInTemp(), QStringList());

        // --dest wins over auto-temp, and that folder is kept.
        QCOMPARE(run(exeRunning("chosen.run", "die.sh"), {"--dest", this->at("chosen")}, this->at("out"), env).exitCode,
                 128 + SIGKILL);
        QVERIFY(QFileInfo::exists(this->at("chosen/die.sh")));
        QCOMPARE(leftInTemp(), QStringList());
    }

    // Double-clicked on a desktop, without a terminal: the extractor opens itself in one.
    void aDesktopReceiverGetsATerminal()
    {
        const QString standIn = at("terminal/x-terminal-emulator");
        writeFile(standIn, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$OZ_TERMINAL_LOG\"\nshift\nexec \"$@\" < /dev/null\n");
        QFile::setPermissions(standIn, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const QString exe = build("desktop.run");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", ":99");
        env.insert("PATH", at("terminal") + ":" + env.value("PATH"));
        env.insert("OZ_TERMINAL_LOG", at("terminal.log"));
        const Run r = run(exe, {}, at("out"), env);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(at("terminal.log")), ("-e\n" + exe + "\n--in-terminal\n").toUtf8());
        QCOMPARE(readFile(at("out/desktop/readme.txt")), QByteArray("read me first\n"));

        // No terminal program at all: an encrypted one cannot ask, and says why.
        const QString secret = build("secret.run", "s3cret");
        env.insert("PATH", at("nothing-here"));
        const Run none = run(secret, {}, at("out"), env);
        QCOMPARE(none.exitCode, 2);
        QVERIFY2(none.err.contains("password"), none.err.constData());
    }

    void damagedExecutables()
    {
        const QString exe = build("whole.run");
        const QByteArray bytes = readFile(exe);
        auto variant = [&](const QString &name, const QByteArray &content) {
            writeFile(at("out/" + name), content);
            QFile::setPermissions(at("out/" + name),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            return at("out/" + name);
        };
        // The extractor holds the magic too, as a constant: the block is the last one.
        const qint64 settingsAt = bytes.lastIndexOf("OZSFX1\r\n");
        QVERIFY(settingsAt > 0);

        QByteArray badSettings = bytes;
        badSettings[settingsAt + 20] = char(badSettings[settingsAt + 20] ^ 0x20);
        const QByteArray flippedData = [&] {
            QByteArray b = bytes;
            const qint64 photo = b.indexOf("data/photo.jpg", settingsAt);
            b[photo + 5000] = char(b[photo + 5000] ^ 0xff);
            return b;
        }();
        const std::vector<std::pair<QString, QByteArray>> cases{
            {"cut.run", bytes.left(settingsAt + (bytes.size() - settingsAt) / 2)},
            {"no-end.run", bytes.left(bytes.size() - 10)},
            {"stub-only.run", bytes.left(settingsAt)},
            {"settings.run", badSettings},
            {"flipped.run", flippedData},
        };
        for (const auto &[name, content] : cases) {
            const QString broken = variant(name, content);
            const Run r = run(broken, {"--quiet"}, at("out"));
            // One damaged entry is left out and named; the intact ones are extracted.
            const bool partly = name == QStringLiteral("flipped.run");
            QVERIFY2(r.exitCode == (partly ? 1 : 2), qPrintable(name + ": " + r.err));
            QVERIFY2(partly ? r.err.startsWith("damaged, not extracted: data/photo.jpg\n")
                            : r.err.startsWith("error: "),
                     qPrintable(name + ": " + r.err));
            // Nothing that looks complete: no photo, and no part files.
            const QString dest = at("out/" + QFileInfo(name).completeBaseName());
            QVERIFY2(!QFileInfo::exists(dest + "/data/photo.jpg"), qPrintable(name));
            if (QFileInfo::exists(dest + "/data"))
                QCOMPARE(QDir(dest + "/data").entryList({".ozpart*"}, QDir::Files | QDir::Hidden), QStringList());
        }
    }

    void terminalPrompts()
    {
        const QString exe = build("prompted.run", "tty secret");
        // A pseudo-terminal: the destination, one wrong password, then the right one.
        const ToolResult r = runTool("python3",
                                     {"-c", R"(
import os, pty, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1]])
seen = b''
def wait_for(text):
    global seen
    deadline = time.time() + 30
    while text not in seen and time.time() < deadline:
        try:
            seen += os.read(fd, 1024)
        except OSError:
            break
    return text in seen
assert wait_for(b'Password: '), seen
seen = b''
os.write(fd, b'wrong\n')
assert wait_for(b'Wrong password.'), seen
assert wait_for(b'Password: '), seen
seen = b''
os.write(fd, b'tty secret\n')
assert wait_for(b'Extract to ['), seen
os.write(fd, sys.argv[2].encode() + b'\n')
wait_for(b'extracted to')
_, status = os.waitpid(pid, 0)
assert 'tty secret' not in seen.decode(errors='replace'), 'password echoed'
sys.exit(os.WEXITSTATUS(status))
)",
                                      exe, at("typed-dest")});
        QVERIFY2(r.exitCode == 0, r.output.constData());
        QCOMPARE(readFile(at("typed-dest/readme.txt")), QByteArray("read me first\n"));
    }
};

QTEST_GUILESS_MAIN(ExtractorTest)
#include "test_extractor.moc"
