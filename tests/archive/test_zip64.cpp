// Archives past the limits of the plain zip records, written and read back by the component and
// checked by Python's reader: more entries than the end record counts, and an entry over 4 GiB.
#include "archive/ArchiveComponent.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace oz::archive;
using namespace oz::test;

class Zip64Test : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    QString at(const QString &rel) const { return tmp.filePath(rel); }

    // What Python's zipfile makes of the archive: the entry count, then each "name size" line
    // asked for.
    QString python(const QString &archive, const QString &names)
    {
        const ToolResult r = runTool("python3",
                                     {"-c",
                                      "import sys, zipfile\n"
                                      "z = zipfile.ZipFile(sys.argv[1])\n"
                                      "print(len(z.infolist()))\n"
                                      "for n in sys.argv[2].split(','):\n"
                                      "    if n: print(n, z.getinfo(n).file_size)\n",
                                      archive, names});
        return r.exitCode == 0 ? QString::fromUtf8(r.output).trimmed() : QStringLiteral("error: ") + r.output;
    }

private slots:
    void initTestCase() { QVERIFY(tmp.isValid()); }

    void moreEntriesThanTheEndRecordCounts()
    {
        const QString src = at("many");
        for (int i = 0; i < 70000; ++i)
            writeFile(src + QStringLiteral("/d%1/f%2.txt").arg(i / 1000).arg(i), QByteArray::number(i));
        const QString archive = at("many.zip");
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.AddFilesByPatternFiltered(src + "/*.*", 1, 0, 0, 0, 0);
        zip.SetArchiveFileName(archive);
        QCOMPARE(zip.GetEntryCount(), 70070); // and one entry for each of the 70 folders
        zip.SaveArchive();

        QCOMPARE(ArchiveComponent::ListZip(archive).size(), std::size_t(70070));
        QCOMPARE(python(archive, "d69/f69999.txt"), QStringLiteral("70070\nd69/f69999.txt 5"));
        ArchiveComponent reader;
        reader.OpenZip(archive);
        reader.ExtractToFolder(at("many-out"));
        int files = 0;
        for (QDirIterator it(at("many-out"), QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next())
            ++files;
        QCOMPARE(files, 70000);
        QCOMPARE(readFile(at("many-out/d69/f69999.txt")), QByteArray("69999"));
        QCOMPARE(readFile(at("many-out/d0/f0.txt")), QByteArray("0"));
    }

    // A sparse file, so that the test costs no disk: zeros but for a few marks, one past 4 GiB.
    void anEntryOverFourGiB()
    {
        const QString big = at("big/sparse.bin");
        QDir().mkpath(at("big"));
        const qint64 size = (qint64(4) << 30) + (1 << 20) + 7;
        {
            QFile f(big);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(size));
            for (const qint64 mark : {qint64(0), qint64(1) << 32, size - 3}) {
                f.seek(mark);
                f.write("mark", mark == size - 3 ? 3 : 4);
            }
        }
        writeFile(at("big/after.txt"), "after the big one");
        const QString archive = at("big.zip");
        ArchiveComponent zip;
        zip.setCompressionLevel(1);
        zip.StartNewArchive(archive);
        zip.AddFilesByPattern(at("big/*.*"), 0);
        zip.SetArchiveFileName(archive);
        zip.SaveArchive();
        QVERIFY(QFileInfo(archive).size() < (qint64(1) << 30));

        QCOMPARE(python(archive, "sparse.bin,after.txt"), QStringLiteral("2\nsparse.bin %1\nafter.txt 17").arg(size));
        ArchiveComponent reader;
        reader.OpenZip(archive);
        const std::vector<ArchiveEntry> listed = ArchiveComponent::ListZip(archive);
        QCOMPARE(listed.size(), std::size_t(2));
        QCOMPARE(listed[1].size(), quint64(size));
        // Every byte inflated and its CRC checked, without writing 4 GiB to disk.
        reader.TestZip();
    }
};

QTEST_GUILESS_MAIN(Zip64Test)
#include "test_zip64.moc"
