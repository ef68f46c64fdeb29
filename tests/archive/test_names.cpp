// Names as the windows' component, the tool and the extractor program meet them: the Unicode Path
// field where it belongs to the name, legacy code pages told per archive, the user's choice of
// code page, refusals that say what is wrong with a name, and file names that are not UTF-8
// stored as their bytes.
#include "archive/ArchiveComponent.h"
#include "receiver/SfxFormat.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace oz::archive;
using namespace oz::test;

namespace {

QString data(const QString &name)
{
    return QStringLiteral(OZ_SOURCE_TESTS "/data/") + name;
}

ToolResult runWith(const QString &program, const QStringList &args, const QMap<QString, QString> &env = {})
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.remove("ORVELZIP_NAMES");
    for (auto it = env.begin(); it != env.end(); ++it)
        e.insert(it.key(), it.value());
    p.setProcessEnvironment(e);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(program, args);
    ToolResult r;
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
        r.exitCode = p.exitCode();
    r.output = p.readAll();
    return r;
}

// Whether a file of exactly these name bytes exists in the folder.
bool existsAsBytes(const QString &folder, const QByteArray &name)
{
    struct stat st {};
    return ::stat((QFile::encodeName(folder) + '/' + name).constData(), &st) == 0;
}

} // namespace

class NamesTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    QString at(const QString &rel) const { return tmp.filePath(rel); }

    // The Linux extractor with another tool's archive behind it, its offsets left as they were,
    // as the self-extractors of tools that do not adjust them are made.
    QString extractorWith(const QString &archive)
    {
        QString exe = at("sfx-" + QFileInfo(archive).completeBaseName() + ".run");
        QByteArray bytes = readFile(QStringLiteral(OZ_BUILD_EXTRACTOR));
        bytes += QByteArray::fromStdString(oz::receiver::encodeSettings(oz::receiver::Settings{}));
        bytes += readFile(archive);
        writeFile(exe, bytes);
        QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return exe;
    }

    // Extracts through one front; the text of its summary of a test run, for the code page.
    QString extract(const QString &front, const QString &archive, const QString &dest, const QString &names = {})
    {
        if (front == "component") {
            ArchiveComponent zip;
            zip.setNameCodePage(names);
            zip.OpenZip(archive);
            zip.ExtractToFolder(dest);
            return zip.openedCodePage();
        }
        QStringList pick = names.isEmpty() ? QStringList() : QStringList{"--names", names};
        if (front == "tool") {
            const ToolResult r = runWith(OZ_BUILD_CLI, QStringList{"extract", archive, "-d", dest, "--quiet"} + pick);
            if (r.exitCode != 0)
                return "failed: " + QString::fromUtf8(r.output);
            return QString::fromUtf8(runWith(OZ_BUILD_CLI, QStringList{"test", archive} + pick).output);
        }
        const QString exe = extractorWith(archive);
        const ToolResult r = runWith(exe, QStringList{"--dest", dest, "--quiet"} + pick);
        if (r.exitCode != 0)
            return "failed: " + QString::fromUtf8(r.output);
        return QString::fromUtf8(runWith(exe, QStringList{"--test"} + pick).output);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp.isValid());
        qunsetenv("ORVELZIP_NAMES");
    }

    // Qt cannot remove files whose names are not UTF-8.
    void cleanupTestCase() { runTool("rm", {"-rf", tmp.path()}); }

    // Each entry of the archives of tests/data/make-names.py holds the UTF-8 text of its name.
    void legacyNamesComeBackAsTheirMakersMeantThem_data()
    {
        QTest::addColumn<QString>("front");
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("codePage");
        const QStringList fronts{"component", "tool", "extractor"};
        for (const QString &front : fronts) {
            QTest::newRow(qPrintable(front + " unicode path"))
                << front << "unicode-path.zip" << QStringList{"€_for_Dollar.txt", "renamed.txt"} << "UTF-8";
            QTest::newRow(qPrintable(front + " cp932")) << front << "cp932.zip" << QStringList{"一覧表.txt"} << "CP932";
            QTest::newRow(qPrintable(front + " cp437"))
                << front << "cp437.zip" << QStringList{"Crème brûlée.txt", "España/Año nuevo.txt", "Ölfässer.txt"}
                << "CP437";
            QTest::newRow(qPrintable(front + " cp866"))
                << front << "cp866.zip"
                << QStringList{"Документы/Список сотрудников.txt", "Отчёт за год.txt", "Привет мир.txt"} << "CP866";
        }
    }
    void legacyNamesComeBackAsTheirMakersMeantThem()
    {
        QFETCH(QString, front);
        QFETCH(QString, archive);
        QFETCH(QStringList, names);
        QFETCH(QString, codePage);
        const QString dest = at("legacy/" + front + "/" + archive);
        const QString said = extract(front, data(archive), dest);
        QVERIFY2(said.contains(codePage), qPrintable(said));
        QMap<QString, QByteArray> expected;
        for (const QString &name : names) {
            expected.insert(name, name.toUtf8());
            if (name.contains(u'/'))
                expected.insert(name.section(u'/', 0, 0) + u'/', QByteArray());
        }
        QCOMPARE(tree(dest), expected);
        QStringList listed;
        for (const ArchiveEntry &e : ArchiveComponent::ListZip(data(archive)))
            listed << e.GetEntryName();
        listed.sort();
        names.sort();
        QCOMPARE(listed, names);
    }

    // Other tools read the Unicode Path field the same way: taken where its CRC matches the name,
    // ignored where it does not.
    void otherToolsAgreeOnTheUnicodePathField()
    {
        for (const QString &tool : {QStringLiteral("7zz"), QStringLiteral("bsdtar")}) {
            const QString dest = at("agree/" + tool);
            QDir().mkpath(dest);
            const ToolResult r = tool == "7zz" ? runWith(tool, {"x", "-o" + dest, data("unicode-path.zip")})
                                               : runWith(tool, {"-xf", data("unicode-path.zip"), "-C", dest});
            QVERIFY2(r.exitCode == 0, r.output.constData());
            QCOMPARE(tree(dest).keys(), (QStringList{"renamed.txt", "€_for_Dollar.txt"}));
        }
    }

    // Names made on Unix without the UTF-8 mark are the file system's bytes: they come back as
    // those bytes, as unzip and bsdtar give them back.
    void unixNamesKeepTheirBytes()
    {
        for (const QString &front :
             {QStringLiteral("component"), QStringLiteral("tool"), QStringLiteral("extractor")}) {
            const QString dest = at("unix/" + front);
            const QString said = extract(front, data("unix-latin1.zip"), dest);
            QVERIFY2(said.contains("bytes as stored"), qPrintable(said));
            QVERIFY2(existsAsBytes(dest, "caf\xe9.txt"), qPrintable(front));
        }
        const QString byUnzip = at("unix/unzip");
        QDir().mkpath(byUnzip);
        QCOMPARE(runWith("unzip", {"-q", data("unix-latin1.zip"), "-d", byUnzip}).exitCode, 0);
        QVERIFY(existsAsBytes(byUnzip, "caf\xe9.txt"));
    }

    // The user names the code page: --names on the tool and the extractor, ORVELZIP_NAMES for the
    // windows; a name that is no code page is refused with the ones there are.
    void theUserChoosesTheCodePage()
    {
        for (const QString &front :
             {QStringLiteral("component"), QStringLiteral("tool"), QStringLiteral("extractor")}) {
            const QString dest = at("chosen/" + front);
            const QString said = extract(front, data("unix-latin1.zip"), dest, "latin1");
            QVERIFY2(said.contains("ISO-8859-1"), qPrintable(said));
            QCOMPARE(tree(dest), (QMap<QString, QByteArray>{{"café.txt", "café.txt"}}));
        }
        qputenv("ORVELZIP_NAMES", "cp1251");
        QString codePage;
        const auto entries = ArchiveComponent::ListZip(data("unix-latin1.zip"), &codePage);
        const QStringList opened = entryNames(data("unix-latin1.zip")); // as the windows open it
        qunsetenv("ORVELZIP_NAMES");
        QCOMPARE(opened, QStringList{"cafй.txt"});
        QCOMPARE(codePage, QStringLiteral("CP1251"));
        QCOMPARE(entries.at(0).GetEntryName(), QStringLiteral("cafй.txt"));

        ArchiveComponent zip;
        QVERIFY_THROWS_EXCEPTION(ArchiveError, zip.setNameCodePage("klingon"));
        const ToolResult tool = runWith(OZ_BUILD_CLI, {"list", data("cp932.zip"), "--names", "klingon"});
        QCOMPARE(tool.exitCode, 2);
        QVERIFY2(tool.output.contains("CP866"), tool.output.constData());
        const ToolResult sfx = runWith(extractorWith(data("cp932.zip")), {"--list", "--names", "klingon"});
        QCOMPARE(sfx.exitCode, 2);
        QVERIFY2(sfx.output.contains("CP932"), sfx.output.constData());
    }

    void listJsonNamesTheCodePage()
    {
        const ToolResult r = runWith(OZ_BUILD_CLI, {"list", data("cp866.zip"), "--json"});
        QCOMPARE(r.exitCode, 0);
        const QJsonObject doc = QJsonDocument::fromJson(r.output).object();
        QCOMPARE(doc.value("codePage").toString(), QStringLiteral("CP866"));
        QCOMPARE(doc.value("entries").toArray().at(1).toObject().value("name").toString(),
                 QStringLiteral("Привет мир.txt"));
        const ToolResult chosen = runWith(OZ_BUILD_CLI, {"list", data("cp866.zip"), "--json", "--names", "koi8-r"});
        QCOMPARE(QJsonDocument::fromJson(chosen.output).object().value("codePage").toString(),
                 QStringLiteral("KOI8-R"));
    }

    // Empty names and names with NUL were both said to lead outside the destination.
    void refusedNamesSayWhatIsWrong()
    {
        const QString corpus = at("corpus");
        const ToolResult made = runTool(
            "python3",
            {QStringLiteral(OZ_SOURCE_TESTS "/hostile/corpus.py"), corpus, at("outside"), "empty-name", "nul-in-name"});
        QVERIFY2(made.exitCode == 0, made.output.constData());
        const QMap<QString, QString> reasons{{"empty-name", "it has no name"},
                                             {"nul-in-name", "its name holds a NUL character"}};
        for (auto it = reasons.begin(); it != reasons.end(); ++it) {
            ArchiveComponent zip;
            zip.OpenZip(corpus + "/" + it.key() + ".zip");
            QString error;
            try {
                zip.ExtractToFolder(at("refused/" + it.key()));
            } catch (const ArchiveError &e) {
                error = e.reason();
            }
            QVERIFY2(error.contains(it.value()), qPrintable(error));
            QVERIFY2(!error.contains("outside"), qPrintable(error));
        }
    }

    // A file whose name is not UTF-8 no longer stops the archive: it is stored as its bytes,
    // without the UTF-8 mark, with a warning, and every tool reads it back.
    void aNameThatIsNotUtf8IsStoredAsItsBytes()
    {
        const QString src = at("bytes-src");
        QDir().mkpath(src + "/sub");
        writeFile(src + "/sub/plain.txt", "plain");
        const QByteArray bad = QFile::encodeName(src) + "/sub/bad\xe9name.txt";
        const int fd = ::open(bad.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "bytes", 5), ssize_t(5));
        ::close(fd);

        const ToolResult r = runWith(OZ_BUILD_CLI, {"create", at("bytes.zip"), src});
        QVERIFY2(r.exitCode == 0, r.output.constData());
        QVERIFY2(r.output.contains("warning: ") && r.output.contains("bad\\xe9name.txt"), r.output.constData());

        const ToolResult py = runTool("python3",
                                      {"-c",
                                       "import sys, zipfile\n"
                                       "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
                                       "    print(i.orig_filename.encode('cp437') if not i.flag_bits & 0x800"
                                       " else i.filename.encode(), i.flag_bits & 0x800)\n",
                                       at("bytes.zip")});
        QVERIFY2(py.output.contains("b'bytes-src/sub/bad\\xe9name.txt' 0")
                     || py.output.contains("b'sub/bad\\xe9name.txt' 0"),
                 py.output.constData());

        const QString byUnzip = at("bytes-unzip");
        QCOMPARE(runWith("unzip", {"-q", at("bytes.zip"), "-d", byUnzip}).exitCode, 0);
        const QString back = at("bytes-back");
        ArchiveComponent zip;
        zip.OpenZip(at("bytes.zip"));
        zip.ExtractToFolder(back);
        for (const QString &folder : {byUnzip, back}) {
            QDir d(folder);
            const QString sub = d.entryList(QDir::Dirs | QDir::NoDotAndDotDot).value(0);
            const QString top = QFileInfo::exists(folder + "/sub") ? folder : folder + "/" + sub;
            QVERIFY2(existsAsBytes(top + "/sub", "bad\xe9name.txt"), qPrintable(folder));
            QCOMPARE(readFile(top + "/sub/plain.txt"), QByteArray("plain"));
        }
    }
};

QTEST_GUILESS_MAIN(NamesTest)
#include "test_names.moc"
