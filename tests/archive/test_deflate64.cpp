// Deflate64, as Windows and 7-Zip write it: read through the component and the tool, streamed
// whatever the entry's size, encrypted or not, and refused with a reason when it is damaged.
#include "archive/ArchiveComponent.h"
#include "core/base/Error.h"
#include "core/base/LittleEndian.h"
#include "core/read/Inflate64.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace oz::archive;
using namespace oz::test;

namespace {

// What the decoder made of a stream, fed in pieces of the given sizes.
struct Decoded {
    QByteArray bytes;
    bool ended = false;
};

Decoded inflate64(const QByteArray &stream, std::size_t inPiece, std::size_t outPiece)
{
    oz::core::Inflate64 decoder;
    Decoded d;
    std::vector<unsigned char> room(outPiece);
    const auto *in = reinterpret_cast<const unsigned char *>(stream.constData());
    std::size_t left = static_cast<std::size_t>(stream.size());
    while (!decoder.ended()) {
        const std::size_t piece = std::min(left, inPiece);
        std::size_t available = piece;
        const std::size_t n = decoder.run(in, available, room.data(), room.size());
        d.bytes.append(reinterpret_cast<const char *>(room.data()), static_cast<qsizetype>(n));
        left -= piece - available;
        if (n == 0 && piece == 0)
            break; // nothing more to give, and nothing came out: the stream is cut short
    }
    d.ended = decoder.ended();
    return d;
}

QByteArray rawDeflate(const QByteArray &data, int level, int strategy)
{
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 9, strategy) != Z_OK)
        return {};
    QByteArray out(static_cast<qsizetype>(deflateBound(&z, static_cast<uLong>(data.size()))), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(static_cast<qsizetype>(z.total_out));
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : QByteArray();
}

QByteArray rawInflate(const QByteArray &stream, qsizetype size)
{
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    QByteArray out(size, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.constData()));
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : QByteArray();
}

// Words and numbers: matches of every short length, and none as long as 258 bytes, whose
// length code is the one Deflate64 reads differently.
QByteArray wordsText(int size)
{
    static const char *words[] = {"zip ", "archive ", "Orvel ", "window ", "deflate ", "the ", "of ", "a\n"};
    std::mt19937 random(7);
    QByteArray text;
    while (text.size() < size) {
        text += words[random() % 8];
        if (random() % 5 == 0)
            text += QByteArray::number(static_cast<int>(random() % 100000)) + ' ';
    }
    text.resize(size);
    return text;
}

// Random blocks of 40 KiB, each twice in a row: only a window wider than deflate's 32 KiB finds
// the repeats, so what 7-Zip writes for it is full of Deflate64's long distances and lengths.
QByteArray farRepeats(int size)
{
    std::mt19937 random(11);
    QByteArray data;
    while (data.size() < size) {
        QByteArray block(40 * 1024, '\0');
        for (char &c : block)
            c = static_cast<char>(random());
        data += block + block;
    }
    data.resize(size);
    return data;
}

// The runs.txt of the archives kept in tests/data.
QByteArray runsText()
{
    QByteArray lines;
    for (int i = 1; i <= 200; ++i)
        lines += "line " + QByteArray::number(i) + ": Orvel Zip reads Deflate64\n";
    return lines + QByteArray(3000, '=') + '\n' + lines;
}

// Bits as deflate sends them: values first bit lowest, Huffman codes first bit highest.
struct BitWriter {
    QByteArray bytes;
    unsigned pending = 0;
    int count = 0;
    void put(unsigned value, int bits)
    {
        for (int i = 0; i < bits; ++i) {
            pending |= ((value >> i) & 1u) << count;
            if (++count == 8) {
                bytes += static_cast<char>(pending);
                pending = 0;
                count = 0;
            }
        }
    }
    void code(unsigned value, int bits)
    {
        for (int i = bits - 1; i >= 0; --i)
            put((value >> i) & 1u, 1);
    }
    QByteArray done()
    {
        if (count > 0)
            put(0, 8 - count);
        return bytes;
    }
};

} // namespace

class Deflate64Test : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;

    QString path(const QString &rel) const { return tmp.filePath(rel); }
    static QString kept(const QString &name) { return QStringLiteral(OZ_SOURCE_TESTS "/data/") + name; }
    static QMap<QString, QByteArray> filesOnly(QMap<QString, QByteArray> files)
    {
        for (auto it = files.begin(); it != files.end();)
            it = it.key().endsWith(u'/') ? files.erase(it) : std::next(it);
        return files;
    }
    void need(const QString &tool)
    {
        if (!haveTool(tool))
            QSKIP(qPrintable(tool + " is not installed (scripts/install-deps.sh installs it)"));
    }
    void check(const ToolResult &r) { QVERIFY2(r.exitCode == 0, r.output.constData()); }

private slots:
    void initTestCase() { QVERIFY(tmp.isValid()); }

    // Where the two formats agree (no match of exactly 258 bytes, nothing farther than 32 KiB)
    // a deflate stream is a Deflate64 stream: what zlib writes comes back as zlib inflates it,
    // however the input and the room for output are cut.
    void readsWhatDeflateShares_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("strategy");
        QTest::addColumn<int>("inPiece");
        QTest::addColumn<int>("outPiece");
        QTest::newRow("stored blocks") << 0 << int(Z_DEFAULT_STRATEGY) << 70000 << 65536;
        QTest::newRow("fixed codes, byte by byte") << 6 << int(Z_FIXED) << 1 << 1;
        QTest::newRow("Huffman only") << 9 << int(Z_HUFFMAN_ONLY) << 4096 << 3;
        QTest::newRow("level 1, odd pieces") << 1 << int(Z_DEFAULT_STRATEGY) << 7 << 13;
        QTest::newRow("level 9, whole") << 9 << int(Z_DEFAULT_STRATEGY) << (1 << 30) << (1 << 21);
    }
    void readsWhatDeflateShares()
    {
        QFETCH(int, level);
        QFETCH(int, strategy);
        QFETCH(int, inPiece);
        QFETCH(int, outPiece);
        // More than the decoder's window, so that it moves its history along.
        const QByteArray text = wordsText(1300 * 1000);
        const QByteArray stream = rawDeflate(text, level, strategy);
        QVERIFY(!stream.isEmpty());
        QCOMPARE(rawInflate(stream, text.size()), text);
        const Decoded d = inflate64(stream, static_cast<std::size_t>(inPiece), static_cast<std::size_t>(outPiece));
        QVERIFY(d.ended);
        QVERIFY(d.bytes == text);
    }

    // Streams no encoder writes end in an error with a reason, never in a crash or a loop; a
    // stream cut short simply never ends, which the reader reports.
    void refusesWhatNoEncoderWrites_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("reason");
        QTest::newRow("block type 3") << QByteArray("\x07\x00", 2) << "a block of an unknown type";
        QTest::newRow("stored length") << QByteArray("\x01\x05\x00\x00\x00hello", 10)
                                       << "a stored block whose length does not check";
        BitWriter far; // fixed codes: 'a', then a match of 3 at distance 2
        far.put(1, 1);
        far.put(1, 2);
        far.code(0x30 + 'a', 8);
        far.code(1, 7);
        far.code(1, 5);
        QTest::newRow("distance before the start") << far.done() << "reaches before the start";
        BitWriter crowded; // a dynamic block whose code-length code has 19 codes of one bit
        crowded.put(1, 1);
        crowded.put(2, 2);
        crowded.put(0, 5);
        crowded.put(0, 5);
        crowded.put(15, 4);
        for (int i = 0; i < 19; ++i)
            crowded.put(1, 3);
        QTest::newRow("over-full code") << crowded.done() << "more codes than there are";
        BitWriter deepest; // distance code 31 of a fixed block, in Deflate64 a real one
        deepest.put(1, 1);
        deepest.put(1, 2);
        deepest.code(0x30 + 'a', 8);
        deepest.code(1, 7);
        deepest.code(31, 5);
        deepest.put(0, 14);
        QTest::newRow("distance code 31") << deepest.done() << "reaches before the start";
    }
    void refusesWhatNoEncoderWrites()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QString, reason);
        try {
            inflate64(stream, 3, 5);
            QFAIL("no error");
        } catch (const oz::core::Error &e) {
            QCOMPARE(e.kind(), oz::core::Error::Kind::Damaged);
            QVERIFY2(QString::fromUtf8(e.what()).contains(reason), e.what());
        }
    }
    void streamCutShortNeverEnds()
    {
        const QByteArray text = wordsText(200 * 1000);
        const QByteArray stream = rawDeflate(text, 6, Z_DEFAULT_STRATEGY);
        for (const qsizetype cut : {qsizetype(0), qsizetype(1), stream.size() / 2, stream.size() - 1}) {
            const Decoded d = inflate64(stream.left(cut), 1000, 4096);
            QVERIFY(!d.ended);
            QVERIFY(text.startsWith(d.bytes));
        }
    }

    // Small archives of 7-Zip kept in tests/data: the three usual files, stored since they are
    // tiny, and runs.txt in Deflate64, with a match longer than deflate can say.
    void keptArchives_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QString>("password");
        QTest::newRow("plain") << "7zip-deflate64.zip" << QString();
        QTest::newRow("AES-256") << "7zip-deflate64-aes256.zip"
                                 << "seven";
        QTest::newRow("ZipCrypto") << "7zip-deflate64-zipcrypto.zip"
                                   << "seven";
    }
    void keptArchives()
    {
        QFETCH(QString, archive);
        QFETCH(QString, password);
        ArchiveComponent zip;
        zip.SetPassword(password);
        zip.OpenZip(kept(archive));
        zip.TestZip();
        const QString out = path("kept-" + archive);
        zip.ExtractToFolder(out);
        QCOMPARE(filesOnly(tree(out)),
                 (QMap<QString, QByteArray>{{"readme.txt", "Orvel Zip\n"},
                                            {"nested/deeper/leaf.txt", "leaf"},
                                            {"Grüße/наслов.txt", "utf-8 names"},
                                            {"runs.txt", runsText()}}));
    }

    // A file of several MiB whose repeats lie 40 KiB back, made by 7-Zip now: streamed through
    // the component and the tool, plain and under both encryptions.
    void largeEntryWithFarMatches_data()
    {
        QTest::addColumn<QString>("encryption");
        QTest::newRow("plain") << QString();
        QTest::newRow("AES-256") << "AES256";
        QTest::newRow("ZipCrypto") << "ZipCrypto";
    }
    void largeEntryWithFarMatches()
    {
        QFETCH(QString, encryption);
        need("7zz");
        const QByteArray data = farRepeats(6 * 1024 * 1024 + 123);
        const QString src = path("large-" + encryption);
        writeFile(src + "/far.bin", data);
        const QString archive = src + ".zip";
        QStringList args{"a", "-tzip", "-mm=Deflate64", archive, "far.bin"};
        if (!encryption.isEmpty())
            args << "-mem=" + encryption << "-pseven";
        check(runTool("7zz", args, src));
        const std::vector<ArchiveEntry> entries = ArchiveComponent::ListZip(archive);
        QCOMPARE(entries.size(), std::size_t(1));
        // Only the 64 KiB window reaches the repeats: deflate would gain nothing here.
        QVERIFY(entries[0].compressedSize() < entries[0].size() * 6 / 10);

        ArchiveComponent zip;
        zip.SetPassword(encryption.isEmpty() ? QString() : QStringLiteral("seven"));
        zip.OpenZip(archive);
        zip.ExtractToFolder(src + "/component");
        QVERIFY(readFile(src + "/component/far.bin") == data);

        qputenv("ORVELZIP_PASSWORD", "seven");
        const ToolResult cli = runTool(OZ_BUILD_CLI, {"extract", archive, "-d", src + "/cli", "--quiet"});
        qunsetenv("ORVELZIP_PASSWORD");
        check(cli);
        QVERIFY(readFile(src + "/cli/far.bin") == data);
    }

    // Damage inside the Deflate64 data refuses the entry with a reason and leaves no file.
    void damagedStreamIsRefused_data()
    {
        QTest::addColumn<int>("at");
        QTest::newRow("in the block header") << 2;
        QTest::newRow("in the codes") << 300;
        QTest::newRow("near the end") << 700;
    }
    void damagedStreamIsRefused()
    {
        QFETCH(int, at);
        QByteArray bytes = readFile(kept("7zip-deflate64.zip"));
        // runs.txt's local record: its data follows the name and the extra field.
        const qsizetype name = bytes.indexOf("runs.txt");
        const qsizetype record = name - 30;
        QCOMPARE(bytes.mid(record, 4), QByteArray("PK\x03\x04", 4));
        const auto le16 = [&](qsizetype at16) {
            return int(static_cast<unsigned char>(bytes[at16])) | int(static_cast<unsigned char>(bytes[at16 + 1])) << 8;
        };
        QCOMPARE(le16(record + 8), 9);
        const qsizetype data = record + 30 + le16(record + 26) + le16(record + 28);
        bytes[data + at] = static_cast<char>(bytes[data + at] ^ 0x5a);
        const QString archive = path(QStringLiteral("damaged-%1.zip").arg(at));
        writeFile(archive, bytes);

        ArchiveComponent zip;
        zip.OpenZip(archive);
        const QString out = path(QStringLiteral("damaged-%1").arg(at));
        try {
            zip.ExtractToFolder(out);
            QFAIL("a damaged entry was extracted");
        } catch (const ArchiveError &e) {
            QVERIFY2(e.reason().contains("runs.txt"), qPrintable(e.reason()));
            QVERIFY2(e.reason().contains("Compressed data invalid") || e.reason().contains("CRC error")
                         || e.reason().contains("than the archive declares"),
                     qPrintable(e.reason()));
        }
        QVERIFY(!QFileInfo::exists(out + "/runs.txt"));
    }

    // The methods still unread are refused by name, before anything is written.
    void otherMethodsRefusedByName_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<QString>("name");
        QTest::newRow("Shrink") << 1 << "Shrink";
        QTest::newRow("Implode") << 6 << "Implode";
        QTest::newRow("PPMd") << 98 << "PPMd";
    }
    void otherMethodsRefusedByName()
    {
        QFETCH(int, method);
        QFETCH(QString, name);
        const QString archive = path(name + ".zip");
        check(runTool("python3",
                      {"-c",
                       "import sys, zipfile\n"
                       "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                       "    z.writestr('first.txt', 'fine')\n"
                       "    z.writestr('odd.bin', 'not really compressed')\n"
                       "data = bytearray(open(sys.argv[1], 'rb').read())\n"
                       "m = int(sys.argv[2]).to_bytes(2, 'little')\n"
                       "local = data.index(b'odd.bin') - 30\n"
                       "central = data.index(b'odd.bin', local + 31) - 46\n"
                       "assert data[local:local + 4] == b'PK\\x03\\x04'\n"
                       "assert data[central:central + 4] == b'PK\\x01\\x02'\n"
                       "data[local + 8:local + 10] = m\n"
                       "data[central + 10:central + 12] = m\n"
                       "open(sys.argv[1], 'wb').write(data)\n",
                       archive, QString::number(method)}));
        ArchiveComponent zip;
        zip.OpenZip(archive);
        const QString out = path(name + "-out");
        try {
            zip.ExtractToFolder(out);
            QFAIL("an archive of an unread method was extracted");
        } catch (const ArchiveError &e) {
            QVERIFY2(e.reason().contains("uses " + name + ", which Orvel Zip cannot read"), qPrintable(e.reason()));
        }
        QVERIFY(!QFileInfo::exists(out + "/first.txt"));
    }
};

QTEST_GUILESS_MAIN(Deflate64Test)
#include "test_deflate64.moc"
