// Pieces of the component shared by its source files; not part of its interface.
#pragma once

#include "ArchiveComponent.h"
#include "ZipLayout.h"

#include <QLoggingCategory>
#include <functional>
#include <vector>
#include <zip.h>

struct libdeflate_compressor;

Q_DECLARE_LOGGING_CATEGORY(lcArchive)

namespace oz::archive::detail {

// Text of a libzip error, as a sentence part ("Read error: No such file").
QString zipErrorText(zip_error_t *error);
QString zipErrorText(int code);
QString zipArchiveErrorText(zip_t *za);

QString describePassword(const QString &password);

// Opens an archive for reading; throws ArchiveError naming the path. Unless told
// otherwise (a second handle on an archive already checked), an archive whose
// entries overlap or run past their directory is refused; spans, when given,
// then receives where each entry's data lies (see layoutFault).
zip_t *openForReading(const QString &path, bool checkLayout = true, std::vector<ziplayout::EntrySpan> *spans = nullptr);

// Lists the entries of an opened libzip archive.
std::vector<ArchiveEntry> listEntries(zip_t *za);

// True when the entry is stored as a symbolic link by a Unix archiver.
bool entryIsLink(zip_t *za, zip_uint64_t index);
// Unix permission bits stored with the entry, or -1 when none were stored.
int entryUnixMode(zip_t *za, zip_uint64_t index);

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

struct ExtractJob {
    QString archive;
    QString password;
    QString folder;
    bool replaceExisting = true;
    int threads = 0; // 0: one per core
};
void extractArchive(const ExtractJob &job, const std::function<void(int)> &progress,
                    ExtractionRecord &record);

} // namespace oz::archive::detail
