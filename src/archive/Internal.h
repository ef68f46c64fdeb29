// Pieces of the component shared by its source files; not part of its interface.
#pragma once

#include "ArchiveComponent.h"
#include "core/ZipFormat.h"

#include <QLoggingCategory>
#include <functional>
#include <vector>

struct libdeflate_compressor;

Q_DECLARE_LOGGING_CATEGORY(lcArchive)

namespace oz::archive::detail {

QString describePassword(const QString &password);

// An archive open for reading, its directory read and checked; throws ArchiveError naming the
// path ("Cannot open …: not a zip archive", "Refused to open …: the entries … overlap").
class OpenedArchive {
public:
    explicit OpenedArchive(const QString &path);
    ~OpenedArchive();
    OpenedArchive(const OpenedArchive &) = delete;
    OpenedArchive &operator=(const OpenedArchive &) = delete;
    int fd() const { return fd_; }
    const core::Directory &directory() const { return dir_; }
    std::vector<ArchiveEntry> entries() const;

private:
    QString path_;
    int fd_ = -1;
    core::Directory dir_;
};

// Reports a percentage each time it changes, from 0 to 100.
class Progress {
public:
    Progress(std::uint64_t total, std::function<void(int)> report);
    void begin();
    void advance(std::uint64_t bytes);
    void finish();

private:
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    int last_ = -1;
    std::function<void(int)> report_;
};

using PendingList = std::vector<ArchiveComponent::Pending>;

struct WriteJob {
    QString target;
    const PendingList *entries = nullptr;
    QString password; // empty: no encryption
    int keyLength = 256;
    int level = 6;
    int threads = 0; // 0: one per core
    std::vector<ArchiveEntry> *written = nullptr; // when set, receives the entries as written
    std::string prefix;      // written in front of the archive (a self-extractor's program)
    bool executable = false; // a new file gets the x bits the umask allows
};
void writeArchive(const WriteJob &job, const std::function<void(int)> &progress);

// Deflates one piece of a longer deflate stream. Unless it is the last, the piece ends on a
// byte boundary and without the final-block mark, so that the next piece can follow it as it
// stands. False when deflating failed.
bool deflatePiece(libdeflate_compressor *compressor, const unsigned char *data, std::size_t size, bool last,
                  std::vector<unsigned char> &out);

// Writes the executable: extractor, settings, then the archive of the job.
void writeSelfExtracting(const WriteJob &job, const ExeSettings &exe, const std::function<void(int)> &progress);
QString extractorPath();

} // namespace oz::archive::detail
