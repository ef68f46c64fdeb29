// Pieces of the component shared by its source files; not part of its interface.
#pragma once

#include "ArchiveComponent.h"
#include "core/format/ZipFormat.h"
#include "core/write/ZipWriter.h"
#include "receiver/SfxFormat.h"

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
    // Names that are not UTF-8 are read in codePage, or in the one chosen for the archive.
    explicit OpenedArchive(const QString &path, const QString &codePage = {});
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

using core::Progress;

// Writes the executable: extractor, settings, then the archive of the job.
void writeSelfExtracting(const core::WriteJob &job, const ExeSettings &exe, const std::function<void(int)> &progress);
QString extractorPath(receiver::Target target);

} // namespace oz::archive::detail
