// Extraction as the windows, the tool and the extractor program meet it: the same hostile archives
// get the same verdicts, every name comes back, times and modes are restored sensibly, the later
// of two entries of one name wins, and a failure leaves the files that were there as they were.
#include "archive/ArchiveComponent.h"
#include "support/Fixtures.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <utime.h>

using namespace oz::archive;
using namespace oz::test;

namespace {

QString python(const QString &script)
{
    const ToolResult r = runTool(QStringLiteral("python3"), {QStringLiteral("-c"), script});
    return r.exitCode == 0 ? QString() : QString::fromUtf8(r.output);
}

// Hidden names a failed or interrupted write would leave behind.
QStringList leftovers(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString name = QFileInfo(it.next()).fileName();
        if (name.startsWith(QStringLiteral(".oz")))
            out << it.filePath();
    }
    return out;
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

} // namespace

class ExtractionTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    QString at(const QString &rel) const { return tmp.filePath(rel); }

    void extract(const QString &archive, const QString &folder, const QString &password = {})
    {
        ArchiveComponent zip;
        zip.SetPassword(password);
        zip.OpenZip(archive);
        zip.ExtractToFolder(folder);
    }

    // Forty files of 50,000 bytes below top/inner: one worker reports progress between them, so
    // that something can happen while the extraction writes. Python's error, else nothing.
    QString makeLongArchive(const QString &archive)
    {
        return python(QStringLiteral("import zipfile\n"
                                     "with zipfile.ZipFile('%1', 'w') as z:\n"
                                     "    for i in range(40):\n"
                                     "        z.writestr('top/inner/f%d.txt' % i, 'x' * 50000)\n")
                          .arg(archive));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp.isValid());
        ::umask(022);
    }

    // The table of tests/hostile/corpus.py, which the tool and the extractor program meet too.
    void hostileCorpusGetsTheSameVerdicts()
    {
        const QString corpus = at("corpus"), outside = at("outside");
        QDir().mkpath(outside);
        const ToolResult made
            = runTool("python3", {QStringLiteral(OZ_SOURCE_TESTS "/hostile/corpus.py"), corpus, outside});
        QVERIFY2(made.exitCode == 0, made.output.constData());
        QFile manifest(corpus + "/cases.tsv");
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        int cases = 0;
        for (const QByteArray &line : manifest.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() != 2)
                continue;
            const QString name = QString::fromUtf8(fields[0]), verdict = QString::fromUtf8(fields[1]);
            const QString dest = at("verdicts/" + name);
            writeFile(dest + "/keep.txt", "precious");
            QString error;
            try {
                extract(corpus + "/" + name + ".zip", dest);
            } catch (const ArchiveError &e) {
                error = e.reason();
            }
            const QString label = name + ": " + error;
            if (verdict == "refuse") {
                QVERIFY2(!error.isEmpty(), qPrintable(name + " was not refused"));
                QCOMPARE(tree(dest), (QMap<QString, QByteArray>{{"keep.txt", "precious"}}));
            }
            if (verdict == "ok")
                QVERIFY2(error.isEmpty(), qPrintable(label));
            QVERIFY2(QDir(outside).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), qPrintable(label));
            QVERIFY2(leftovers(dest).isEmpty(), qPrintable(label));
            if (name.startsWith("method-") && verdict == "ok") {
                const QByteArray text = QByteArray("Every method gives back the same bytes.\n").repeated(300);
                const QStringList files = QDir(dest).entryList({"*.txt"}, QDir::Files);
                QCOMPARE(files.size(), 2);
                for (const QString &f : files)
                    if (f != "keep.txt")
                        QCOMPARE(readFile(dest + "/" + f), text);
            }
            ++cases;
        }
        QVERIFY(cases > 50);
    }

    void everyNameComesBack_data()
    {
        QTest::addColumn<QString>("front"); // "component", "tool", "extractor"
        QTest::newRow("component") << "component";
        QTest::newRow("tool") << "tool";
        QTest::newRow("extractor") << "extractor";
    }
    void everyNameComesBack()
    {
        QFETCH(QString, front);
        const QString src = at("names-src");
        if (!QFileInfo::exists(src)) {
            const QStringList names{"Café.txt",
                                    "日本語/ファイル.txt",
                                    "🎉.txt",
                                    "a:b.txt",
                                    "C:",
                                    "* ? | < >",
                                    "trailing dot.",
                                    "trailing blank ",
                                    "-leading dash",
                                    "back\\slash",
                                    "Grüße/наслов/deep.txt",
                                    "tab\there"};
            for (const QString &n : names)
                writeFile(src + "/" + n, n.toUtf8());
        }
        const QString archive = at("names-" + front + (front == "extractor" ? ".run" : ".zip"));
        const QString out = at("names-out-" + front);
        if (front == "component") {
            ArchiveComponent zip;
            zip.StartNewArchive(archive);
            zip.AddFilesByPatternFiltered(src + "/*.*", 1, 0, 0, 1, 0);
            zip.SetArchiveFileName(archive);
            zip.SaveArchive();
            extract(archive, out);
        } else if (front == "tool") {
            QCOMPARE(runTool(OZ_BUILD_CLI, {"create", archive, src, "--quiet"}).exitCode, 0);
            const ToolResult r = runTool(OZ_BUILD_CLI, {"extract", archive, "-d", out, "--quiet"});
            QVERIFY2(r.exitCode == 0, r.output.constData());
        } else {
            QCOMPARE(runTool(OZ_BUILD_CLI, {"sfx", archive, src, "--quiet"}).exitCode, 0);
            const ToolResult r = runTool(archive, {"--dest", out, "--quiet"});
            QVERIFY2(r.exitCode == 0, r.output.constData());
        }
        QCOMPARE(tree(out), tree(src));
    }

    void timesAndModesComeBackSensibly()
    {
        const QString archive = at("modes.zip");
        // Odd seconds, which the DOS time cannot hold; folders that would lock their owner out or
        // be open to everyone; a set-user file.
        const QString failure
            = python(QStringLiteral("import zipfile, struct\n"
                                    "def info(name, mode):\n"
                                    "    i = zipfile.ZipInfo(name, (2001, 2, 3, 4, 5, 6)); i.create_system = 3\n"
                                    "    i.external_attr = mode << 16\n"
                                    "    i.extra = struct.pack('<HHBI', 0x5455, 5, 1, 981173107)\n"
                                    "    return i\n"
                                    "with zipfile.ZipFile('%1', 'w') as z:\n"
                                    "    z.writestr(info('locked/', 0o40500), '')\n"
                                    "    z.writestr(info('open/', 0o40777), '')\n"
                                    "    z.writestr(info('locked/inside.txt', 0o100644), 'in')\n"
                                    "    z.writestr(info('setuid', 0o104755), 'x')\n"
                                    "    z.writestr(info('everyone', 0o100666), 'x')\n")
                         .arg(archive));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QString out = at("modes-out");
        extract(archive, out);
        QCOMPARE(modeOf(out + "/locked"), mode_t(0700)); // 0500 keeps rwx for its owner
        QCOMPARE(modeOf(out + "/open"), mode_t(0755));   // through the umask
        QCOMPARE(modeOf(out + "/setuid"), mode_t(0755)); // never set-user
        QCOMPARE(modeOf(out + "/everyone"), mode_t(0644));
        QCOMPARE(readFile(out + "/locked/inside.txt"), QByteArray("in"));
        for (const char *p : {"/locked", "/setuid", "/locked/inside.txt"})
            QCOMPARE(QFileInfo(out + p).lastModified().toSecsSinceEpoch(), qint64(981173107));
    }

    // Small files are read ahead many at a time and made with their mode: every one comes back
    // whole and with its mode, up to the last one, whose data ends the read at the archive's end.
    void manySmallFilesComeBackWholeWithTheirModes()
    {
        const QString archive = at("small.zip");
        const QString failure
            = python(QStringLiteral("import zipfile, random\n"
                                    "r = random.Random(5)\n"
                                    "with zipfile.ZipFile('%1', 'w') as z:\n"
                                    "    for i in range(700):\n"
                                    "        i_ = zipfile.ZipInfo('d%d/f%d' % (i // 300, i), (2020, 1, 2, 3, 4, 6))\n"
                                    "        i_.external_attr = (0o100000 | (0o444, 0o600, 0o755)[i % 3]) << 16\n"
                                    "        i_.compress_type = (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED)[i % 2]\n"
                                    "        data = bytes(r.getrandbits(8) for _ in range(i * 7 % 3000))\n"
                                    "        z.writestr(i_, data if i % 4 else data[:50] * 40)\n")
                         .arg(archive));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QString out = at("small-out");
        ArchiveComponent zip;
        zip.setThreads(2);
        zip.OpenZip(archive);
        zip.ExtractToFolder(out);
        const QString check
            = python(QStringLiteral("import zipfile, os, sys\n"
                                    "for i in zipfile.ZipFile('%1').infolist():\n"
                                    "    p = os.path.join('%2', i.filename)\n"
                                    "    if open(p, 'rb').read() != zipfile.ZipFile('%1').read(i):\n"
                                    "        sys.exit('not whole: ' + i.filename)\n"
                                    "    want = (i.external_attr >> 16) & 0o777 & ~0o022\n"
                                    "    if os.stat(p).st_mode & 0o777 != want:\n"
                                    "        sys.exit('mode of %s: %o' % (i.filename, os.stat(p).st_mode))\n")
                         .arg(archive, out));
        QVERIFY2(check.isEmpty(), qPrintable(check));
        QVERIFY(leftovers(out).isEmpty());
    }

    void ourFoldersKeepTheirTimes()
    {
        const QString src = at("times-src");
        writeFile(src + "/sub/file.txt", "x");
        writeFile(src + "/sub/deeper/other.txt", "y");
        const QString archive = at("times.zip");
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.AddFilesByPatternFiltered(src + "/*.txt", 1, 0, 0, 0, 0);
        zip.SetArchiveFileName(archive);
        // Set after the files went in, as their own writing would move it.
        const struct utimbuf odd {
            1000000001, 1000000001
        };
        ::utime(QFile::encodeName(src + "/sub").constData(), &odd);
        ::utime(QFile::encodeName(src + "/sub/file.txt").constData(), &odd);
        zip.SaveArchive();
        extract(archive, at("times-out"));
        QCOMPARE(QFileInfo(at("times-out/sub")).lastModified().toSecsSinceEpoch(), qint64(1000000001));
        QCOMPARE(QFileInfo(at("times-out/sub/file.txt")).lastModified().toSecsSinceEpoch(), qint64(1000000001));
    }

    void keptFilesLeaveTheRestAsTheArchiveSays()
    {
        const QString archive = at("kept.zip");
        const QString failure = python(
            QStringLiteral("import zipfile\n"
                           "def info(name, when, mode):\n"
                           "    i = zipfile.ZipInfo(name, when); i.create_system = 3; i.external_attr = mode << 16\n"
                           "    return i\n"
                           "with zipfile.ZipFile('%1', 'w') as z:\n"
                           "    z.writestr(info('a.txt', (2010, 1, 1, 0, 0, 0), 0o100644), 'new a')\n"
                           "    z.writestr(info('sub/', (2011, 1, 1, 0, 0, 0), 0o40750), '')\n"
                           "    z.writestr(info('sub/b.txt', (2012, 1, 1, 0, 0, 0), 0o100600), 'b')\n")
                .arg(archive));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QString out = at("kept-out");
        writeFile(out + "/a.txt", "mine");
        ArchiveComponent zip;
        zip.setReplaceExisting(false);
        zip.OpenZip(archive);
        zip.ExtractToFolder(out);
        QCOMPARE(readFile(out + "/a.txt"), QByteArray("mine"));
        QCOMPARE(modeOf(out + "/sub"), mode_t(0750));
        QCOMPARE(QFileInfo(out + "/sub").lastModified().date().year(), 2011);
        QCOMPARE(QFileInfo(out + "/sub/b.txt").lastModified().date().year(), 2012);
    }

    // A link of the user's that extraction keeps is what the archive's links resolve through:
    // kept, it would carry "y" outside; replaced by the archive's file, it carries nothing.
    void linksArePlannedAgainstWhatIsKept()
    {
        const QString archive = at("keptlink.zip");
        const QString failure = python(
            QStringLiteral("import zipfile\n"
                           "def link(name, target):\n"
                           "    i = zipfile.ZipInfo(name); i.create_system = 3; i.external_attr = 0o120777 << 16\n"
                           "    return i, target\n"
                           "with zipfile.ZipFile('%1', 'w') as z:\n"
                           "    z.writestr('X', 'the archive X')\n"
                           "    z.writestr(*link('y', 'X/..'))\n")
                .arg(archive));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QString outside = at("keptlink-outside"), out = at("keptlink-out");
        QVERIFY(QDir().mkpath(outside + "/deep/er"));
        QVERIFY(QDir().mkpath(out));
        QVERIFY(QFile::link(outside + "/deep/er", out + "/X"));
        ArchiveComponent zip;
        zip.setReplaceExisting(false);
        zip.OpenZip(archive);
        QVERIFY_THROWS_EXCEPTION(ArchiveError, zip.ExtractToFolder(out));
        QVERIFY(zip.lastExtraction().error.contains("points outside"));
        QVERIFY(!QFileInfo(out + "/y").isSymLink());
        QCOMPARE(QFileInfo(out + "/X").symLinkTarget(), outside + "/deep/er");
        QVERIFY(QDir(outside + "/deep").entryList(QDir::NoDotAndDotDot | QDir::AllEntries) == QStringList{"er"});

        zip.setReplaceExisting(true);
        zip.ExtractToFolder(out);
        QVERIFY(!QFileInfo(out + "/X").isSymLink());
        QCOMPARE(readFile(out + "/X"), QByteArray("the archive X"));
        QVERIFY(QFileInfo(out + "/y").isSymLink());
    }

    void theLaterOfTwoEntriesOfOneNameWins()
    {
        const QString archive = at("dup.zip");
        const QString failure = python(QStringLiteral("import zipfile\n"
                                                      "with zipfile.ZipFile('%1', 'w', zipfile.ZIP_DEFLATED) as z:\n"
                                                      "    z.writestr('dup.txt', 'first' * 100000)\n"
                                                      "    for i in range(50): z.writestr('f%d' % i, 'x' * i)\n"
                                                      "    z.writestr('dup.txt', 'second')\n")
                                           .arg(archive));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        for (int round = 0; round < 5; ++round) {
            const QString out = at(QStringLiteral("dup-out%1").arg(round));
            ArchiveComponent zip;
            zip.setThreads(4);
            zip.OpenZip(archive);
            zip.ExtractToFolder(out);
            QCOMPARE(readFile(out + "/dup.txt"), QByteArray("second"));
        }
    }

    // A CRC failure in the last entry: the files the archive would replace stay as they were,
    // and nothing half-written is left under any name.
    void aLateFailureLeavesExistingFilesAsTheyWere()
    {
        const QString archive = at("late.zip");
        const QString failure
            = python(QStringLiteral("import zipfile\n"
                                    "with zipfile.ZipFile('%1', 'w', zipfile.ZIP_DEFLATED) as z:\n"
                                    "    z.writestr('a.txt', 'new a')\n"
                                    "    z.writestr('sub/new.txt', 'brand new')\n"
                                    "    z.writestr('z.bin', bytes(range(256)) * 64)\n"
                                    "data = bytearray(open('%1', 'rb').read())\n"
                                    "at = data.find(b'z.bin') + 5 + 40\n" // inside z.bin's compressed data
                                    "data[at] ^= 0xFF\n"
                                    "open('%1', 'wb').write(data)\n")
                         .arg(archive));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QString out = at("late-out");
        writeFile(out + "/a.txt", "old a");
        writeFile(out + "/z.bin", "old z");
        ArchiveComponent zip;
        zip.OpenZip(archive);
        QVERIFY_THROWS_EXCEPTION(ArchiveError, zip.ExtractToFolder(out));
        QCOMPARE(readFile(out + "/a.txt"), QByteArray("old a"));
        QCOMPARE(readFile(out + "/z.bin"), QByteArray("old z"));
        QVERIFY(leftovers(out).isEmpty());
        // A new file that was complete and checked may stay; a partial one never appears.
        if (QFileInfo::exists(out + "/sub/new.txt"))
            QCOMPARE(readFile(out + "/sub/new.txt"), QByteArray("brand new"));
    }

    // A new top folder is written under a hidden name and takes its own at the end. Something
    // that took that name meanwhile is never replaced, and the extraction says why it failed.
    void aFolderMadeMeanwhileIsNotReplaced()
    {
        const QString archive = at("meanwhile.zip");
        const QString failure = makeLongArchive(archive);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QString out = at("meanwhile-out");
        QVERIFY(QDir().mkpath(out));
        ArchiveComponent zip;
        zip.setThreads(1);
        bool made = false;
        connect(&zip, &ArchiveComponent::UnzipPercentDone, this, [&](int percent) {
            if (percent > 0 && percent < 100 && !made) {
                writeFile(out + "/top/mine.txt", "someone else's");
                made = true;
            }
        });
        zip.OpenZip(archive);
        try {
            zip.ExtractToFolder(out);
            QFAIL("the extraction took a name that was taken meanwhile");
        } catch (const ArchiveError &e) {
            QVERIFY2(e.reason().contains(QStringLiteral("top")), qPrintable(e.reason()));
        }
        QVERIFY(made);
        QCOMPARE(QDir(out + "/top").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("mine.txt")});
        QCOMPARE(readFile(out + "/top/mine.txt"), QByteArray("someone else's"));
    }

    // Folders are owner-only while they are filled; a stopped extraction hands over the ones it
    // made with their own modes, as a finished one does.
    void aStoppedExtractionLeavesFoldersWithTheirModes()
    {
        const QString archive = at("stopped.zip");
        const QString failure = makeLongArchive(archive);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        for (const QString &out : {at("stopped-new"), at("stopped-there")}) {
            if (out.endsWith(QStringLiteral("there")))
                QVERIFY(QDir().mkpath(out));
            ArchiveComponent zip;
            zip.setThreads(1);
            connect(&zip, &ArchiveComponent::UnzipPercentDone, this, [&](int percent) {
                if (percent > 0)
                    zip.requestStop();
            });
            zip.OpenZip(archive);
            QVERIFY_THROWS_EXCEPTION(ArchiveError, zip.ExtractToFolder(out));
            QVERIFY(QFileInfo::exists(out + "/top/inner"));
            QCOMPARE(modeOf(out), mode_t(0755));
            QCOMPARE(modeOf(out + "/top"), mode_t(0755));
            QCOMPARE(modeOf(out + "/top/inner"), mode_t(0755));
        }
    }

    void somethingInTheWayRefusesBeforeWriting()
    {
        const QString archive = at("way.zip");
        const QString failure = python(QStringLiteral("import zipfile\n"
                                                      "with zipfile.ZipFile('%1', 'w') as z:\n"
                                                      "    z.writestr('first.txt', 'one')\n"
                                                      "    z.writestr('blocked/inner.txt', 'two')\n")
                                           .arg(archive));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QString out = at("way-out");
        writeFile(out + "/blocked", "a file where a folder must go");
        QVERIFY_THROWS_EXCEPTION(ArchiveError, extract(archive, out));
        QVERIFY(!QFileInfo::exists(out + "/first.txt"));
        // An existing link on the way is never followed.
        QFile::remove(out + "/blocked");
        QDir().mkpath(at("elsewhere"));
        QVERIFY(QFile::link(at("elsewhere"), out + "/blocked"));
        QVERIFY_THROWS_EXCEPTION(ArchiveError, extract(archive, out));
        QVERIFY(QDir(at("elsewhere")).isEmpty());
        QVERIFY(!QFileInfo::exists(out + "/first.txt"));
    }
};

QTEST_GUILESS_MAIN(ExtractionTest)
#include "test_extraction.moc"
