// The archive component through its interface, on real files and archives.
#include "archive/ArchiveComponent.h"
#include "archive/Internal.h"
#include "core/crypto/Crypto.h"
#include "core/extract/Extract.h"
#include "core/write/ZipWriter.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <libdeflate.h>
#include <nettle/pbkdf2.h>
#include <zlib.h>

#include <sys/stat.h>
#include <utime.h>

using namespace oz::archive;
using namespace oz::test;

namespace {

// Writes an archive from one pattern and returns what extraction gives back.
struct Built {
    QStringList names;
    QMap<QString, QByteArray> extracted;
};

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// Bytes that deflate cannot shrink.
QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 23);
    return bytes;
}

// Other bytes of the same size and CRC-32: XOR with the CRC's polynomial, aligned on a byte,
// leaves the CRC as it was.
QByteArray withCrcKept(QByteArray bytes, int at)
{
    const unsigned char polynomial[] = {0x41, 0x06, 0x71, 0xDB, 0x01};
    for (int i = 0; i < 5; ++i)
        bytes[at + i] = static_cast<char>(bytes[at + i] ^ polynomial[i]);
    return bytes;
}

QString py(const QString &script)
{
    const ToolResult r = runTool(QStringLiteral("python3"), {QStringLiteral("-c"), script});
    return r.exitCode == 0 ? QString() : QString::fromUtf8(r.output);
}

} // namespace

class ComponentTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    QString src;

    QString path(const QString &rel) const { return tmp.filePath(rel); }

    Built build(const std::function<void(ArchiveComponent &)> &add, const QString &password = {})
    {
        static int n = 0;
        const QString archive = path(QStringLiteral("out%1.zip").arg(++n));
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.SetPasswordProtection(password.isEmpty() ? 0 : 1);
        zip.SetPassword(password);
        add(zip);
        zip.SetArchiveFileName(archive);
        zip.SaveArchive();
        Built b;
        b.names = entryNames(archive, password);
        const QString dest = path(QStringLiteral("x%1").arg(n));
        ArchiveComponent reader;
        reader.SetPassword(password);
        reader.OpenZip(archive);
        reader.ExtractToFolder(dest);
        b.extracted = tree(dest);
        return b;
    }

    void saveFolder(ArchiveComponent &zip, const QString &folder, const QString &archive, int threads,
                    const QString &password)
    {
        zip.setThreads(threads);
        zip.StartNewArchive(archive);
        zip.SetPasswordProtection(password.isEmpty() ? 0 : 1);
        zip.SetPassword(password);
        zip.AddFilesByPattern(folder + QStringLiteral("/*.*"), 1);
        zip.SetArchiveFileName(archive);
        zip.SaveArchive();
    }

    QString extractAll(const QString &archive, int threads, const QString &password)
    {
        QString out = archive + QStringLiteral("-out");
        ArchiveComponent reader;
        reader.setThreads(threads);
        reader.SetPassword(password);
        reader.OpenZip(archive);
        reader.ExtractToFolder(out);
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp.isValid());
        src = path(QStringLiteral("src"));
        writeFile(src + "/a.txt", "alpha");
        writeFile(src + "/b.JPG", sampleBytes(70000, 1));
        writeFile(src + "/noext", "no extension");
        writeFile(src + "/sub/c.txt", "charlie");
        writeFile(src + "/sub/deep/d.txt", "delta");
        writeFile(src + "/sub/e.wav", "echo");
        writeFile(src + "/.hidden.txt", "hidden");
        writeFile(src + "/.hiddendir/h.txt", "in hidden folder");
        writeFile(src + "/ünïcode/ß.txt", "utf-8 names");
        QDir().mkpath(src + "/empty");
        QVERIFY(::mkfifo(QFile::encodeName(src + "/pipe").constData(), 0644) == 0);
        QVERIFY(QFile::link(src + "/a.txt", src + "/link-to-a"));
        QVERIFY(QFile::link(src + "/sub", src + "/link-to-sub"));
    }

    void patternsAndRecursion()
    {
        Built top = build([&](ArchiveComponent &z) { z.AddFilesByPattern(src + "/*.txt", 0); });
        QCOMPARE(sorted(top.names), QStringList({".hidden.txt", "a.txt"}));
        QCOMPARE(top.extracted.value("a.txt"), QByteArray("alpha"));

        Built deep = build([&](ArchiveComponent &z) { z.AddFilesByPatternFiltered(src + "/*.txt", 1, 0, 0, 0, 0); });
        QCOMPARE(
            sorted(deep.names),
            QStringList({"a.txt", "link-to-sub/", "link-to-sub/c.txt", "link-to-sub/deep/", "link-to-sub/deep/d.txt",
                         "sub/", "sub/c.txt", "sub/deep/", "sub/deep/d.txt", "ünïcode/", "ünïcode/ß.txt"}));
        QCOMPARE(deep.extracted.value("sub/deep/d.txt"), QByteArray("delta"));
        QCOMPARE(deep.extracted.value("ünïcode/ß.txt"), QByteArray("utf-8 names"));

        // "*.*" takes every name; empty folders come back; links to folders are followed.
        Built all = build([&](ArchiveComponent &z) { z.AddFilesByPatternFiltered(src + "/*.*", 1, 0, 0, 0, 0); });
        QVERIFY(all.names.contains("noext"));
        QVERIFY(all.names.contains("empty/"));
        QVERIFY(all.extracted.contains("empty/"));
        QVERIFY(all.names.contains("link-to-a"));
        QCOMPARE(all.extracted.value("link-to-a"), QByteArray("alpha")); // the file's content, not a link
        QCOMPARE(all.extracted.value("link-to-sub/c.txt"), QByteArray("charlie"));
        QCOMPARE(all.extracted.value("b.JPG"), sampleBytes(70000, 1));
    }

    void patternNamingAFolderOrAFile()
    {
        Built folder = build([&](ArchiveComponent &z) { z.AddFilesByPattern(src + "/sub", 0); });
        QCOMPARE(sorted(folder.names), QStringList({"c.txt", "e.wav"}));
        Built file = build([&](ArchiveComponent &z) { z.AddFilesByPattern(src + "/b.JPG", 0); });
        QCOMPARE(file.names, QStringList({"b.JPG"}));
        Built trailing = build([&](ArchiveComponent &z) { z.AddFilesByPattern(src + "/sub/", 1); });
        QCOMPARE(sorted(trailing.names), QStringList({"c.txt", "deep/", "deep/d.txt", "e.wav"}));

        ArchiveComponent zip;
        zip.StartNewArchive(path("never.zip"));
        QVERIFY_THROWS_EXCEPTION(ArchiveError, zip.AddFilesByPattern(path("missing/*.*"), 1));
        zip.AddFilesByPattern(src + "/*.nothing", 1);
        QCOMPARE(zip.GetEntryCount(), 0);
    }

    void exclusionsApplyToFileNames()
    {
        Built b = build([&](ArchiveComponent &z) {
            PatternList list;
            list.Add("*.WAV");
            z.SetExclusionList(list);
            z.AddFilesByPatternFiltered(src + "/*.*", 1, 0, 0, 0, 0);
        });
        QVERIFY(!b.names.contains("sub/e.wav"));
        QVERIFY(b.names.contains("sub/c.txt"));

        ArchiveComponent zip;
        zip.StartNewArchive(path("excl.zip"));
        PatternList nothing;
        nothing.Add("");
        zip.SetExclusionList(nothing);
        zip.AddFilesByPattern(src + "/sub/*.*", 0);
        QCOMPARE(zip.GetEntryCount(), 2);
    }

    void hiddenAndSystemSwitches()
    {
        Built plain = build([&](ArchiveComponent &z) { z.AddFilesByPatternFiltered(src + "/*.*", 1, 0, 0, 0, 0); });
        QVERIFY(!plain.names.contains(".hidden.txt"));
        QVERIFY(!plain.names.contains(".hiddendir/h.txt"));
        QVERIFY(!plain.names.contains("pipe"));

        Built hidden = build([&](ArchiveComponent &z) { z.AddFilesByPatternFiltered(src + "/*.*", 1, 0, 0, 1, 0); });
        QVERIFY(hidden.names.contains(".hidden.txt"));
        QCOMPARE(hidden.extracted.value(".hiddendir/h.txt"), QByteArray("in hidden folder"));
        QVERIFY(!hidden.names.contains("pipe"));

        // The pipe is stored, never read: reading it would hang this test.
        Built system = build([&](ArchiveComponent &z) { z.AddFilesByPatternFiltered(src + "/*.*", 0, 0, 1, 0, 1); });
        QVERIFY(system.names.contains("pipe"));
        QCOMPARE(system.extracted.value("pipe"), QByteArray());
    }

    // Links to folders are followed as links to files are, but never back into a folder the
    // walk is inside; a broken link or a pipe comes back as an empty file nobody may write.
    void linksAndSpecialFilesInAChosenFolder()
    {
        const QString top = path("linked");
        writeFile(top + "/real/f.txt", "foxtrot");
        QVERIFY(QFile::link(top, top + "/real/back"));
        QVERIFY(QFile::link(top + "/real", top + "/alias"));
        QVERIFY(QFile::link(top + "/nowhere", top + "/broken"));
        QVERIFY(::mkfifo(QFile::encodeName(top + "/fifo").constData(), 0666) == 0);
        const QString archive = path("linked.zip");
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.AddFilesByPatternFiltered(top + "/*.*", 1, 0, 0, 0, 1);
        zip.SetArchiveFileName(archive);
        zip.SaveArchive();
        QCOMPARE(sorted(entryNames(archive)),
                 QStringList({"alias/", "alias/f.txt", "broken", "fifo", "real/", "real/f.txt"}));
        const QString out = path("linked-out");
        zip.ExtractToFolder(out);
        QCOMPARE(readFile(out + "/alias/f.txt"), QByteArray("foxtrot"));
        for (const char *special : {"/broken", "/fifo"}) {
            const QFileInfo info(out + special);
            QVERIFY(info.isFile() && !info.isSymLink());
            QCOMPARE(info.size(), qint64(0));
            QVERIFY(
                !(info.permissions() & (QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther)));
        }
    }

    void extraFolderInformation()
    {
        Built b = build([&](ArchiveComponent &z) { z.AddFilesByPatternFiltered(src + "/sub/*.txt", 1, 1, 0, 0, 0); });
        const QString prefix = QDir::cleanPath(src).mid(1) + "/sub/";
        QCOMPARE(sorted(b.names), QStringList({prefix + "c.txt", prefix + "deep/", prefix + "deep/d.txt"}));
        QCOMPARE(b.extracted.value(prefix + "deep/d.txt"), QByteArray("delta"));
    }

    void laterAdditionOfTheSameNameWins()
    {
        writeFile(path("other/c.txt"), "the later one");
        writeFile(path("other/f.txt"), "foxtrot");
        Built b = build([&](ArchiveComponent &z) {
            z.AddFilesByPattern(src + "/sub/*.*", 0);
            z.AddFilesByPattern(path("other/c.txt"), 0);
            z.AddFilesByPattern(path("other/*.*"), 0);
        });
        // The replaced entry keeps its place; new names follow.
        QCOMPARE(b.names, QStringList({"c.txt", "e.wav", "f.txt"}));
        QCOMPARE(b.extracted.value("c.txt"), QByteArray("the later one"));
        QCOMPARE(b.extracted.value("e.wav"), QByteArray("echo"));
    }

    void passwords()
    {
        const QString archive = path("secret.zip");
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.SetPasswordProtection(1);
        zip.SetPassword("Tr0ub4dor&3");
        zip.AddFilesByPattern(src + "/sub/*.*", 1);
        zip.SetArchiveFileName(archive);
        zip.SaveArchive();

        for (const QString &wrong : {QString(), QStringLiteral("tr0ub4dor&3"), QStringLiteral("x")}) {
            ArchiveComponent reader;
            reader.SetPassword(wrong);
            QVERIFY_THROWS_EXCEPTION(ArchiveError, reader.OpenZip(archive));
            QCOMPARE(reader.GetEntries().HasMoreEntries(), 0);
            QVERIFY(!reader.isOpen());
        }
        ArchiveComponent reader;
        reader.SetPassword("Tr0ub4dor&3");
        reader.OpenZip(archive);
        EntrySet set = reader.GetEntries();
        QCOMPARE(set.count(), 4); // c.txt, e.wav, deep/ and deep/d.txt
        QVERIFY(set.GetNextEntry().isEncrypted());
        reader.ExtractToFolder(path("secret-out"));
        QCOMPARE(readFile(path("secret-out/deep/d.txt")), QByteArray("delta"));

        // The object that wrote the archive extracts it with the build's password.
        zip.ExtractToFolder(path("secret-again"));
        QCOMPARE(readFile(path("secret-again/c.txt")), QByteArray("charlie"));
    }

    // A file larger than a worker holds is encrypted and decrypted chunk by chunk, a smaller one
    // whole; both must come back, and a changed byte in either must be caught by the code.
    void largeAndSmallAesEntries()
    {
        writeFile(path("aes/big.bin"), sampleBytes(12 << 20, 11));
        writeFile(path("aes/small.bin"), sampleBytes(3 << 20, 12));
        const QString archive = path("aes-sizes.zip");
        for (int bits : {128, 256}) {
            ArchiveComponent zip;
            zip.StartNewArchive(archive);
            zip.SetPasswordProtection(1);
            zip.SetPassword("pa55");
            zip.SetEncryptionKeyLength(bits);
            zip.AddFilesByPattern(path("aes/*.*"), 0);
            zip.SetArchiveFileName(archive);
            zip.SaveArchive();

            ArchiveComponent reader;
            reader.SetPassword("pa55");
            reader.OpenZip(archive);
            const QString out = path(QStringLiteral("aes-out-%1").arg(bits));
            reader.ExtractToFolder(out);
            QCOMPARE(readFile(out + "/big.bin"), sampleBytes(12 << 20, 11));
            QCOMPARE(readFile(out + "/small.bin"), sampleBytes(3 << 20, 12));
        }
        QFile file(archive);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray bytes = file.readAll();
        // big.bin comes first, then small.bin, then the central directory; flip a byte in the
        // middle of each entry's data.
        const qint64 small = bytes.indexOf("small.bin");
        const qint64 central = bytes.indexOf(QByteArray("PK\x01\x02", 4));
        QVERIFY(small > 0 && central > small);
        for (const qint64 at : {small / 2, (small + central) / 2}) {
            QFile damaged(archive);
            QVERIFY(damaged.open(QIODevice::ReadWrite));
            QVERIFY(damaged.seek(at));
            const char flipped = static_cast<char>(bytes.at(at) ^ 0x20);
            QCOMPARE(damaged.write(&flipped, 1), qint64(1));
            damaged.close();
            // Caught on opening, where the smallest entry proves the password, or on extracting.
            auto openAndExtract = [&] {
                ArchiveComponent reader;
                reader.SetPassword("pa55");
                reader.OpenZip(archive);
                reader.ExtractToFolder(path("aes-damaged"));
            };
            QVERIFY_THROWS_EXCEPTION(ArchiveError, openAndExtract());
            QVERIFY(damaged.open(QIODevice::ReadWrite));
            QVERIFY(damaged.seek(at));
            QCOMPARE(damaged.write(bytes.constData() + at, 1), qint64(1));
        }
    }

    void emptyPasswordNeverEncrypts()
    {
        const QString archive = path("open.zip");
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.SetPasswordProtection(1);
        zip.SetPassword("");
        zip.AddFilesByPattern(src + "/a.txt", 0);
        zip.SetArchiveFileName(archive);
        zip.SaveArchive();
        ArchiveComponent reader;
        reader.OpenZip(archive);
        QVERIFY(!reader.GetEntries().GetNextEntry().isEncrypted());
        // Like any file the user makes: the umask decides, not a private temporary file's mode.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(archive).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 0777), int(0666 & ~mask));
    }

    void failedWriteLeavesTheOldArchive()
    {
        const QString archive = path("keep.zip");
        writeFile(archive, "an older archive");
        writeFile(path("vanishing/v.txt"), "here now");
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.AddFilesByPattern(path("vanishing/*.*"), 0);
        QFile::remove(path("vanishing/v.txt"));
        zip.SetArchiveFileName(archive);
        try {
            zip.SaveArchive();
            QFAIL("SaveArchive succeeded without its source file");
        } catch (const ArchiveError &e) {
            QVERIFY2(e.reason().contains("v.txt"), qPrintable(e.reason()));
        }
        QCOMPARE(readFile(archive), QByteArray("an older archive"));
        QVERIFY(!zip.isOpen());

        // A source that cannot be read fails while writing (a folder now
        // stands where the file was): no temporary file is left.
        writeFile(path("changing/l.txt"), "soon a folder");
        writeFile(path("changing/m.txt"), "fine");
        ArchiveComponent second;
        second.StartNewArchive(archive);
        second.AddFilesByPattern(path("changing/*.*"), 0);
        QFile::remove(path("changing/l.txt"));
        QDir().mkpath(path("changing/l.txt"));
        second.SetArchiveFileName(archive);
        try {
            second.SaveArchive();
            QFAIL("SaveArchive read a folder as a file");
        } catch (const ArchiveError &e) {
            QVERIFY2(e.reason().contains("l.txt"), qPrintable(e.reason()));
        }
        QCOMPARE(readFile(archive), QByteArray("an older archive"));
        QCOMPARE(QDir(tmp.path()).entryList({"keep.zip*"}, QDir::Files | QDir::Hidden), QStringList({"keep.zip"}));
    }

    // Every AES entry's keys come from this derivation; a fault in it makes
    // archives no other tool opens. RFC 6070's vectors, and nettle's general
    // PBKDF2 for passwords longer than a hash block, which are hashed first.
    void keyDerivationMatchesPublishedVectors_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<unsigned>("rounds");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("1 round") << QByteArray("password") << QByteArray("salt") << 1u
                                 << QByteArray::fromHex("0c60c80f961f0e71f3a9b524af6012062fe037a6");
        QTest::newRow("2 rounds") << QByteArray("password") << QByteArray("salt") << 2u
                                  << QByteArray::fromHex("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
        QTest::newRow("4096 rounds") << QByteArray("password") << QByteArray("salt") << 4096u
                                     << QByteArray::fromHex("4b007901b765489abead49d926f721d065a429c1");
        QTest::newRow("25 bytes") << QByteArray("passwordPASSWORDpassword")
                                  << QByteArray("saltSALTsaltSALTsaltSALTsaltSALTsalt") << 4096u
                                  << QByteArray::fromHex("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
        QTest::newRow("NUL inside") << QByteArray("pass\0word", 9) << QByteArray("sa\0lt", 5) << 4096u
                                    << QByteArray::fromHex("56fa6aa75548099dcc37d7f03425e0c3");
        for (const int length : {63, 64, 65, 200}) {
            const QByteArray password(length, 'k');
            const QByteArray salt("0123456789abcdef");
            QByteArray expected(66, '\0');
            pbkdf2_hmac_sha1(static_cast<size_t>(password.size()),
                             reinterpret_cast<const uint8_t *>(password.constData()), 1000,
                             static_cast<size_t>(salt.size()), reinterpret_cast<const uint8_t *>(salt.constData()),
                             static_cast<size_t>(expected.size()), reinterpret_cast<uint8_t *>(expected.data()));
            QTest::newRow(qPrintable(QStringLiteral("password of %1 bytes").arg(length)))
                << password << salt << 1000u << expected;
        }
    }

    void keyDerivationMatchesPublishedVectors()
    {
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, salt);
        QFETCH(unsigned, rounds);
        QFETCH(QByteArray, expected);
        QByteArray out(expected.size(), '\0');
        oz::core::pbkdf2HmacSha1(password.toStdString(), reinterpret_cast<const unsigned char *>(salt.constData()),
                                 static_cast<std::size_t>(salt.size()), rounds,
                                 reinterpret_cast<unsigned char *>(out.data()), static_cast<std::size_t>(out.size()));
        QCOMPARE(out.toHex(), expected.toHex());
    }

    void progressRunsFromZeroToHundred()
    {
        // Larger than a worker holds whole, so it streams and reports each chunk.
        writeFile(path("big/one.bin"), sampleBytes(12 << 20, 7));
        writeFile(path("big/two.bin"), sampleBytes(1 << 20, 8));
        const QString archive = path("progress.zip");
        ArchiveComponent zip;
        // One thread: the big file is then always the reporting thread's, whatever the timing.
        zip.setThreads(1);
        QSignalSpy writes(&zip, &ArchiveComponent::WriteZipPercentDone);
        QSignalSpy unzips(&zip, &ArchiveComponent::UnzipPercentDone);
        zip.StartNewArchive(archive);
        zip.AddFilesByPattern(path("big/*.*"), 0);
        zip.SetArchiveFileName(archive);
        zip.SaveArchive();
        zip.ExtractToFolder(path("progress-out"));
        for (QSignalSpy *spy : {&writes, &unzips}) {
            QVERIFY2(spy->size() > 5,
                     qPrintable(QString::number(spy->size()) + (spy == &writes ? " writes" : " unzips")));
            QCOMPARE(spy->first().at(0).toInt(), 0);
            QCOMPARE(spy->last().at(0).toInt(), 100);
            int last = -1;
            for (const auto &call : *spy) {
                QVERIFY(call.at(0).toInt() > last);
                last = call.at(0).toInt();
            }
        }
    }

    // Many workers, files held whole and one streamed, with and without a
    // password: every byte comes back and other tools agree.
    void parallelWritesAndExtractionsRoundTrip()
    {
        for (int i = 0; i < 150; ++i)
            writeFile(path(QStringLiteral("par/d%1/f%2.txt").arg(i % 7).arg(i)), sampleBytes(100 + i * 97, i));
        writeFile(path("par/big.bin"), sampleBytes(9 << 20, 3));
        // Streamed in whole 2 MiB chunks, so its deflate stream ends with an empty final piece.
        writeFile(path("par/whole-chunks.bin"), sampleBytes(10 << 20, 5));
        writeFile(path("par/empty.txt"), QByteArray());
        for (const QString &password : {QString(), QStringLiteral("Par-allel9")}) {
            for (int threads : {1, 3}) {
                const QString archive = path(QStringLiteral("par-%1-%2.zip").arg(threads).arg(password.isEmpty()));
                ArchiveComponent zip;
                saveFolder(zip, path("par"), archive, threads, password);
                // What the writer says it wrote is what a reader finds.
                const std::vector<ArchiveEntry> listed = ArchiveComponent::ListZip(archive);
                QCOMPARE(listed.size(), std::size_t(160)); // 153 files, 7 folders
                EntrySet held = zip.GetEntries();
                for (const ArchiveEntry &e : listed) {
                    QVERIFY(held.HasMoreEntries());
                    const ArchiveEntry mine = held.GetNextEntry();
                    QCOMPARE(mine.GetEntryName(), e.GetEntryName());
                    QCOMPARE(mine.size(), e.size());
                    QCOMPARE(mine.compressedSize(), e.compressedSize());
                    QCOMPARE(mine.modified(), e.modified());
                    QCOMPARE(mine.isEncrypted(), e.isEncrypted());
                    QCOMPARE(mine.isFolder(), e.isFolder());
                }

                const QString out = extractAll(archive, threads, password);
                QCOMPARE(tree(out), tree(path("par")));
                QCOMPARE(readFile(out + "/big.bin"), readFile(path("par/big.bin")));
                QCOMPARE(readFile(out + "/whole-chunks.bin"), readFile(path("par/whole-chunks.bin")));
                if (password.isEmpty() && haveTool("unzip"))
                    QCOMPARE(runTool("unzip", {"-tq", archive}).exitCode, 0);
                if (!password.isEmpty() && haveTool("7zz"))
                    QCOMPARE(runTool("7zz", {"t", "-p" + password, archive}).exitCode, 0);
            }
        }
    }

    // A large file's chunks are deflated apart and joined. The joined stream must read whole in
    // both inflaters, whichever bit a piece ends on and whatever kind of block ends it.
    void deflatedPiecesJoinIntoOneStream()
    {
        QByteArray plain;
        std::vector<unsigned char> joined, piece;
        libdeflate_compressor *compressor = libdeflate_alloc_compressor(7);
        const int pieces = 240;
        for (int i = 0; i < pieces; ++i) {
            QByteArray data;
            if (i % 3 == 0) {
                data = sampleBytes(i * 37, i); // ends in a Huffman block
            } else if (i % 3 == 1) {
                data = noise(i * 53, static_cast<quint32>(i)); // ends in a stored block
            } else {
                data = QByteArray(i * 11, 'z');
            }
            QVERIFY(oz::core::deflatePiece(compressor, reinterpret_cast<const unsigned char *>(data.constData()),
                                           static_cast<std::size_t>(data.size()), i == pieces - 1, piece));
            joined.insert(joined.end(), piece.begin(), piece.end());
            plain += data;
        }
        libdeflate_free_compressor(compressor);

        QByteArray out(plain.size() + 1, '\0');
        z_stream z{};
        QCOMPARE(inflateInit2(&z, -MAX_WBITS), Z_OK);
        z.next_in = joined.data();
        z.avail_in = static_cast<uInt>(joined.size());
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        QCOMPARE(inflate(&z, Z_FINISH), Z_STREAM_END);
        QCOMPARE(z.avail_in, 0u); // the final mark is on the last piece only
        out.truncate(static_cast<int>(z.total_out));
        inflateEnd(&z);
        QCOMPARE(out, plain);

        libdeflate_decompressor *inflater = libdeflate_alloc_decompressor();
        std::size_t got = 0;
        QCOMPARE(libdeflate_deflate_decompress(inflater, joined.data(), joined.size(), out.data(),
                                               static_cast<std::size_t>(plain.size()), &got),
                 LIBDEFLATE_SUCCESS);
        libdeflate_free_decompressor(inflater);
        QCOMPARE(got, static_cast<std::size_t>(plain.size()));
        QCOMPARE(out, plain);
    }

    // Copies of one file are deflated once; a file with the same size and CRC but other bytes
    // must not be taken for a copy, since no CRC check on reading would notice the swap.
    void copiesAndLookAlikesKeepTheirOwnBytes()
    {
        const QByteArray text = sampleBytes(50000, 11);
        const QByteArray raw = noise(20000, 99);
        const QByteArray lookAlike = withCrcKept(text, 1000);
        const auto crc
            = [](const QByteArray &b) { return ::crc32(0, reinterpret_cast<const Bytef *>(b.constData()), b.size()); };
        QVERIFY(lookAlike != text);
        QCOMPARE(crc(lookAlike), crc(text));
        QCOMPARE(crc(withCrcKept(raw, 500)), crc(raw));

        for (int i = 0; i < 6; ++i) {
            writeFile(path(QStringLiteral("dup/v%1/text.h").arg(i)), text);
            writeFile(path(QStringLiteral("dup/v%1/raw.bin").arg(i)), raw);
        }
        writeFile(path("dup/v3/look-alike.h"), lookAlike);
        writeFile(path("dup/v4/text.h"), lookAlike); // a copy's name, other bytes
        writeFile(path("dup/v5/look-alike-of-raw.bin"), withCrcKept(raw, 500));

        for (const QString &password : {QString(), QStringLiteral("Cop-ies7")}) {
            for (int threads : {1, 2}) {
                const QString archive = path(QStringLiteral("dup-%1-%2.zip").arg(threads).arg(password.isEmpty()));
                ArchiveComponent zip;
                saveFolder(zip, path("dup"), archive, threads, password);
                const QString out = extractAll(archive, threads, password);
                QCOMPARE(tree(out), tree(path("dup")));
                QCOMPARE(readFile(out + "/v4/text.h"), lookAlike);
                QCOMPARE(readFile(out + "/v3/look-alike.h"), lookAlike);
                QCOMPARE(readFile(out + "/v2/text.h"), text);

                // Copies come out the same size as their first, and the text is deflated.
                QMap<QString, std::uint64_t> packed;
                for (const ArchiveEntry &e : ArchiveComponent::ListZip(archive))
                    packed[e.GetEntryName()] = e.compressedSize();
                QVERIFY(packed["v0/text.h"] < std::uint64_t(text.size()) / 2);
                QCOMPARE(packed["v5/text.h"], packed["v0/text.h"]);
                QCOMPARE(packed["v5/raw.bin"], packed["v0/raw.bin"]);
                if (password.isEmpty() && haveTool("unzip"))
                    QCOMPARE(runTool("unzip", {"-tq", archive}).exitCode, 0);
                if (!password.isEmpty() && haveTool("7zz"))
                    QCOMPARE(runTool("7zz", {"t", "-p" + password, archive}).exitCode, 0);
            }
        }
    }

    void timesAndPermissionsComeBack()
    {
        const QString file = path("perm/tool.sh");
        writeFile(file, "#!/bin/sh\n");
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 04751) == 0);
        struct utimbuf when {
            978307200, 978307200
        }; // 2001-01-01
        QVERIFY(::utime(QFile::encodeName(file).constData(), &when) == 0);
        build([&](ArchiveComponent &z) { z.AddFilesByPattern(path("perm/*.*"), 0); });
        struct stat st;
        const QString out
            = path(QStringLiteral("x%1/tool.sh").arg(QDir(tmp.path()).entryList({"x*"}, QDir::Dirs).size()));
        QVERIFY(::stat(QFile::encodeName(out).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), 0751); // never the set-user bit
        QCOMPARE(qint64(st.st_mtime), qint64(978307200));
    }

    // Replacing an archive keeps its permission bits: a private archive stays private.
    void replacingAnArchiveKeepsItsMode()
    {
        const QString archive = path("private.zip");
        writeFile(archive, "last week's archive");
        QVERIFY(QFile::setPermissions(archive, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        for (const QString &target : {archive, path("private.run")}) {
            ArchiveComponent zip;
            zip.StartNewArchive(target);
            zip.AddFilesByPattern(src + "/a.txt", 0);
            zip.SetArchiveFileName(target);
            if (target.endsWith(".zip")) {
                zip.SaveArchive();
                struct stat st {};
                ::stat(QFile::encodeName(target).constData(), &st);
                QCOMPARE(st.st_mode & 0777, mode_t(0600));
                QCOMPARE(entryNames(target), QStringList({"a.txt"}));
            } else {
                // A new executable gets the x bits the umask allows.
                int written = 0;
                zip.WriteSelfExtractingExe(target, written);
                QVERIFY(QFileInfo(target).permissions() & QFileDevice::ExeOwner);
            }
        }
    }

    void emptyArchiveIsValid()
    {
        const QString archive = path("empty.zip");
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.SetArchiveFileName(archive);
        QCOMPARE(zip.GetEntryCount(), 0);
        zip.SaveArchive();
        QCOMPARE(QFileInfo(archive).size(), qint64(22));
        QCOMPARE(entryNames(archive), QStringList());
    }

    void openingWhatIsNotAnArchive()
    {
        writeFile(path("text.zip"), "this is not a zip archive at all");
        ArchiveComponent zip;
        try {
            zip.OpenZip(path("text.zip"));
            QFAIL("opened a text file");
        } catch (const ArchiveError &e) {
            QVERIFY(e.reason().contains("not a zip archive"));
        }
        QCOMPARE(zip.GetEntries().count(), 0);
        QVERIFY_THROWS_EXCEPTION(ArchiveError, zip.OpenZip(path("no-such.zip")));
        QVERIFY_THROWS_EXCEPTION(ArchiveError, zip.ExtractToFolder(path("nowhere")));
    }

    void hostileEntriesAreRefused_data()
    {
        QTest::addColumn<QString>("entries"); // Python statements on a ZipFile z
        QTest::newRow("parent") << "z.writestr('ok.txt','fine'); z.writestr('../evil.txt','x')";
        QTest::newRow("deep parent") << "z.writestr('a/../../evil.txt','x')";
        QTest::newRow("absolute") << "z.writestr('/tmp/evil-oz.txt','x')";
        QTest::newRow("backslash parent from Windows")
            << "i=zipfile.ZipInfo('..\\\\evil.txt'); i.create_system=0; z.writestr(i,'x')";
        QTest::newRow("link out") << "i=zipfile.ZipInfo('l'); i.create_system=3; i.external_attr=0o120777<<16; "
                                     "z.writestr(i,'../'); z.writestr('ok.txt','fine')";
        QTest::newRow("absolute link") << "i=zipfile.ZipInfo('l'); i.create_system=3; i.external_attr=0o120777<<16; "
                                          "z.writestr(i,'/etc')";
    }
    void hostileEntriesAreRefused()
    {
        QFETCH(QString, entries);
        static int n = 0;
        const QString box = path(QStringLiteral("hostile%1").arg(++n));
        const QString archive = box + "/h.zip";
        QDir().mkpath(box + "/dest");
        const QString failure
            = py(QStringLiteral("import zipfile\nwith zipfile.ZipFile('%1','w') as z:\n    %2").arg(archive, entries));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        ArchiveComponent zip;
        zip.OpenZip(archive);
        try {
            zip.ExtractToFolder(box + "/dest");
            QFAIL("a hostile archive was extracted");
        } catch (const ArchiveError &e) {
            QVERIFY2(e.reason().startsWith("Refused"), qPrintable(e.reason()));
        }
        QCOMPARE(tree(box + "/dest").size(), 0); // nothing at all is written
        QVERIFY(!QFileInfo::exists(box + "/evil.txt"));
        QVERIFY(!QFileInfo::exists("/tmp/evil-oz.txt"));
        const auto &items = zip.lastExtraction().items;
        QVERIFY(std::any_of(items.begin(), items.end(),
                            [](const auto &i) { return i.result == oz::core::EntryResult::Refused; }));
    }

    void linksInsideAndExistingLinksInTheWay()
    {
        const QString box = path("links");
        QDir().mkpath(box);
        const QString failure = py(QStringLiteral("import zipfile\nwith zipfile.ZipFile('%1/in.zip','w') as z:\n"
                                                  "    z.writestr('sub/x.txt','x')\n"
                                                  "    i=zipfile.ZipInfo('sub/l'); i.create_system=3; "
                                                  "i.external_attr=0o120777<<16; z.writestr(i,'x.txt')\n"
                                                  "with zipfile.ZipFile('%1/through.zip','w') as z:\n"
                                                  "    z.writestr('out/passwd','written through a link')\n")
                                       .arg(box));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));

        ArchiveComponent zip;
        zip.OpenZip(box + "/in.zip");
        zip.ExtractToFolder(box + "/d1");
        QCOMPARE(QFileInfo(box + "/d1/sub/l").symLinkTarget(), QFileInfo(box + "/d1/sub/x.txt").absoluteFilePath());

        // A link already in the destination is not followed out of it.
        QDir().mkpath(box + "/d2");
        QDir().mkpath(box + "/elsewhere");
        QVERIFY(QFile::link(box + "/elsewhere", box + "/d2/out"));
        ArchiveComponent second;
        second.OpenZip(box + "/through.zip");
        QVERIFY_THROWS_EXCEPTION(ArchiveError, second.ExtractToFolder(box + "/d2"));
        QVERIFY(!QFileInfo::exists(box + "/elsewhere/passwd"));
    }

    void damagedDataLeavesNoCompleteLookingFile()
    {
        // A file of its own: every test function passes alone and in any order.
        writeFile(path("crc-src/one.bin"), sampleBytes(12 << 20, 7));
        const QString archive = path("crc.zip");
        ArchiveComponent zip;
        zip.StartNewArchive(archive);
        zip.AddFilesByPattern(path("crc-src/one.bin"), 0);
        zip.setCompressionLevel(0); // stored, so a flipped byte reaches the CRC check
        zip.SetArchiveFileName(archive);
        zip.SaveArchive();
        QFile file(archive);
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.seek(100000);
        const char flipped = ~file.peek(1).at(0);
        file.write(&flipped, 1);
        file.close();

        ArchiveComponent reader;
        reader.OpenZip(archive);
        QVERIFY_THROWS_EXCEPTION(ArchiveError, reader.ExtractToFolder(path("crc-out")));
        QCOMPARE(QDir(path("crc-out")).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void extractingOntoAFileFails()
    {
        writeFile(path("a-file"), "in the way");
        ArchiveComponent zip;
        zip.StartNewArchive(path("f.zip"));
        zip.AddFilesByPattern(src + "/a.txt", 0);
        zip.SetArchiveFileName(path("f.zip"));
        zip.SaveArchive();
        QVERIFY_THROWS_EXCEPTION(ArchiveError, zip.ExtractToFolder(path("a-file")));
        QVERIFY_THROWS_EXCEPTION(ArchiveError, zip.ExtractToFolder(QString()));
        QCOMPARE(readFile(path("a-file")), QByteArray("in the way"));
    }

    void logFileRecordsTheLastExtraction()
    {
        ArchiveComponent zip;
        zip.StartNewArchive(path("log.zip"));
        zip.AddFilesByPattern(src + "/sub/*.*", 0);
        zip.SetArchiveFileName(path("log.zip"));
        zip.SaveArchive();
        zip.ExtractToFolder(path("log-out"));
        zip.WriteLogFile(path("log.xml"));
        const QByteArray xml = readFile(path("log.xml"));
        QVERIFY(xml.contains("result=\"success\""));
        QVERIFY(xml.contains("name=\"c.txt\" result=\"extracted\""));

        ArchiveComponent empty;
        QVERIFY_THROWS_EXCEPTION(ArchiveError, empty.ExtractToFolder(path("log-none")));
        empty.WriteLogFile(path("log2.xml"));
        QVERIFY(readFile(path("log2.xml")).contains("<error>No zip archive has been opened</error>"));
    }

    void executableSettingsSurviveANewArchive()
    {
        ArchiveComponent zip;
        zip.SetExeIconFile("/icons/oz.ico");
        zip.SetExeRunProgram("setup.sh");
        zip.SetExeRunParameters("--fast");
        zip.SetExeAutoTemp(1);
        zip.SetExeAutoExtract(1);
        zip.StartNewArchive("notUsed.zip");
        QCOMPARE(zip.exeSettings().iconFile, QStringLiteral("/icons/oz.ico"));
        QCOMPARE(zip.exeSettings().runProgram, QStringLiteral("setup.sh"));
        QCOMPARE(zip.exeSettings().runParameters, QStringLiteral("--fast"));
        QCOMPARE(zip.exeSettings().autoTemp, 1);
        QCOMPARE(zip.exeSettings().autoExtract, 1);
    }
};

QTEST_GUILESS_MAIN(ComponentTest)
#include "test_component.moc"
