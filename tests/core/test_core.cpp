// The zip core on its own, without the component: the small rules every front end relies on and
// that a slip would spread to all of them at once.
#include "core/base/Error.h"
#include "core/base/FileIo.h"
#include "core/base/LittleEndian.h"
#include "core/format/Names.h"
#include "core/format/ZipFormat.h"
#include "core/write/ZipRecords.h"

#include <QTemporaryFile>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

using namespace oz::core;

namespace {

std::time_t localTime(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// The directory of an archive made of the given bytes.
Directory directoryOf(const std::vector<unsigned char> &bytes)
{
    QTemporaryFile file;
    if (!file.open()
        || file.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size()))
        throw std::runtime_error("cannot write the test archive");
    file.flush();
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(), O_RDONLY);
    try {
        Directory dir = readDirectory(fd);
        ::close(fd);
        return dir;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

} // namespace

class CoreTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A zone with summer time, so that an hour lost in either direction shows.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void dosTimes()
    {
        // Even seconds come back exactly, in winter and in summer.
        for (const std::time_t t : {localTime(1999, 1, 15, 8, 30, 42), localTime(2024, 7, 1, 23, 59, 58),
                                    localTime(1980, 1, 1, 0, 0, 0), localTime(2107, 12, 31, 23, 59, 58)}) {
            const auto [time, date] = writer::dosTime(t);
            QCOMPARE(fromDosTime(time, date), t);
        }
        // An odd second is kept to the two seconds below it.
        const auto [oddTime, oddDate] = writer::dosTime(localTime(2010, 5, 5, 5, 5, 5));
        QCOMPARE(fromDosTime(oddTime, oddDate), localTime(2010, 5, 5, 5, 5, 4));
        // Before 1980 and after 2107 the fields hold their first and last moments.
        const auto [early, earlyDate] = writer::dosTime(localTime(1970, 6, 1, 12, 0, 0));
        QCOMPARE(fromDosTime(early, earlyDate), localTime(1980, 1, 1, 0, 0, 0));
        const auto [late, lateDate] = writer::dosTime(std::time_t(4500000000LL));
        QCOMPARE(fromDosTime(late, lateDate), localTime(2107, 12, 31, 23, 59, 58));
        // Fields that are no date say "unknown", never a time somewhere else.
        QCOMPARE(fromDosTime(0, 0), std::time_t(0));
        QCOMPARE(fromDosTime(0, (20 << 9) | (13 << 5) | 1), std::time_t(0)); // month 13
        QCOMPARE(fromDosTime(0, (20 << 9) | (1 << 5) | 0), std::time_t(0));  // day 0
    }

    // The extended timestamp keeps the second the DOS fields lose, also past January 2038, where
    // its 32 bits read as signed would go back to 1901; before 1970 it is still signed.
    void exactTimesPast2038()
    {
        const std::time_t times[] = {localTime(2024, 7, 1, 12, 0, 1), localTime(2045, 1, 1, 12, 0, 1),
                                     std::time_t(0xFFFFFFFFLL), std::time_t(-315619200)}; // the last: 1960
        std::vector<unsigned char> archive, directory;
        writer::DosClock dos;
        for (const std::time_t t : times) {
            writer::Item item;
            item.name = std::to_string(t);
            item.mtime = t < 0 ? 1 : t;
            writer::Written written;
            written.offset = archive.size();
            const auto local = writer::localHeader(item, written, false, 0, dos);
            archive.insert(archive.end(), local.begin(), local.end());
            auto record = writer::centralRecord(item, written, 0, dos);
            if (t < 0) {
                // As a writer of times before 1970 stores them: signed, and the DOS date of 1980.
                const unsigned char field[] = {0x55, 0x54, 5, 0, 1};
                const auto at = std::search(record.begin(), record.end(), std::begin(field), std::end(field));
                QVERIFY(at != record.end());
                std::vector<unsigned char> value;
                putLe32(value, static_cast<std::uint32_t>(t));
                std::copy(value.begin(), value.end(), at + 5);
            }
            directory.insert(directory.end(), record.begin(), record.end());
        }
        const std::uint64_t start = archive.size();
        archive.insert(archive.end(), directory.begin(), directory.end());
        const auto end = writer::endRecords(std::size(times), start, archive.size());
        archive.insert(archive.end(), end.begin(), end.end());
        Directory dir;
        try {
            dir = directoryOf(archive);
        } catch (const Error &e) {
            QFAIL(e.what());
        }
        QCOMPARE(dir.entries.size(), std::size(times));
        for (std::size_t i = 0; i < std::size(times); ++i)
            QCOMPARE(dir.entries[i].mtime, times[i]);
        QVERIFY(!writer::exactTimeKept(std::time_t(0x100000000LL)));
    }

    void safePaths_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("dos");
        QTest::addColumn<QString>("path"); // null: refused
        QTest::newRow("plain") << "a/b.txt" << false << "a/b.txt";
        QTest::newRow("dots and doubled slashes") << "./a//./b/" << false << "a/b";
        QTest::newRow("the destination itself") << "./" << false << "";
        QTest::newRow("climbs out") << "a/../../b" << false << QString();
        QTest::newRow("climbs out at the end") << "a/.." << false << QString();
        QTest::newRow("absolute") << "/etc/passwd" << false << QString();
        QTest::newRow("empty") << "" << false << QString();
        QTest::newRow("backslash from DOS") << "a\\b.txt" << true << "a/b.txt";
        QTest::newRow("backslash climbing from DOS") << "..\\x" << true << QString();
        QTest::newRow("backslash from Unix is a character") << "a\\b.txt" << false << "a\\b.txt";
        QTest::newRow("dots inside a name") << "a..b/c...txt" << false << "a..b/c...txt";
    }
    void safePaths()
    {
        QFETCH(QString, name);
        QFETCH(bool, dos);
        QFETCH(QString, path);
        const auto safe = safeEntryPath(name.toStdString(), dos);
        QCOMPARE(safe.has_value(), !path.isNull());
        if (safe)
            QCOMPARE(QString::fromStdString(*safe), path);
        QVERIFY(!safeEntryPath(std::string("a\0b", 3), false)); // a NUL byte is never a name
    }

    void windowsNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("windows");
        QTest::newRow("kept") << "dir/readme.txt"
                              << "dir/readme.txt";
        QTest::newRow("stream colon") << "a:b.txt"
                                      << "a_b.txt";
        QTest::newRow("wildcards and quotes") << "what?*\"<>|.txt"
                                              << "what______.txt";
        QTest::newRow("trailing dot and blank") << "dir./name "
                                                << "dir_/name_";
        QTest::newRow("devices") << "CON/aux.txt"
                                 << "_CON/_aux.txt";
        QTest::newRow("device only as a whole part") << "console/auxiliary"
                                                     << "console/auxiliary";
        QTest::newRow("numbered devices, superscripts too")
            << QString::fromUtf8("com1/LPT9.txt/COM\u00b9/lpt\u00b3.log/COM\u2074/COM10")
            << QString::fromUtf8("_com1/_LPT9.txt/_COM\u00b9/_lpt\u00b3.log/COM\u2074/COM10");
    }
    void windowsNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, windows);
        QCOMPARE(QString::fromStdString(windowsPath(path.toStdString())), windows);
    }

    void printableNames()
    {
        QCOMPARE(printable("plain name.txt"), std::string("plain name.txt"));
        QCOMPARE(printable("caf\xc3\xa9"), std::string("caf\xc3\xa9"));
        const std::string shown = printable("a\nb\x1b[31m\xff");
        QVERIFY(shown.find('\n') == std::string::npos);
        QVERIFY(shown.find('\x1b') == std::string::npos);
        QVERIFY(shown.find('\xff') == std::string::npos);
    }

    void endRecordsReadBack()
    {
        // An empty archive is its end record alone, and reads as no entries.
        QCOMPARE(directoryOf(writer::endRecords(0, 0, 0)).entries.size(), std::size_t(0));
        // A count past 16 bits needs the zip64 records, placed where readers look for them.
        const auto big = writer::endRecords(70000, 0, 0);
        QCOMPARE(big.size(), std::size_t(56 + 20 + 22));
        QCOMPARE(le32(big.data()), sig::end64);
        QCOMPARE(le64(big.data() + 32), std::uint64_t(70000));
        QCOMPARE(le32(big.data() + 56), sig::locator64);
        QCOMPARE(le32(big.data() + 76), sig::end);
        QCOMPARE(le16(big.data() + 76 + 10), std::uint16_t(0xFFFF));
        // Nothing at all, or a file of text, is no archive.
        for (const std::vector<unsigned char> &bytes :
             {std::vector<unsigned char>{}, std::vector<unsigned char>{'h', 'e', 'l', 'l', 'o'}}) {
            try {
                directoryOf(bytes);
                QFAIL("no archive was read as one");
            } catch (const Error &e) {
                QCOMPARE(e.kind(), Error::Kind::NotZip);
            }
        }
    }
};

QTEST_GUILESS_MAIN(CoreTest)
#include "test_core.moc"
