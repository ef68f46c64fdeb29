// What Orvel Zip writes, other zip tools read; what they write, Orvel Zip reads.
#include "archive/ArchiveComponent.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace oz::archive;
using namespace oz::test;

class InteropTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    QString src;
    QMap<QString, QByteArray> original;

    QString path(const QString &rel) const { return tmp.filePath(rel); }

    void need(const QString &tool)
    {
        if (!haveTool(tool))
            QSKIP(qPrintable(tool + " is not installed (scripts/install-deps.sh installs it)"));
    }

    QString ours(const QString &name, const QString &password, int keyBits = 256)
    {
        QString archive = path(name);
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.SetPasswordProtection(password.isEmpty() ? 0 : 1);
        zip.SetPassword(password);
        zip.SetEncryptionKeyLength(keyBits);
        zip.AddFilesByPatternFiltered(src + "/*.*", 1, 0, 0, 0, 0);
        zip.SetArchiveFileName(archive);
        zip.SaveArchive();
        return archive;
    }

    // Opens an archive of another tool with ours and compares what comes out.
    void readBack(const QString &archive, const QString &password)
    {
        ArchiveComponent zip;
        zip.SetPassword(password);
        zip.OpenZip(archive);
        QVERIFY(zip.GetEntries().count() >= original.size() - 1);
        const QString out = archive + ".out";
        zip.ExtractToFolder(out);
        QCOMPARE(tree(out), original);
    }

    void check(const ToolResult &r) { QVERIFY2(r.exitCode == 0, r.output.constData()); }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp.isValid());
        src = path("src");
        writeFile(src + "/readme.txt", "Orvel Zip\n");
        writeFile(src + "/data.bin", sampleBytes(300000, 3));
        writeFile(src + "/nested/deeper/leaf.txt", "leaf");
        writeFile(src + "/Grüße/наслов.txt", "utf-8 names");
        writeFile(src + "/nested/empty.txt", "");
        QDir().mkpath(src + "/empty-folder");
        original = tree(src);
    }

    void othersReadOurs_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("keyBits");
        QTest::newRow("plain") << QString() << 256;
        QTest::newRow("AES-128") << QStringLiteral("s3cret pass") << 128;
        QTest::newRow("AES-192") << QStringLiteral("s3cret pass") << 192;
        QTest::newRow("AES-256") << QStringLiteral("s3cret pass") << 256;
    }
    void othersReadOurs()
    {
        QFETCH(QString, password);
        QFETCH(int, keyBits);
        need("7zz");
        const QString archive
            = ours(password.isEmpty() ? "plain.zip" : QStringLiteral("aes%1.zip").arg(keyBits), password, keyBits);

        const ToolResult test7 = runTool("7zz", {"t", "-p" + password, archive});
        check(test7);
        const ToolResult list7 = runTool("7zz", {"l", "-slt", archive});
        if (!password.isEmpty())
            QVERIFY2(list7.output.contains(QStringLiteral("AES-%1").arg(keyBits).toUtf8()), list7.output.constData());

        const QString x7 = archive + ".7zz";
        check(runTool("7zz", {"x", "-y", "-p" + password, "-o" + x7, archive}));
        QCOMPARE(tree(x7), original);

        // Python checks names and, where it can decrypt, contents and CRCs.
        const ToolResult py = runTool("python3",
                                      {"-c",
                                       "import sys, zipfile\n"
                                       "z = zipfile.ZipFile(sys.argv[1])\n"
                                       "names = sorted(z.namelist())\n"
                                       "print('\\n'.join(names))\n"
                                       "enc = any(i.flag_bits & 1 for i in z.infolist())\n"
                                       "if not enc:\n"
                                       "    bad = z.testzip()\n"
                                       "    assert bad is None, bad\n"
                                       "    assert z.read('Grüße/наслов.txt') == b'utf-8 names'\n",
                                       archive});
        check(py);
        QVERIFY(QString::fromUtf8(py.output).contains("Grüße/наслов.txt"));
        QVERIFY(py.output.contains("empty-folder/"));

        if (password.isEmpty()) {
            need("unzip");
            check(runTool("unzip", {"-t", archive}));
            need("bsdtar");
            const QString xb = archive + ".bsdtar";
            QDir().mkpath(xb);
            check(runTool("bsdtar", {"-xf", archive, "-C", xb}));
            QCOMPARE(tree(xb), original);
        }
    }

    void weReadInfoZip()
    {
        need("zip");
        const QString archive = path("infozip.zip");
        check(runTool("zip", {"-r", "-q", archive, "."}, src));
        readBack(archive, {});
    }

    void weReadInfoZipTraditionalEncryption()
    {
        need("zip");
        const QString archive = path("zipcrypto.zip");
        check(runTool("zip", {"-r", "-q", "-P", "old school", archive, "."}, src));
        ArchiveComponent wrong;
        wrong.SetPassword("wrong");
        QVERIFY_THROWS_EXCEPTION(ArchiveError, wrong.OpenZip(archive));
        readBack(archive, "old school");
    }

    void weRead7zipAes_data()
    {
        QTest::addColumn<int>("keyBits");
        QTest::newRow("AES-128") << 128;
        QTest::newRow("AES-192") << 192;
        QTest::newRow("AES-256") << 256;
    }
    void weRead7zipAes()
    {
        QFETCH(int, keyBits);
        need("7zz");
        const QString archive = path(QStringLiteral("7z-aes%1.zip").arg(keyBits));
        check(runTool("7zz", {"a", "-tzip", QStringLiteral("-mem=AES%1").arg(keyBits), "-pseven", archive, "."}, src));
        ArchiveComponent wrong;
        wrong.SetPassword("eight");
        QVERIFY_THROWS_EXCEPTION(ArchiveError, wrong.OpenZip(archive));
        readBack(archive, "seven");
    }

    void weReadBsdtar()
    {
        need("bsdtar");
        const QString archive = path("bsdtar.zip");
        check(runTool("bsdtar", {"--format", "zip", "-cf", archive, "."}, src));
        readBack(archive, {});
    }

    void weRead7zipMethods_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("password");
        QTest::newRow("LZMA") << "LZMA" << QString();
        QTest::newRow("BZip2") << "BZip2" << QString();
        QTest::newRow("LZMA with AES") << "LZMA"
                                       << "seven";
        QTest::newRow("BZip2 with AES") << "BZip2"
                                        << "seven";
    }
    void weRead7zipMethods()
    {
        QFETCH(QString, method);
        QFETCH(QString, password);
        need("7zz");
        const QString archive = path(QStringLiteral("7z-%1%2.zip").arg(method, password.isEmpty() ? "" : "-aes"));
        QStringList args{"a", "-tzip", "-mm=" + method, archive, "."};
        if (!password.isEmpty())
            args << "-mem=AES256"
                 << "-p" + password;
        check(runTool("7zz", args, src));
        readBack(archive, password);
    }

    void weReadPythonMethods_data()
    {
        QTest::addColumn<QString>("method");
        QTest::newRow("stored") << "ZIP_STORED";
        QTest::newRow("bzip2") << "ZIP_BZIP2";
        QTest::newRow("lzma") << "ZIP_LZMA";
    }
    void weReadPythonMethods()
    {
        QFETCH(QString, method);
        const QString archive = path("python-" + method + ".zip");
        check(runTool("python3",
                      {"-c",
                       "import os, sys, zipfile\n"
                       "with zipfile.ZipFile(sys.argv[1], 'w', getattr(zipfile, sys.argv[3])) as z:\n"
                       "    for root, dirs, files in os.walk(sys.argv[2]):\n"
                       "        for n in dirs + files:\n"
                       "            p = os.path.join(root, n)\n"
                       "            z.write(p, os.path.relpath(p, sys.argv[2]))\n",
                       archive, src, method}));
        readBack(archive, {});
    }

    // A method we cannot read refuses the archive before anything is written, and says which.
    void ppmdIsRefusedByName()
    {
        need("7zz");
        const QString archive = path("7z-ppmd.zip");
        check(runTool("7zz", {"a", "-tzip", "-mm=PPMd", archive, "."}, src));
        ArchiveComponent zip;
        zip.OpenZip(archive);
        const QString out = path("ppmd-out");
        try {
            zip.ExtractToFolder(out);
            QFAIL("a PPMd archive was extracted");
        } catch (const ArchiveError &e) {
            QVERIFY2(e.reason().contains("uses PPMd, which Orvel Zip cannot read"), qPrintable(e.reason()));
        }
        QVERIFY(!QFileInfo::exists(out));
    }

    // Archives of other tools kept in tests/data: the same bytes on every machine.
    void archivesKeptFromOtherTools_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QString>("password");
        QTest::newRow("Info-ZIP") << "infozip.zip" << QString();
        QTest::newRow("7-Zip AES-256") << "7zip-aes256.zip"
                                       << "seven";
        QTest::newRow("Python LZMA") << "python-lzma.zip" << QString();
        QTest::newRow("Python bzip2") << "python-bzip2.zip" << QString();
        QTest::newRow("Windows, backslashes") << "windows-backslashes.zip" << QString();
    }
    void archivesKeptFromOtherTools()
    {
        QFETCH(QString, archive);
        QFETCH(QString, password);
        ArchiveComponent zip;
        zip.SetPassword(password);
        zip.OpenZip(QStringLiteral(OZ_SOURCE_TESTS "/data/") + archive);
        const QString out = path("kept-" + archive);
        zip.ExtractToFolder(out);
        QMap<QString, QByteArray> files = tree(out);
        for (auto it = files.begin(); it != files.end();)
            it = it.key().endsWith(u'/') ? files.erase(it) : std::next(it);
        QCOMPARE(files,
                 (QMap<QString, QByteArray>{{"readme.txt", "Orvel Zip\n"},
                                            {"nested/deeper/leaf.txt", "leaf"},
                                            {"Grüße/наслов.txt", "utf-8 names"}}));
        // Their times come back to the second (the DOS time keeps even seconds only).
        const QDateTime when = QFileInfo(out + "/readme.txt").lastModified();
        QCOMPARE(when.date(), QDate(2021, 6, 15));
        QVERIFY(qAbs(when.time().secsTo(QTime(12, 34, 56))) <= 1);
    }

    void weReadPython()
    {
        const QString archive = path("python.zip");
        check(runTool("python3",
                      {"-c",
                       "import os, sys, zipfile\n"
                       "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                       "    for root, dirs, files in os.walk(sys.argv[2]):\n"
                       "        for d in dirs:\n"
                       "            p = os.path.join(root, d)\n"
                       "            z.write(p, os.path.relpath(p, sys.argv[2]))\n"
                       "        for f in files:\n"
                       "            p = os.path.join(root, f)\n"
                       "            z.write(p, os.path.relpath(p, sys.argv[2]))\n",
                       archive, src}));
        readBack(archive, {});
    }
};

QTEST_GUILESS_MAIN(InteropTest)
#include "test_interop.moc"
