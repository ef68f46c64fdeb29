// orvelzip-cli run as scripts run it: real files, exit statuses, messages,
// and archives checked by other zip tools.
#include "support/Fixtures.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace oz::test;

namespace {

struct Run {
    int status = -1;
    QByteArray out, err;
};

Run cli(const QStringList &args, const QString &cwd, const QMap<QString, QString> &extraEnv = {})
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("ORVELZIP_PASSWORD");
    for (auto it = extraEnv.begin(); it != extraEnv.end(); ++it)
        env.insert(it.key(), it.value());
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(cwd);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(QStringLiteral(OZ_BUILD_CLI), args);
    Run r;
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
        r.status = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QStringList sorted(QStringList l)
{
    l.sort();
    return l;
}

} // namespace

class CliTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    QString at(const QString &rel) const { return tmp.filePath(rel); }

    QStringList namesOf(const QString &archive, const QString &password = {})
    {
        return sorted(entryNames(archive, password));
    }

private slots:
    void initTestCase()
    {
        writeFile(at("src/a.txt"), "alpha");
        writeFile(at("src/b.jpg"), sampleBytes(60000, 6));
        writeFile(at("src/.hidden"), "hidden");
        writeFile(at("src/sub/c.txt"), "charlie");
        writeFile(at("src/sub/d.wav"), "delta");
        writeFile(at("loose.txt"), "loose");
    }

    void createWithOptions()
    {
        Run r = cli({"create", "all.zip", "src", "loose.txt"}, tmp.path());
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(namesOf(at("all.zip")),
                 QStringList({"a.txt", "b.jpg", "loose.txt", "sub/", "sub/c.txt", "sub/d.wav"}));
        QVERIFY(r.out.contains("6 entries written"));

        QCOMPARE(cli({"create", "some.zip", "src", "--include", "*.TXT", "--no-recurse"}, tmp.path()).status, 0);
        QCOMPARE(namesOf(at("some.zip")), QStringList({"a.txt"}));

        // Every --include and every --exclude counts, not only the last.
        QCOMPARE(cli({"create", "multi.zip", "src", "--include", "*.txt", "--include=*.jpg", "--exclude", "a*",
                      "--exclude=c*"},
                     tmp.path())
                     .status,
                 0);
        QCOMPARE(namesOf(at("multi.zip")), QStringList({"b.jpg"}));

        QCOMPARE(cli({"create", "excl.zip", "src", "--exclude=*.wav", "--hidden"}, tmp.path()).status, 0);
        QCOMPARE(namesOf(at("excl.zip")), QStringList({".hidden", "a.txt", "b.jpg", "sub/", "sub/c.txt"}));

        QCOMPARE(cli({"create", "full.zip", "src/sub", "--full-paths", "--quiet"}, tmp.path()).status, 0);
        const QString prefix = QDir::cleanPath(at("src/sub")).mid(1) + "/";
        QCOMPARE(namesOf(at("full.zip")), QStringList({prefix + "c.txt", prefix + "d.wav"}));

        QCOMPARE(cli({"create", "stored.zip", "src", "--level", "0"}, tmp.path()).status, 0);
        QVERIFY(QFileInfo(at("stored.zip")).size() > QFileInfo(at("all.zip")).size());

        if (haveTool("unzip")) {
            const ToolResult t = runTool("unzip", {"-t", at("all.zip")});
            QVERIFY2(t.exitCode == 0, t.output.constData());
        }
    }

    void passwords()
    {
        // --password takes its value from the environment when there is no terminal.
        Run r = cli({"create", "--password", "env.zip", "src/a.txt"}, tmp.path(), {{"ORVELZIP_PASSWORD", "from env"}});
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(namesOf(at("env.zip"), "from env"), QStringList({"a.txt"}));
        if (haveTool("7zz")) {
            const ToolResult t = runTool("7zz", {"t", "-pfrom env", at("env.zip")});
            QVERIFY2(t.exitCode == 0, t.output.constData());
        }
        QCOMPARE(cli({"create", "value.zip", "src", "--password=given"}, tmp.path()).status, 0);
        Run none = cli({"create", "--password", "nopw.zip", "src"}, tmp.path());
        QCOMPARE(none.status, 2);
        QVERIFY(none.err.contains("ORVELZIP_PASSWORD"));
        QVERIFY(!QFileInfo::exists(at("nopw.zip")));
        // An empty one would encrypt nothing: it is refused, not taken for no password.
        for (const char *command : {"create", "sfx"}) {
            Run empty = cli({command, "empty.bin", "src", "--password="}, tmp.path());
            QCOMPARE(empty.status, 2);
            QVERIFY2(empty.err.contains("the password is empty"), empty.err.constData());
            QVERIFY(!QFileInfo::exists(at("empty.bin")));
        }

        // Extracting needs it too; the wrong one fails and writes nothing.
        QCOMPARE(cli({"extract", "value.zip"}, tmp.path()).status, 2);
        Run wrong = cli({"extract", "value.zip", "--password=nope"}, tmp.path());
        QCOMPARE(wrong.status, 2);
        QVERIFY(wrong.err.startsWith("orvelzip-cli: Wrong password"));
        QVERIFY(!QFileInfo::exists(at("value/a.txt")));
        QCOMPARE(cli({"extract", "value.zip", "--quiet"}, tmp.path(), {{"ORVELZIP_PASSWORD", "given"}}).status, 0);
        QCOMPARE(readFile(at("value/sub/c.txt")), QByteArray("charlie"));
        // Listing needs no password.
        QVERIFY(cli({"list", "value.zip"}, tmp.path()).out.contains("(encrypted)"));
    }

    void listing()
    {
        QVERIFY(cli({"create", "list.zip", "src", "--quiet"}, tmp.path()).status == 0);
        Run text = cli({"list", "list.zip"}, tmp.path());
        QCOMPARE(text.status, 0);
        QCOMPARE(text.out.count('\n'), 5); // four files and their folder
        QVERIFY(text.out.contains("60000"));
        Run json = cli({"list", "list.zip", "--json"}, tmp.path());
        const QJsonArray entries = QJsonDocument::fromJson(json.out).object().value("entries").toArray();
        QCOMPARE(entries.size(), 5);
        QCOMPARE(entries[0].toObject().value("name").toString(), QStringLiteral("a.txt"));
        QCOMPARE(entries[0].toObject().value("size").toInt(), 5);
        QCOMPARE(entries[0].toObject().value("encrypted").toBool(), false);
    }

    // What a Windows receiver gets, seen from here: the names Windows cannot hold or would take
    // for another entry's, each with the one it gets; the build of a Windows executable warns.
    void windowsNamesListedAndWarned()
    {
        const ToolResult made
            = runTool("python3",
                      {"-c",
                       "import zipfile, sys\n"
                       "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                       "    for n in ['A.txt', 'a.txt', 'a:b.txt', 'a_b.txt', 'trailing.', 'trailing ', 'CON',\n"
                       "              'what?.txt', 'Dir/x.txt', 'dir/x.txt', 'plain.txt']:\n"
                       "        z.writestr(n, n)\n",
                       at("odd.zip")});
        QVERIFY2(made.exitCode == 0, made.output.constData());
        Run text = cli({"list", "odd.zip", "--target", "windows"}, tmp.path());
        QCOMPARE(text.status, 0);
        QStringList arrows;
        for (const QByteArray &line : text.out.split('\n'))
            if (line.contains(" -> "))
                arrows << QString::fromUtf8(line.mid(line.indexOf("  ", 40) + 2));
        QCOMPARE(arrows,
                 QStringList({"a.txt  -> a (2).txt", "a:b.txt  -> a_b.txt", "a_b.txt  -> a_b (2).txt",
                              "trailing.  -> trailing_", "trailing   -> trailing_ (2)", "CON  -> _CON",
                              "what?.txt  -> what_.txt", "dir/x.txt  -> Dir\\x (2).txt"}));
        Run json = cli({"list", "odd.zip", "--target", "windows", "--json"}, tmp.path());
        const QJsonArray entries = QJsonDocument::fromJson(json.out).object().value("entries").toArray();
        QCOMPARE(entries.size(), 11);
        QCOMPARE(entries[1].toObject().value("extractedAs").toString(), QStringLiteral("a (2).txt"));
        QVERIFY(!entries[0].toObject().contains("extractedAs"));
        // Linux holds every one of these names as it is.
        QVERIFY(!cli({"list", "odd.zip", "--target", "linux"}, tmp.path()).out.contains(" -> "));
        QCOMPARE(cli({"list", "odd.zip", "--target", "mac"}, tmp.path()).status, 2);

        QCOMPARE(cli({"extract", "odd.zip", "-d", "odd", "--quiet"}, tmp.path()).status, 0);
        Run exe = cli({"sfx", "odd.exe", "odd"}, tmp.path());
        QCOMPARE(exe.status, 0);
        QVERIFY2(exe.err.contains("warning: on Windows CON is extracted as _CON\n"), exe.err.constData());
        QVERIFY2(exe.err.contains("warning: on Windows what?.txt is extracted as what_.txt\n"), exe.err.constData());
        QVERIFY2(exe.err.count("warning: on Windows") >= 6, exe.err.constData());
        Run run = cli({"sfx", "odd.run", "odd"}, tmp.path());
        QCOMPARE(run.status, 0);
        QVERIFY2(!run.err.contains("warning"), run.err.constData());
    }

    void extracting()
    {
        QVERIFY(cli({"create", "photos.ZIP", "src", "--quiet"}, tmp.path()).status == 0);
        Run r = cli({"extract", "photos.ZIP"}, tmp.path());
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(readFile(at("photos/b.jpg")), sampleBytes(60000, 6));

        writeFile(at("photos/a.txt"), "mine");
        Run kept = cli({"extract", "photos.ZIP"}, tmp.path());
        QCOMPARE(kept.status, 1);
        QVERIFY2(kept.err.contains("kept photos/a.txt: it exists already"), kept.err.constData());
        QCOMPARE(readFile(at("photos/a.txt")), QByteArray("mine"));
        QCOMPARE(cli({"extract", "photos.ZIP", "--overwrite"}, tmp.path()).status, 0);
        QCOMPARE(readFile(at("photos/a.txt")), QByteArray("alpha"));

        QCOMPARE(cli({"extract", "photos.ZIP", "-d", "elsewhere/deep"}, tmp.path()).status, 0);
        QCOMPARE(readFile(at("elsewhere/deep/sub/c.txt")), QByteArray("charlie"));

        // Theirs, by us.
        if (haveTool("zip")) {
            QVERIFY(runTool("zip", {"-r", "-q", at("info.zip"), "."}, at("src")).exitCode == 0);
            QCOMPARE(cli({"extract", "info.zip", "-d", "info-out"}, tmp.path()).status, 0);
            QCOMPARE(tree(at("info-out")), tree(at("src")));
        }
    }

    void testingArchives()
    {
        QVERIFY(cli({"create", "good.zip", "src", "--quiet", "--level=0"}, tmp.path()).status == 0);
        Run good = cli({"test", "good.zip"}, tmp.path());
        QCOMPARE(good.status, 0);
        QVERIFY(good.out.contains("intact"));
        QByteArray bytes = readFile(at("good.zip"));
        const qint64 where = bytes.indexOf("b.jpg") + 3000;
        bytes[where] = char(bytes[where] ^ 0x55);
        writeFile(at("bad.zip"), bytes);
        Run bad = cli({"test", "bad.zip"}, tmp.path());
        QCOMPARE(bad.status, 2);
        QVERIFY2(bad.err.contains("b.jpg"), bad.err.constData());
        QCOMPARE(bad.err.count('\n'), 1); // one clear line
        // Every damaged entry is named, not only the first.
        const qint64 second = bytes.indexOf("charlie");
        QVERIFY(second > 0);
        bytes[second] = char(bytes[second] ^ 0x55);
        writeFile(at("worse.zip"), bytes);
        Run worse = cli({"test", "worse.zip"}, tmp.path());
        QCOMPARE(worse.status, 2);
        QVERIFY2(worse.err.contains("b.jpg") && worse.err.contains("c.txt"), worse.err.constData());
        QCOMPARE(worse.err.count('\n'), 1);
    }

    void selfExtracting()
    {
        writeFile(at("app/run.sh"), "#!/bin/sh\necho \"started $1\"\nexit 3\n");
        Run r = cli({"sfx", "setup.run", "app", "--run", "run.sh", "--param", "now", "--auto-temp"}, tmp.path());
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY(QFileInfo(at("setup.run")).isExecutable());
        QProcess p;
        p.start(at("setup.run"), {});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 3);
        QVERIFY(p.readAllStandardOutput().contains("started now"));
        QCOMPARE(namesOf(at("setup.run")), QStringList({"run.sh"}));

        // A damaged Windows extractor is the installation's fault, and says so rather than
        // blaming the icon or the version; an icon that cannot be used is the user's.
        writeFile(at("broken-sfx.exe"), "MZ not really a program");
        const QMap<QString, QString> broken{{"ORVELZIP_SFX_EXTRACTOR_WINDOWS", at("broken-sfx.exe")}};
        Run damaged = cli({"sfx", "setup.exe", "app"}, tmp.path(), broken);
        QCOMPARE(damaged.status, 2);
        QVERIFY2(damaged.err.contains("The Windows extractor program cannot be changed: it is not a Windows program"),
                 damaged.err.constData());
        writeFile(at("empty.ico"), "");
        Run icon = cli({"sfx", "setup.exe", "app", "--icon", "empty.ico"}, tmp.path(), broken);
        QCOMPARE(icon.status, 2);
        QVERIFY2(icon.err.contains("The icon empty.ico cannot be used: it is empty"), icon.err.constData());
        QVERIFY(!QFileInfo::exists(at("setup.exe")));

        // cmd.exe ends a script's command at a line break, quoted or not: a Windows build refuses
        // one in a script's parameter; a Linux script takes it as it stands.
        writeFile(at("app/setup.bat"), "@echo %~1\r\n");
        Run script = cli({"sfx", "setup.exe", "app", "--run", "setup.bat", "--param", "\"two\nlines\""}, tmp.path());
        QCOMPARE(script.status, 2);
        QVERIFY2(script.err.contains("The script setup.bat cannot be given a parameter that holds a line break"),
                 script.err.constData());
        QVERIFY(!QFileInfo::exists(at("setup.exe")));
        Run onLinux = cli({"sfx", "lines.run", "app", "--run", "run.sh", "--param", "\"two\nlines\"", "--auto-temp"},
                          tmp.path());
        QVERIFY2(onLinux.status == 0, onLinux.err.constData());
        QProcess lines;
        lines.start(at("lines.run"), {});
        QVERIFY(lines.waitForFinished(60000));
        QVERIFY(lines.readAllStandardOutput().contains("started two\nlines"));
    }

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no command") << QStringList{};
        QTest::newRow("unknown command") << QStringList{"pack"};
        QTest::newRow("unknown option") << QStringList{"create", "x.zip", "src", "--fast"};
        QTest::newRow("missing value") << QStringList{"create", "x.zip", "src", "--level"};
        QTest::newRow("bad level") << QStringList{"create", "x.zip", "src", "--level", "11"};
        QTest::newRow("no paths") << QStringList{"create", "x.zip"};
        QTest::newRow("two archives") << QStringList{"list", "a.zip", "b.zip"};
    }
    void badArguments()
    {
        QFETCH(QStringList, args);
        Run r = cli(args, tmp.path());
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains("Usage: orvelzip-cli"), r.err.constData());
        QVERIFY(!QFileInfo::exists(at("x.zip")));
    }

    void errorsAndSkips()
    {
        Run missing = cli({"list", "nothing-here.zip"}, tmp.path());
        QCOMPARE(missing.status, 2);
        QVERIFY(missing.err.contains("nothing-here.zip"));
        writeFile(at("text.zip"), "not an archive");
        QVERIFY(cli({"extract", "text.zip"}, tmp.path()).err.contains("not a zip archive"));

        Run skipped = cli({"create", "skip.zip", "src/a.txt", "no-such-file"}, tmp.path());
        QCOMPARE(skipped.status, 1);
        QVERIFY(skipped.err.contains("skipped no-such-file"));
        QCOMPARE(namesOf(at("skip.zip")), QStringList({"a.txt"}));

        // Excluded files are no skip; nothing at all is an error.
        QCOMPARE(cli({"create", "ex.zip", "src", "--exclude", "*.wav", "--quiet"}, tmp.path()).status, 0);
        QCOMPARE(cli({"create", "empty.zip", "src", "--include", "*.none"}, tmp.path()).status, 2);

        QVERIFY(cli({"--help"}, tmp.path()).out.contains("Commands:"));
        QVERIFY(cli({"extract", "--help"}, tmp.path()).out.contains("--overwrite"));
        QVERIFY(cli({"--version"}, tmp.path()).out.startsWith("orvelzip-cli " OZ_TEST_VERSION));
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "test_cli.moc"
