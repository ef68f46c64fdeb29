#include "ArchiveComponent.h"

#include "EntryStream.h"
#include "Internal.h"
#include "Wildcard.h"
#include "ZipLayout.h"

#include <QFile>
#include <QFileInfo>
#include <QXmlStreamWriter>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcArchive, "orvelzip.archive")

namespace oz::archive {

using namespace detail;

ArchiveError::ArchiveError(const QString &reason)
    : std::runtime_error(reason.toStdString())
{
}

QString ArchiveError::reason() const
{
    return QString::fromStdString(what());
}

ArchiveEntry::ArchiveEntry(QString name, std::uint64_t size, std::uint64_t compressedSize,
                           QDateTime modified, bool encrypted, bool folder, bool link)
    : name_(std::move(name)), size_(size), compressedSize_(compressedSize),
      modified_(std::move(modified)), encrypted_(encrypted), folder_(folder), link_(link)
{
}

EntrySet::EntrySet(std::vector<ArchiveEntry> entries)
    : entries_(std::move(entries))
{
}

int EntrySet::HasMoreEntries() const
{
    return next_ < entries_.size() ? 1 : 0;
}

ArchiveEntry EntrySet::GetNextEntry()
{
    if (next_ >= entries_.size())
        return {};
    return entries_[next_++];
}

bool PatternList::matches(const QString &fileName) const
{
    for (const QString &pattern : patterns_) {
        if (!pattern.isEmpty() && wildcardMatch(pattern, fileName))
            return true;
    }
    return false;
}

ArchiveComponent::ArchiveComponent(QObject *parent)
    : QObject(parent)
{
}

ArchiveComponent::~ArchiveComponent() = default;

void ArchiveComponent::SetPassword(const QString &password)
{
    qCInfo(lcArchive).noquote() << "SetPassword" << describePassword(password);
    password_ = password;
}

void ArchiveComponent::OpenZip(const QString &path)
{
    qCInfo(lcArchive).noquote() << "OpenZip" << path;
    openedPath_.clear();
    openedEntries_.clear();

    zip_t *za = openForReading(path);
    std::vector<ArchiveEntry> entries = listEntries(za);

    // Check the smallest non-empty encrypted file completely (an AES entry by
    // its authentication code): the one- and two-byte password checks of the
    // formats accept some wrong passwords, and an empty file has nothing else
    // to check.
    zip_int64_t probe = -1;
    auto better = [&](const ArchiveEntry &e) {
        if (probe < 0)
            return true;
        const ArchiveEntry &p = entries[static_cast<std::size_t>(probe)];
        if ((p.size() == 0) != (e.size() == 0))
            return p.size() == 0;
        return e.size() < p.size();
    };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].isEncrypted() && !entries[i].isFolder() && better(entries[i]))
            probe = static_cast<zip_int64_t>(i);
    }
    if (probe >= 0) {
        QString failure;
        if (password_.isEmpty()) {
            failure = QStringLiteral("%1 is encrypted and no password was given").arg(path);
        } else {
            try {
                auto stream = EntryStream::open(za, static_cast<zip_uint64_t>(probe), password_.toUtf8());
                if (!stream->verify())
                    failure = QStringLiteral("Wrong password for %1").arg(path);
            } catch (const ArchiveError &) {
                failure = QStringLiteral("Wrong password for %1").arg(path);
            }
        }
        if (!failure.isEmpty()) {
            zip_discard(za);
            qCInfo(lcArchive).noquote() << "OpenZip failed:" << failure;
            throw ArchiveError(failure);
        }
    }
    zip_discard(za);
    openedPath_ = path;
    openedEntries_ = std::move(entries);
}

EntrySet ArchiveComponent::GetEntries() const
{
    qCInfo(lcArchive) << "GetEntries";
    return EntrySet(openedEntries_);
}

void ArchiveComponent::ExtractToFolder(const QString &folder)
{
    qCInfo(lcArchive).noquote() << "ExtractToFolder" << folder;
    record_ = ExtractionRecord{};
    record_.ran = true;
    record_.archive = openedPath_;
    record_.destination = folder;
    try {
        if (openedPath_.isEmpty())
            throw ArchiveError(QStringLiteral("No zip archive has been opened"));
        if (folder.isEmpty())
            throw ArchiveError(QStringLiteral("No destination folder was given"));
        extractArchive({openedPath_, password_, folder, replaceExisting_, threads_},
                       [this](int p) { emit UnzipPercentDone(p); }, record_);
    } catch (const ArchiveError &e) {
        record_.error = e.reason();
        qCInfo(lcArchive).noquote() << "ExtractToFolder failed:" << e.reason();
        throw;
    }
}

std::vector<ArchiveEntry> ArchiveComponent::ListZip(const QString &path)
{
    qCInfo(lcArchive).noquote() << "ListZip" << path;
    zip_t *za = openForReading(path);
    std::vector<ArchiveEntry> entries = listEntries(za);
    zip_discard(za);
    return entries;
}

void ArchiveComponent::TestZip()
{
    qCInfo(lcArchive).noquote() << "TestZip" << openedPath_;
    if (openedPath_.isEmpty())
        throw ArchiveError(QStringLiteral("No zip archive has been opened"));
    zip_t *za = openForReading(openedPath_);
    const QByteArray password = password_.toUtf8();
    try {
        const zip_int64_t n = zip_get_num_entries(za, 0);
        std::vector<char> buffer(256 * 1024);
        for (zip_int64_t i = 0; i < n; ++i) {
            zip_stat_t st;
            zip_stat_init(&st);
            zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st);
            const QString name = st.name ? QString::fromUtf8(st.name) : QString();
            if (name.endsWith(u'/'))
                continue;
            auto stream = EntryStream::open(za, static_cast<zip_uint64_t>(i), password);
            std::uint64_t total = 0;
            zip_int64_t got;
            while ((got = stream->read(buffer.data(), buffer.size())) > 0) {
                total += static_cast<std::uint64_t>(got);
                if (total > st.size)
                    throw ArchiveError(QStringLiteral("\"%1\" holds more data than the archive declares").arg(name));
            }
            if (got < 0)
                throw ArchiveError(QStringLiteral("\"%1\" is damaged: %2").arg(name, stream->error()));
            if (total != st.size)
                throw ArchiveError(QStringLiteral("\"%1\" is shorter than the archive declares").arg(name));
        }
    } catch (...) {
        zip_discard(za);
        throw;
    }
    zip_discard(za);
}

void ArchiveComponent::WriteLogFile(const QString &fileName) const
{
    qCInfo(lcArchive).noquote() << "WriteLogFile" << fileName;
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(fileName, file.errorString()));
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("extraction"));
    if (record_.ran) {
        xml.writeAttribute(QStringLiteral("archive"), record_.archive);
        xml.writeAttribute(QStringLiteral("destination"), record_.destination);
        xml.writeAttribute(QStringLiteral("result"), record_.error.isEmpty() ? QStringLiteral("success")
                                                                             : QStringLiteral("failure"));
        for (const auto &item : record_.items) {
            xml.writeStartElement(QStringLiteral("entry"));
            xml.writeAttribute(QStringLiteral("name"), item.name);
            xml.writeAttribute(QStringLiteral("result"), item.result);
            xml.writeEndElement();
        }
        if (!record_.error.isEmpty())
            xml.writeTextElement(QStringLiteral("error"), record_.error);
    } else {
        xml.writeAttribute(QStringLiteral("result"), QStringLiteral("none"));
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    if (!file.flush() || xml.hasError())
        throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(fileName, file.errorString()));
}

void ArchiveComponent::StartNewArchive(const QString &fileName)
{
    qCInfo(lcArchive).noquote() << "StartNewArchive" << fileName;
    targetPath_ = fileName;
    pending_.clear();
    pendingIndex_.clear();
    indexed_ = 0;
    exclusions_ = PatternList{};
    passwordProtection_ = 0;
    encryption_ = 0;
    keyLength_ = 256;
    openedPath_.clear();
    openedEntries_.clear();
}

void ArchiveComponent::AddFilesByPattern(const QString &pattern, int recurse)
{
    qCInfo(lcArchive).noquote() << "AddFilesByPattern" << pattern << recurse;
    addFiles(pattern, recurse != 0, false, false, true, false);
}

void ArchiveComponent::AddFilesByPatternFiltered(const QString &pattern, int recurse, int saveExtraPath,
                                                 int archiveOnly, int includeHidden, int includeSystem)
{
    qCInfo(lcArchive).noquote() << "AddFilesByPatternFiltered" << pattern << recurse << saveExtraPath
                                << archiveOnly << includeHidden << includeSystem;
    // Outside Windows every file carries the archive attribute, so archiveOnly
    // keeps every file.
    Q_UNUSED(archiveOnly);
    addFiles(pattern, recurse != 0, saveExtraPath != 0, true, includeHidden != 0, includeSystem != 0);
}

void ArchiveComponent::SetExclusionList(const PatternList &list)
{
    qCInfo(lcArchive).noquote() << "SetExclusionList" << list.patterns().join(QStringLiteral(", "));
    exclusions_ = list;
}

void ArchiveComponent::SetPasswordProtection(int on)
{
    qCInfo(lcArchive) << "SetPasswordProtection" << on;
    passwordProtection_ = on;
}

void ArchiveComponent::SetArchiveFileName(const QString &path)
{
    qCInfo(lcArchive).noquote() << "SetArchiveFileName" << path;
    targetPath_ = path;
}

int ArchiveComponent::GetEntryCount() const
{
    const std::size_t count = (!openedPath_.isEmpty() && pending_.empty()) ? openedEntries_.size() : pending_.size();
    qCInfo(lcArchive) << "GetEntryCount" << count;
    return static_cast<int>(count);
}

detail::WriteJob ArchiveComponent::writeJob(const QString &target) const
{
    WriteJob job;
    job.target = target;
    job.entries = &pending_;
    job.password = encrypting() ? password_ : QString();
    job.keyLength = keyLength_;
    job.level = level_;
    job.threads = threads_;
    return job;
}

bool ArchiveComponent::encrypting() const
{
    return (passwordProtection_ != 0 || encryption_ != 0) && !password_.isEmpty();
}

void pinTimeZone()
{
    if (!std::getenv("TZ"))
        ::setenv("TZ", ":/etc/localtime", 0);
    ::tzset();
}

void ArchiveComponent::SaveArchive()
{
    qCInfo(lcArchive).noquote() << "SaveArchive" << targetPath_;
    if (targetPath_.isEmpty())
        throw ArchiveError(QStringLiteral("No file name was given for the archive"));
    // The object now holds what it wrote, so that it can be extracted at once.
    std::vector<ArchiveEntry> written;
    try {
        detail::WriteJob job = writeJob(targetPath_);
        job.written = &written;
        writeArchive(job, [this](int p) { emit WriteZipPercentDone(p); });
    } catch (const ArchiveError &e) {
        qCInfo(lcArchive).noquote() << "SaveArchive failed:" << e.reason();
        throw;
    }
    openedEntries_ = std::move(written);
    openedPath_ = targetPath_;
}

void ArchiveComponent::SetEncryption(int on)
{
    qCInfo(lcArchive) << "SetEncryption" << on;
    encryption_ = on;
}

void ArchiveComponent::SetEncryptionKeyLength(int bits)
{
    qCInfo(lcArchive) << "SetEncryptionKeyLength" << bits;
    if (bits != 128 && bits != 192 && bits != 256)
        throw ArchiveError(QStringLiteral("Unsupported key length %1 (use 128, 192 or 256)").arg(bits));
    keyLength_ = bits;
}

void ArchiveComponent::SetExeIconFile(const QString &path)
{
    qCInfo(lcArchive).noquote() << "SetExeIconFile" << path;
    exe_.iconFile = path;
}

void ArchiveComponent::SetExeRunProgram(const QString &fileName)
{
    qCInfo(lcArchive).noquote() << "SetExeRunProgram" << fileName;
    exe_.runProgram = fileName;
}

void ArchiveComponent::SetExeRunParameters(const QString &text)
{
    qCInfo(lcArchive).noquote() << "SetExeRunParameters" << text;
    exe_.runParameters = text;
}

void ArchiveComponent::SetExeAutoTemp(int on)
{
    qCInfo(lcArchive) << "SetExeAutoTemp" << on;
    exe_.autoTemp = on;
}

void ArchiveComponent::SetExeAutoExtract(int on)
{
    qCInfo(lcArchive) << "SetExeAutoExtract" << on;
    exe_.autoExtract = on;
}

void ArchiveComponent::WriteSelfExtractingExe(const QString &target, int &out)
{
    qCInfo(lcArchive).noquote() << "WriteSelfExtractingExe" << target;
    out = 0;
    if (target.isEmpty())
        throw ArchiveError(QStringLiteral("No file name was given for the executable"));
    try {
        writeSelfExtracting(writeJob(target), exe_, [this](int p) { emit WriteZipPercentDone(p); });
    } catch (const ArchiveError &e) {
        qCInfo(lcArchive).noquote() << "WriteSelfExtractingExe failed:" << e.reason();
        throw;
    }
    out = 1;
}

void ArchiveComponent::setCompressionLevel(int level)
{
    qCInfo(lcArchive) << "setCompressionLevel" << level;
    if (level < 0 || level > 9)
        throw ArchiveError(QStringLiteral("Compression level %1 is not between 0 and 9").arg(level));
    level_ = level;
}

void ArchiveComponent::setThreads(int threads)
{
    qCInfo(lcArchive) << "setThreads" << threads;
    if (threads < 0)
        throw ArchiveError(QStringLiteral("The number of threads cannot be negative"));
    threads_ = threads;
}

namespace detail {

QString describePassword(const QString &password)
{
    return password.isEmpty() ? QStringLiteral("(empty)") : QStringLiteral("(set)");
}

QString zipErrorText(zip_error_t *error)
{
    return QString::fromLocal8Bit(zip_error_strerror(error));
}

QString zipErrorText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    QString text = zipErrorText(&error);
    zip_error_fini(&error);
    return text;
}

QString zipArchiveErrorText(zip_t *za)
{
    return QString::fromLocal8Bit(zip_strerror(za));
}

zip_t *openForReading(const QString &path, bool checkLayout, std::vector<ziplayout::EntrySpan> *spans)
{
    if (path.isEmpty())
        throw ArchiveError(QStringLiteral("No archive file name was given"));
    int code = 0;
    zip_t *za = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code);
    if (!za) {
        QString reason = code == ZIP_ER_NOZIP ? QStringLiteral("not a zip archive") : zipErrorText(code);
        throw ArchiveError(QStringLiteral("Cannot open %1: %2").arg(path, reason));
    }
    if (checkLayout) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        const std::string fault = fd >= 0 ? ziplayout::layoutFault(fd, spans) : std::string();
        if (fd >= 0)
            ::close(fd);
        if (!fault.empty()) {
            zip_discard(za);
            throw ArchiveError(QStringLiteral("Refused to open %1: %2").arg(path, QString::fromStdString(fault)));
        }
    }
    return za;
}

bool entryIsLink(zip_t *za, zip_uint64_t index)
{
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) != 0)
        return false;
    return opsys == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

int entryUnixMode(zip_t *za, zip_uint64_t index)
{
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) != 0 || opsys != ZIP_OPSYS_UNIX)
        return -1;
    int mode = static_cast<int>((attributes >> 16) & 07777);
    return mode == 0 ? -1 : mode;
}

std::vector<ArchiveEntry> listEntries(zip_t *za)
{
    std::vector<ArchiveEntry> out;
    const zip_int64_t n = zip_get_num_entries(za, 0);
    out.reserve(static_cast<std::size_t>(std::max<zip_int64_t>(n, 0)));
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st) != 0)
            continue;
        const QString name = st.name ? QString::fromUtf8(st.name) : QString();
        const bool folder = name.endsWith(u'/');
        QDateTime modified;
        if (st.valid & ZIP_STAT_MTIME)
            modified = QDateTime::fromSecsSinceEpoch(st.mtime);
        const bool encrypted = (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
        out.emplace_back(name, st.size, st.comp_size, modified, encrypted, folder,
                         entryIsLink(za, static_cast<zip_uint64_t>(i)));
    }
    return out;
}

Progress::Progress(std::uint64_t total, std::function<void(int)> report)
    : total_(total), report_(std::move(report))
{
}

void Progress::begin()
{
    last_ = 0;
    if (report_)
        report_(0);
}

void Progress::advance(std::uint64_t bytes)
{
    done_ += bytes;
    if (total_ == 0)
        return;
    const int percent = static_cast<int>(std::min<std::uint64_t>(100, done_ * 100 / total_));
    // 100 is kept for finish(), which comes when the work has really ended.
    if (percent != last_ && percent < 100) {
        last_ = percent;
        if (report_)
            report_(percent);
    }
}

void Progress::finish()
{
    if (last_ != 100) {
        last_ = 100;
        if (report_)
            report_(100);
    }
}

} // namespace detail
} // namespace oz::archive
