// The receiver room as both extractor programs call it: the path a question shows, the words
// that compare two files, and the folders a failed run leaves behind.
#include "core/base/Error.h"
#include "receiver/Receiver.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

using namespace oz::receiver;

namespace {

void put(std::string &out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// A zip of one stored file, as any zip tool writes it.
std::string storedZip(const std::string &name, const std::string &data)
{
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
    std::string local = "PK\x03\x04";
    put(local, 10, 2), put(local, 0, 2), put(local, 0, 2), put(local, 0, 4), put(local, crc, 4);
    put(local, static_cast<std::uint32_t>(data.size()), 4), put(local, static_cast<std::uint32_t>(data.size()), 4);
    put(local, static_cast<std::uint32_t>(name.size()), 2), put(local, 0, 2);
    local += name + data;
    std::string central = "PK\x01\x02";
    put(central, 20, 2), put(central, 10, 2), put(central, 0, 2), put(central, 0, 2), put(central, 0, 4);
    put(central, crc, 4), put(central, static_cast<std::uint32_t>(data.size()), 4);
    put(central, static_cast<std::uint32_t>(data.size()), 4), put(central, static_cast<std::uint32_t>(name.size()), 2);
    put(central, 0, 2), put(central, 0, 2), put(central, 0, 2), put(central, 0, 2), put(central, 0, 4);
    put(central, 0, 4);
    central += name;
    std::string end = "PK\x05\x06";
    put(end, 0, 4), put(end, 1, 2), put(end, 1, 2), put(end, static_cast<std::uint32_t>(central.size()), 4);
    put(end, static_cast<std::uint32_t>(local.size()), 4), put(end, 0, 2);
    return local + central + end;
}

} // namespace

class ReceiverTest : public QObject {
    Q_OBJECT

private slots:
    // However short the room, the file's own name stays whole and no character is cut in two;
    // what gives way is the middle of the folders.
    void aLongPathKeepsItsName()
    {
        const std::string name = "Gesch\xc3\xa4\x66tsbericht 2024 \xe6\x97\xa5\xe6\x9c\xac.pdf";
        const std::string folder = "/home/r\xc3\xa9\x63\x65iver/\xe6\x96\x87\xe6\x9b\xb8/projects/quarterly/"
                                   "archive/old/";
        const std::string path = folder + name;
        QCOMPARE(elidedPath(path, path.size()), path);
        for (std::size_t most : {60u, 45u, 30u, 10u}) {
            const std::string shown = elidedPath(path, most);
            QVERIFY2(shown.size() < path.size(), shown.c_str());
            QVERIFY2(shown.ends_with("/" + name), shown.c_str());
            QVERIFY2(shown.find("...") != std::string::npos, shown.c_str());
            QVERIFY2(QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size())).toUtf8().toStdString()
                         == shown,
                     shown.c_str()); // valid UTF-8 throughout
            QVERIFY(shown.starts_with("/"));
        }
        QCOMPARE(elidedPath("no-folder-at-all-and-long.txt", 8), std::string("no-folder-at-all-and-long.txt"));
    }

    void twoFilesCompared()
    {
        ExistingFile file;
        file.size = 1234567;
        file.modified = 0;
        file.newSize = 1;
        file.newModified = 86400 * 365;
        const std::string text = comparisonText(file);
        QVERIFY2(text.starts_with("On disk: 1,234,567 bytes, modified time unknown\nIn the archive: 1 byte, modified "
                                  "1971-01-0"),
                 text.c_str());
        QCOMPARE(describeFile(-1, 0), std::string("size unknown, modified time unknown"));
    }

    // A run that extracts nothing takes away the folders it made for its destination, and only
    // those; how it ended becomes the status both programs give.
    void aStoppedRunLeavesNoEmptyFolder()
    {
        QTemporaryDir tmp;
        const std::string zip = storedZip("inside/file.txt", "content\n");
        SelfArchive self;
        self.path = tmp.filePath("one.zip").toStdString();
        QFile f(QString::fromStdString(self.path));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(zip.data(), static_cast<qint64>(zip.size()));
        f.close();
        self.fd = ::open(self.path.c_str(), O_RDONLY);
        QVERIFY(self.fd >= 0);
        self.dir = oz::core::readDirectory(self.fd, {});
        QVERIFY(QDir().mkpath(tmp.filePath("there")));

        std::atomic<bool> stop{true};
        oz::core::ExtractOptions options;
        options.stop = &stop;
        const Outcome stopped = extract(self, "", tmp.filePath("there/made/for/this").toStdString(), options);
        QVERIFY(!stopped.ok && stopped.stopped);
        QCOMPARE(statusOf(stopped), statusKept); // the receiver's own stop
        QCOMPARE(statusOf(stopped, 130), 130);   // a signal's, where the system has one
        QVERIFY(!QFileInfo::exists(tmp.filePath("there/made")));
        QVERIFY(QFileInfo(tmp.filePath("there")).isDir()); // it was there before the run

        stop = false;
        const Outcome done = extract(self, "", tmp.filePath("there/made").toStdString(), options);
        QVERIFY(done.ok);
        QCOMPARE(statusOf(done, 130), statusDone);
        QCOMPARE(done.report.files, std::size_t(1));

        // The file is there now: Stop at the question keeps it, with a kept file's status.
        oz::core::ExtractOptions asking;
        asking.existing = oz::core::ExtractOptions::Existing::Ask;
        int asked = 0;
        asking.ask = replaceQuestion(
            [&asked](const ExistingFile &file) {
                ++asked;
                return file.newSize == 8 && file.size == 8 ? ReplaceChoice::Stop : ReplaceChoice::Replace;
            },
            [](ExistingFile &file) { file.size = QFileInfo(QString::fromStdString(file.path)).size(); });
        const Outcome quit = extract(self, "", tmp.filePath("there/made").toStdString(), asking);
        QCOMPARE(asked, 1);
        QVERIFY(quit.quit);
        QCOMPARE(statusOf(quit, 130), statusKept);
        QVERIFY(QString::fromStdString(failureText(quit)).startsWith("Stopped at your request"));
        QVERIFY(QFileInfo::exists(tmp.filePath("there/made/inside/file.txt")));
        ::close(self.fd);
    }
};

QTEST_GUILESS_MAIN(ReceiverTest)
#include "test_receiver.moc"
