// The core's threads and checks as a caller meets them: whatever a worker throws comes back to
// the caller's thread, a failed write stops the writes queued behind it, and an entry's data is
// judged in the same words whether it was read whole or streamed.
#include "core/write/ChunkDeflater.h"
#include "core/read/EntryReader.h"
#include "core/base/Error.h"
#include "core/extract/Extract.h"
#include "core/base/WorkerFailure.h"
#include "core/extract/WriteBehind.h"
#include "core/format/ZipFormat.h"
#include "core/write/ZipWriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace oz::core;

namespace {

// Deflates as the writer does, but runs out of memory on a chunk that starts with 'X'.
bool deflateOrRunOut(libdeflate_compressor *c, const unsigned char *data, std::size_t size, bool last,
                     std::vector<unsigned char> &out)
{
    if (size > 0 && data[0] == 'X')
        throw std::bad_alloc();
    return deflatePiece(c, data, size, last, out);
}

bool deflateFails(libdeflate_compressor *, const unsigned char *, std::size_t, bool, std::vector<unsigned char> &)
{
    return false;
}

// Not an Error, so that nothing on the way may have turned it into one.
struct CallerFault : std::exception {};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

// An archive of the files named, each holding its name repeated, written by the core.
void makeArchive(const QString &folder, const QString &target, int count, int level, const std::string &password)
{
    std::vector<WriteItem> items;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("file%1.txt").arg(i);
        writeFile(folder + "/" + name, name.toUtf8().repeated(2000));
        items.push_back({(folder + "/" + name).toStdString(), name.toStdString()});
    }
    WriteJob job;
    job.target = target.toStdString();
    job.entries = &items;
    job.level = level;
    job.password = password;
    writeArchive(job, [](int) {});
}

// Reads the entry whole and streamed; the two messages, or "" where a way read it.
std::pair<std::string, std::string> verdicts(int fd, const Entry &e, const std::string &password)
{
    std::string whole, streamed;
    try {
        WholeReader reader;
        reader.read(fd, e, password);
    } catch (const Error &error) {
        whole = std::to_string(int(error.kind())) + " " + error.what();
    }
    try {
        EntryReader reader(fd, e, password);
        unsigned char buffer[4096];
        while (reader.read(buffer, sizeof buffer) > 0) {
        }
    } catch (const Error &error) {
        streamed = std::to_string(int(error.kind())) + " " + error.what();
    }
    return {whole, streamed};
}

} // namespace

class WorkersTest : public QObject {
    Q_OBJECT

private slots:
    // The first failure in the caller's order is the one that comes back, whichever thread met
    // it first, and a failure outside any item comes after those of items.
    void firstFailureInOrderComesBack()
    {
        WorkerFailure failure;
        QVERIFY(!failure.stopped());
        failure.rethrow(); // nothing failed: nothing thrown
        std::vector<std::thread> threads;
        for (const std::size_t item : {7u, 3u, 9u, 5u})
            threads.emplace_back(
                [&failure, item] { failure.guard([item] { throw std::out_of_range(std::to_string(item)); }, item); });
        for (auto &t : threads)
            t.join();
        QVERIFY(!failure.guard([] { throw std::bad_alloc(); }));
        QVERIFY(failure.stopped());
        try {
            failure.rethrow();
            QFAIL("the failures were lost");
        } catch (const std::out_of_range &e) {
            QCOMPARE(std::string(e.what()), std::string("3"));
        }
    }

    // A helper that runs out of memory fails that file on the writer's thread, as the same
    // exception; the program goes on.
    void chunkDeflaterHandsBackAHelpersFailure()
    {
        {
            writer::ChunkDeflater deflater(6, 2, deflateOrRunOut);
            deflater.submit(std::vector<unsigned char>(100000, 'a'), false);
            QVERIFY(!deflater.next("big.bin").empty());
            deflater.submit(std::vector<unsigned char>(100000, 'X'), false);
            deflater.submit(std::vector<unsigned char>(100000, 'b'), true);
            QVERIFY_THROWS_EXCEPTION(std::bad_alloc, deflater.next("big.bin"));
        }
        // A chunk that does not deflate, without any exception, names the file.
        writer::ChunkDeflater deflater(6, 2, deflateFails);
        deflater.submit(std::vector<unsigned char>(1000, 'a'), true);
        try {
            deflater.next("big.bin");
            QFAIL("a failed chunk came back");
        } catch (const Error &e) {
            QCOMPARE(e.kind(), Error::Kind::System);
            QCOMPARE(std::string(e.what()), std::string("Cannot add big.bin: compression failed"));
        }
    }

    // A failure of any type while extracting on several threads reaches the caller once every
    // worker has stopped, and every file left in place is whole.
    void extractionHandsBackAnyFailure()
    {
        QTemporaryDir box;
        QDir().mkpath(box.filePath("in"));
        makeArchive(box.filePath("in"), box.filePath("a.zip"), 60, 6, "");
        const int fd = ::open(QFile::encodeName(box.filePath("a.zip")).constData(), O_RDONLY);
        QVERIFY(fd >= 0);
        const Directory dir = readDirectory(fd);
        ExtractOptions options;
        options.archiveLabel = "a.zip";
        options.threads = 4;
        options.progress = [](std::uint64_t done, std::uint64_t) {
            if (done > 0)
                throw CallerFault();
        };
        ExtractReport report;
        QVERIFY_THROWS_EXCEPTION(CallerFault,
                                 extractArchive(fd, dir, box.filePath("out").toStdString(), options, report));
        ::close(fd);
        for (const QFileInfo &f : QDir(box.filePath("out")).entryInfoList(QDir::Files | QDir::Hidden))
            QCOMPARE(f.size(), qint64(f.fileName().toUtf8().repeated(2000).size()));
    }

    // Once a write failed, buffers queued behind it are given back unwritten: here the
    // descriptor reaches a file that would take them by then.
    void writeBehindStopsAfterTheFirstFailure()
    {
        const auto oldHandler = std::signal(SIGPIPE, SIG_IGN);
        QTemporaryDir box;
        const QByteArray path = QFile::encodeName(box.filePath("out"));
        const int file = ::open(path.constData(), O_WRONLY | O_CREAT, 0600);
        int pipeEnds[2];
        QVERIFY(file >= 0 && ::pipe(pipeEnds) == 0);
        ::close(pipeEnds[0]); // writes to the other end fail: nobody reads
        {
            WriteBehind behind(pipeEnds[1]);
            std::vector<std::vector<unsigned char> *> buffers;
            for (std::size_t i = 0; i < WriteBehind::bufferCount; ++i)
                buffers.push_back(behind.take());
            QVERIFY(buffers.back() != nullptr);
            behind.submit(buffers[0], 100);
            // Waits for the failed write: no buffer is handed out after it.
            QCOMPARE(behind.take(), nullptr);
            QVERIFY(::dup2(file, pipeEnds[1]) == pipeEnds[1]);
            behind.submit(buffers[1], 100);
            behind.submit(buffers[2], 100);
            QCOMPARE(behind.finish(), EPIPE);
        }
        ::close(pipeEnds[1]);
        ::close(file);
        std::signal(SIGPIPE, oldHandler);
        struct stat st {};
        QVERIFY(::stat(path.constData(), &st) == 0);
        QCOMPARE(st.st_size, off_t(0));
    }

    // Whole or streamed, an entry passes or fails the same checks with the same words.
    void oneVerdictForBothWaysOfReading_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("verdict");
        const QString crc = QStringLiteral("%1 CRC error").arg(int(Error::Kind::Damaged));
        const QString longer
            = QStringLiteral("%1 it holds more data than the archive declares").arg(int(Error::Kind::Damaged));
        const QString shorter
            = QStringLiteral("%1 it is shorter than the archive declares").arg(int(Error::Kind::Damaged));
        const QString code = QStringLiteral("%1 Authentication failed").arg(int(Error::Kind::Damaged));
        const QString wrong = QStringLiteral("%1 Wrong password provided").arg(int(Error::Kind::WrongPassword));
        for (const int level : {0, 6}) {
            const QString method = level ? QStringLiteral("deflated") : QStringLiteral("stored");
            QTest::newRow(qPrintable(method + ", sound")) << level << ""
                                                          << ""
                                                          << "";
            QTest::newRow(qPrintable(method + ", CRC")) << level << ""
                                                        << "crc" << crc;
            QTest::newRow(qPrintable(method + ", more than declared")) << level << ""
                                                                       << "smaller" << longer;
            QTest::newRow(qPrintable(method + ", less than declared")) << level << ""
                                                                       << "larger" << shorter;
            QTest::newRow(qPrintable(method + ", AES, sound")) << level << "pw"
                                                               << ""
                                                               << "";
            QTest::newRow(qPrintable(method + ", AES, code")) << level << "pw"
                                                              << "code" << code;
            QTest::newRow(qPrintable(method + ", AES, CRC")) << level << "pw"
                                                             << "crc" << crc;
            QTest::newRow(qPrintable(method + ", AES, wrong password")) << level << "pw"
                                                                        << "password" << wrong;
        }
    }
    void oneVerdictForBothWaysOfReading()
    {
        QFETCH(int, level);
        QFETCH(QString, password);
        QFETCH(QString, change);
        QFETCH(QString, verdict);
        QTemporaryDir box;
        makeArchive(box.path(), box.filePath("a.zip"), 1, level, password.toStdString());
        const int fd = ::open(QFile::encodeName(box.filePath("a.zip")).constData(), O_RDWR);
        QVERIFY(fd >= 0);
        Entry e = readDirectory(fd).entries.at(0);
        QCOMPARE(e.method, std::uint16_t(level ? method::deflated : method::stored));
        std::string use = password.toStdString();
        if (change == "crc")
            e.crc ^= 1;
        else if (change == "smaller")
            --e.size;
        else if (change == "larger")
            ++e.size;
        else if (change == "password")
            use = "not it";
        if (change == "code") {
            // The code's last byte, just before the central directory.
            unsigned char last = 0;
            const off_t at = off_t(e.dataStart + e.compressedSize - 1);
            QVERIFY(::pread(fd, &last, 1, at) == 1);
            last ^= 0x40;
            QVERIFY(::pwrite(fd, &last, 1, at) == 1);
        }
        const auto [whole, streamed] = verdicts(fd, e, use);
        ::close(fd);
        QCOMPARE(QString::fromStdString(whole), verdict);
        QCOMPARE(QString::fromStdString(streamed), verdict);
    }
};

QTEST_GUILESS_MAIN(WorkersTest)
#include "test_workers.moc"
