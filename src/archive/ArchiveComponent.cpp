#include "ArchiveComponent.h"

#include "Internal.h"
#include "PathRules.h"
#include "core/base/Error.h"
#include "core/extract/Extract.h"
#include "core/extract/NamePlan.h"
#include "core/format/NameText.h"
#include "core/format/Names.h"
#include "core/files/NewFile.h"
#include "receiver/PeVersion.h"
#include "wildcard/Wildcard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamWriter>

#include <array>

#include <cerrno>
#include <map>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcArchive, "orvelzip.archive")

namespace oz::archive {

using namespace detail;

ArchiveError::ArchiveError(const QString &reason, Kind kind) : std::runtime_error(reason.toStdString()), kind_(kind) {}

QString ArchiveError::reason() const
{
    return QString::fromStdString(what());
}

ArchiveEntry::ArchiveEntry(QString name, std::uint64_t size, std::uint64_t compressedSize, QDateTime modified,
                           bool encrypted, bool folder, bool link)
    : name_(std::move(name)), size_(size), compressedSize_(compressedSize), modified_(std::move(modified)),
      encrypted_(encrypted), folder_(folder), link_(link)
{
}

EntrySet::EntrySet(std::vector<ArchiveEntry> entries) : entries_(std::move(entries)) {}

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

ArchiveComponent::ArchiveComponent(QObject *parent) : QObject(parent), nameCodePage_(namesFromEnvironment()) {}

ArchiveComponent::~ArchiveComponent() = default;

namespace {

// The core's question about a file that is there already, put to the caller's question with
// the sizes and times of both files. Keep all is the caller's answer for every later file;
// stopped turns true when the answer is Stop.
std::function<core::ExtractOptions::Answer(const std::string &, const core::Entry &)>
existingQuestion(const ReplaceQuestion &ask, bool &stopped)
{
    using Answer = core::ExtractOptions::Answer;
    auto keepAll = std::make_shared<bool>(false);
    return [&ask, &stopped, keepAll](const std::string &path, const core::Entry &e) {
        if (*keepAll)
            return Answer::Keep;
        ExistingFile file;
        file.path = QFile::decodeName(QByteArray::fromStdString(path));
        const QFileInfo disk(file.path);
        file.size = disk.size();
        file.modified = disk.lastModified();
        file.newSize = static_cast<qint64>(e.size);
        if (e.mtime != 0)
            file.newModified = QDateTime::fromSecsSinceEpoch(e.mtime);
        switch (ask(file)) {
        case ReplaceAnswer::Replace: return Answer::Replace;
        case ReplaceAnswer::ReplaceAll: return Answer::ReplaceAll;
        case ReplaceAnswer::Keep: return Answer::Keep;
        case ReplaceAnswer::KeepAll: *keepAll = true; return Answer::Keep;
        case ReplaceAnswer::Stop: break;
        }
        stopped = true;
        return Answer::Quit;
    };
}

} // namespace

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
    openError_.clear();
    openedCodePage_.clear();
    try {
        OpenedArchive archive(path, nameCodePage_);
        try {
            core::checkPassword(archive.fd(), archive.directory(), password_.toStdString());
        } catch (const core::Error &e) {
            const bool damaged = e.kind() == core::Error::Kind::Damaged;
            const QString failure = e.kind() == core::Error::Kind::NoPassword
                ? QStringLiteral("%1 is encrypted and no password was given").arg(path)
                : damaged ? QStringLiteral("%1: %2").arg(path, QString::fromStdString(e.what()))
                          : QStringLiteral("Wrong password for %1").arg(path);
            qCInfo(lcArchive).noquote() << "OpenZip failed:" << failure;
            throw damaged ? ArchiveError(failure) : ArchiveError(failure, ArchiveError::Kind::Password);
        }
        openedPath_ = path;
        openedEntries_ = archive.entries();
        openedCodePage_ = QString::fromStdString(archive.directory().codePage);
    } catch (const ArchiveError &e) {
        openError_ = e.reason(); // why a later extraction of this object has nothing to extract
        throw;
    }
}

EntrySet ArchiveComponent::GetEntries() const
{
    qCInfo(lcArchive) << "GetEntries";
    return EntrySet(openedEntries_);
}

void ArchiveComponent::ExtractToFolder(const QString &folder)
{
    qCInfo(lcArchive).noquote() << "ExtractToFolder" << folder;
    extract(folder, {}, nullptr);
}

QString ArchiveComponent::ExtractEntry(int index, const QString &name, const QString &folder)
{
    qCInfo(lcArchive).noquote() << "ExtractEntry" << index << name << folder;
    std::string place;
    extract(folder, Chosen{index, name}, &place);
    return QDir(folder).filePath(QFile::decodeName(QByteArray::fromStdString(place)));
}

namespace {

// The directory of one entry of an archive, still read from the same file.
core::Directory oneEntryOf(const core::Directory &dir, std::size_t index)
{
    core::Directory one;
    one.fileSize = dir.fileSize;
    one.start = dir.start;
    one.codePage = dir.codePage;
    one.entries.push_back(dir.entries[index]);
    return one;
}

} // namespace

void ArchiveComponent::extract(const QString &folder, const std::optional<Chosen> &chosen, std::string *place)
{
    record_ = ExtractionRecord{};
    record_.ran = true;
    record_.archive = openedPath_;
    record_.destination = folder;
    core::ExtractReport report;
    bool stopped = false;
    try {
        if (openedPath_.isEmpty())
            throw ArchiveError(openError_.isEmpty() ? QStringLiteral("No zip archive has been opened") : openError_);
        if (folder.isEmpty())
            throw ArchiveError(QStringLiteral("No destination folder was given"));
        OpenedArchive archive(openedPath_, nameCodePage_);
        core::Directory one;
        if (chosen) {
            const auto &entries = archive.directory().entries;
            const auto i = static_cast<std::size_t>(chosen->index);
            // The archive is read again from disk: another program may have replaced it since.
            if (chosen->index < 0 || i >= entries.size() || QString::fromStdString(entries[i].name) != chosen->name)
                throw ArchiveError(
                    QStringLiteral("%1 has changed since it was opened: open it again").arg(openedPath_));
            one = oneEntryOf(archive.directory(), i);
        }
        const core::Directory &dir = chosen ? one : archive.directory();
        const std::string destination = QFile::encodeName(folder).toStdString();
        core::ExtractOptions options = extractOptions(stopped);
        Progress progress(0, [this](int p) { emit UnzipPercentDone(p); });
        bool begun = false;
        std::uint64_t reported = 0;
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            if (!begun) {
                progress = Progress(total, [this](int p) { emit UnzipPercentDone(p); });
                progress.begin();
                begun = true;
            }
            progress.advance(done - reported);
            reported = done;
        };
        core::extractArchive(archive.fd(), dir, destination, options, report);
        progress.finish();
        keepRecord(report);
        if (place) // where the one entry went: its safe path, unless this system needed another
            *place = report.renamed.empty() ? core::safeEntryPath(dir.entries.front()).value_or(std::string())
                                            : report.renamed.front().as;
    } catch (const core::Error &e) {
        keepRecord(report);
        record_.error = QString::fromStdString(e.what());
        qCInfo(lcArchive).noquote() << (chosen ? "ExtractEntry failed:" : "ExtractToFolder failed:") << record_.error;
        throw ArchiveError(record_.error, stopped ? ArchiveError::Kind::Stopped : ArchiveError::Kind::Other);
    } catch (const ArchiveError &e) {
        keepRecord(report);
        record_.error = e.reason();
        qCInfo(lcArchive).noquote() << (chosen ? "ExtractEntry failed:" : "ExtractToFolder failed:") << e.reason();
        throw;
    }
}

core::ExtractOptions ArchiveComponent::extractOptions(bool &stopped) const
{
    core::ExtractOptions options;
    options.archiveLabel = openedPath_.toStdString();
    options.password = password_.toStdString();
    options.existing
        = replaceExisting_ ? core::ExtractOptions::Existing::Replace : core::ExtractOptions::Existing::Keep;
    if (replaceQuestion_) {
        options.existing = core::ExtractOptions::Existing::Ask;
        options.ask = existingQuestion(replaceQuestion_, stopped);
    }
    options.threads = threads_;
    options.strict = strict_;
    options.stop = &stop_;
    return options;
}

void ArchiveComponent::keepRecord(const core::ExtractReport &report)
{
    record_.items.clear();
    for (const auto &item : report.items)
        record_.items.push_back({QString::fromStdString(item.name), item.result});
    record_.damaged.clear();
    for (const auto &name : report.damaged)
        record_.damaged << QString::fromStdString(name);
}

std::vector<ArchiveEntry> ArchiveComponent::ListZip(const QString &path, QString *codePage, const QString &names)
{
    qCInfo(lcArchive).noquote() << "ListZip" << path << names;
    const QString page
        = names.isEmpty() ? namesFromEnvironment() : QString::fromStdString(core::codePageNamed(names.toStdString()));
    const OpenedArchive archive(path, page);
    if (codePage)
        *codePage = QString::fromStdString(archive.directory().codePage);
    return archive.entries();
}

QString ArchiveComponent::namesFromEnvironment()
{
    const QString named = qEnvironmentVariable("ORVELZIP_NAMES");
    QString page = QString::fromStdString(core::codePageNamed(named.toStdString()));
    if (!named.isEmpty() && page.isEmpty())
        qCWarning(lcArchive).noquote() << "ORVELZIP_NAMES names no code page the names can be read in:" << named;
    return page;
}

void ArchiveComponent::setNameCodePage(const QString &codePage)
{
    qCInfo(lcArchive).noquote() << "setNameCodePage" << codePage;
    const QString page = QString::fromStdString(core::codePageNamed(codePage.toStdString()));
    if (!codePage.isEmpty() && page.isEmpty())
        throw ArchiveError(QStringLiteral("%1 is no code page names can be read in: %2")
                               .arg(codePage, QString::fromStdString(core::knownCodePages())));
    nameCodePage_ = page;
}

QStringList ArchiveComponent::ListPlaces(const QString &path, const QString &system, const QString &names)
{
    qCInfo(lcArchive).noquote() << "ListPlaces" << path << system;
    const OpenedArchive archive(path, names.isEmpty() ? namesFromEnvironment() : names);
    const auto target = system == QLatin1String("windows") ? core::TargetSystem::Windows : core::TargetSystem::Posix;
    QStringList out;
    for (std::size_t i = 0; i < archive.directory().entries.size(); ++i)
        out.append(QString());
    for (const auto &[entry, as] : core::renamedOn(archive.directory(), target))
        out[static_cast<qsizetype>(entry)] = QString::fromStdString(as);
    return out;
}

void ArchiveComponent::TestZip()
{
    qCInfo(lcArchive).noquote() << "TestZip" << openedPath_;
    if (openedPath_.isEmpty())
        throw ArchiveError(QStringLiteral("No zip archive has been opened"));
    OpenedArchive archive(openedPath_, nameCodePage_);
    try {
        core::testArchive(archive.fd(), archive.directory(), password_.toStdString());
    } catch (const core::Error &e) {
        throw ArchiveError(QString::fromStdString(e.what()));
    }
}

void ArchiveComponent::WriteLogFile(const QString &fileName) const
{
    qCInfo(lcArchive).noquote() << "WriteLogFile" << fileName;
    QByteArray text;
    QXmlStreamWriter xml(&text);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("extraction"));
    if (record_.ran) {
        xml.writeAttribute(QStringLiteral("archive"), record_.archive);
        xml.writeAttribute(QStringLiteral("destination"), record_.destination);
        xml.writeAttribute(QStringLiteral("result"),
                           record_.error.isEmpty() ? QStringLiteral("success") : QStringLiteral("failure"));
        for (const auto &item : record_.items) {
            xml.writeStartElement(QStringLiteral("entry"));
            xml.writeAttribute(QStringLiteral("name"), item.name);
            xml.writeAttribute(QStringLiteral("result"), QString::fromLatin1(core::resultText(item.result)));
            xml.writeEndElement();
        }
        if (!record_.error.isEmpty())
            xml.writeTextElement(QStringLiteral("error"), record_.error);
    } else {
        xml.writeAttribute(QStringLiteral("result"), QStringLiteral("none"));
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    // Like every file the component writes, the log replaces an older one only when whole.
    try {
        core::writeFileWhole(QFile::encodeName(fileName).toStdString(), text.toStdString());
    } catch (const core::Error &e) {
        throw ArchiveError(QString::fromStdString(e.what()));
    }
}

void ArchiveComponent::StartNewArchive(const QString &fileName)
{
    qCInfo(lcArchive).noquote() << "StartNewArchive" << fileName;
    targetPath_ = fileName;
    pending_.clear();
    namesAsBytes_.clear();
    pendingIndex_.clear();
    indexed_ = 0;
    exclusions_ = PatternList{};
    passwordProtection_ = 0;
    encryption_ = 0;
    keyLength_ = 256;
    openedPath_.clear();
    openedEntries_.clear();
    openError_.clear();
}

void ArchiveComponent::AddFilesByPattern(const QString &pattern, int recurse)
{
    qCInfo(lcArchive).noquote() << "AddFilesByPattern" << pattern << recurse;
    addFiles(pattern, recurse != 0, false, false, true, false);
}

void ArchiveComponent::AddFilesByPatternFiltered(const QString &pattern, int recurse, int saveExtraPath,
                                                 int archiveOnly, int includeHidden, int includeSystem)
{
    qCInfo(lcArchive).noquote() << "AddFilesByPatternFiltered" << pattern << recurse << saveExtraPath << archiveOnly
                                << includeHidden << includeSystem;
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

core::WriteJob ArchiveComponent::writeJob(const QString &target, std::vector<core::WriteItem> &items) const
{
    items.clear();
    items.reserve(pending_.size());
    for (const Pending &p : pending_)
        items.push_back({bytesOfName(p.source), bytesOfName(p.name), p.folder, p.special});
    core::WriteJob job;
    job.target = QFile::encodeName(target).toStdString();
    job.entries = &items;
    job.password = encrypting() ? password_.toStdString() : std::string();
    job.keyLength = keyLength_;
    job.level = level_;
    job.threads = threads_;
    job.stop = &stop_;
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

// The file being written is never one of its own entries: an archive saved into the folder it
// archives would otherwise hold its previous version. Only entries of the target's name are
// looked at more closely.
void ArchiveComponent::dropTarget(const QString &target)
{
    struct stat t;
    if (::stat(QFile::encodeName(target).constData(), &t) != 0)
        return;
    const QString leaf = u'/' + QFileInfo(target).fileName();
    const auto isTarget = [&](const Pending &p) {
        struct stat s;
        return !p.folder && p.source.endsWith(leaf) && ::stat(bytesOfName(p.source).c_str(), &s) == 0
            && s.st_dev == t.st_dev && s.st_ino == t.st_ino;
    };
    if (std::erase_if(pending_, isTarget) > 0) {
        qCInfo(lcArchive).noquote() << "left out the target itself:" << target;
        pendingIndex_.clear();
        indexed_ = 0;
    }
}

// Every file is opened once before any is compressed: one that cannot be read refuses the
// archive at once, not after all the work before it. Files are not read here, and a file that
// has turned into a pipe since it was chosen does not make the open wait.
void ArchiveComponent::checkReadable() const
{
    for (const Pending &p : pending_) {
        if (p.folder || p.special)
            continue;
        const int fd = ::open(bytesOfName(p.source).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) {
            const QString why = QString::fromLocal8Bit(std::strerror(errno));
            qCInfo(lcArchive).noquote() << "refused before writing:" << p.source << why;
            throw ArchiveError(QStringLiteral("Cannot read %1: %2").arg(p.source, why));
        }
        ::close(fd);
    }
}

void ArchiveComponent::SaveArchive()
{
    qCInfo(lcArchive).noquote() << "SaveArchive" << targetPath_;
    if (targetPath_.isEmpty())
        throw ArchiveError(QStringLiteral("No file name was given for the archive"));
    dropTarget(targetPath_);
    checkReadable();
    // The object now holds what it wrote, so that it can be extracted at once.
    std::vector<core::WriteItem> items;
    std::vector<core::WrittenEntry> written;
    try {
        core::WriteJob job = writeJob(targetPath_, items);
        job.written = &written;
        core::writeArchive(job, [this](int p) { emit WriteZipPercentDone(p); });
    } catch (const core::Error &e) {
        qCInfo(lcArchive).noquote() << "SaveArchive failed:" << e.what();
        throw ArchiveError(QString::fromStdString(e.what()));
    }
    // Listed as a reader would list it, with the chosen names rather than decoded again.
    openedEntries_.clear();
    openedEntries_.reserve(written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        const core::WrittenEntry &w = written[i];
        QString name = pending_[i].name;
        if (w.folder && !name.endsWith(u'/'))
            name += u'/';
        openedEntries_.emplace_back(std::move(name), w.size, w.compressedSize, QDateTime::fromSecsSinceEpoch(w.mtime),
                                    w.encrypted, w.folder, false);
    }
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

void ArchiveComponent::setExeTarget(const QString &target)
{
    qCInfo(lcArchive) << "setExeTarget" << target;
    if (!target.isEmpty() && target != QLatin1String("windows") && target != QLatin1String("linux"))
        throw ArchiveError(QStringLiteral("The extractor program must be windows or linux, not %1").arg(target));
    exe_.target = target;
}

void ArchiveComponent::setExeVersionInfo(const QString &product, const QString &version, const QString &company)
{
    qCInfo(lcArchive).noquote() << "setExeVersionInfo" << product << version << company;
    if (!version.isEmpty()) {
        try {
            receiver::versionNumbers(version.toStdString());
        } catch (const core::Error &e) {
            throw ArchiveError(QString::fromStdString(e.what()));
        }
    }
    exe_.product = product;
    exe_.version = version;
    exe_.company = company;
}

void ArchiveComponent::setExeSigning(const QString &certificate, const QString &key, const QString &password,
                                     const QString &timestamp)
{
    qCInfo(lcArchive).noquote() << "setExeSigning" << certificate << key << describePassword(password) << timestamp;
    if (certificate.isEmpty() != key.isEmpty())
        throw ArchiveError(certificate.isEmpty() ? QStringLiteral("A signing key needs its certificate")
                                                 : QStringLiteral("A signing certificate needs its key"));
    if (certificate.isEmpty() && (!password.isEmpty() || !timestamp.isEmpty()))
        throw ArchiveError(QStringLiteral("A key password or a time-stamp server needs a certificate to sign with"));
    if (!timestamp.isEmpty() && !timestamp.startsWith(QLatin1String("http://"))
        && !timestamp.startsWith(QLatin1String("https://")))
        throw ArchiveError(
            QStringLiteral("The time-stamp server %1 is no web address (http:// or https://)").arg(timestamp));
    exe_.signCertificate = certificate;
    exe_.signKey = key;
    exe_.signPassword = password;
    exe_.timestampUrl = timestamp;
}

void ArchiveComponent::WriteSelfExtractingExe(const QString &target, int &out)
{
    qCInfo(lcArchive).noquote() << "WriteSelfExtractingExe" << target;
    out = 0;
    if (target.isEmpty())
        throw ArchiveError(QStringLiteral("No file name was given for the executable"));
    dropTarget(target);
    checkReadable();
    std::vector<core::WriteItem> items;
    try {
        writeSelfExtracting(writeJob(target, items), exe_, [this](int p) { emit WriteZipPercentDone(p); });
    } catch (const core::Error &e) {
        qCInfo(lcArchive).noquote() << "WriteSelfExtractingExe failed:" << e.what();
        throw ArchiveError(QString::fromStdString(e.what()));
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

OpenedArchive::OpenedArchive(const QString &path, const QString &codePage) : path_(path)
{
    if (path.isEmpty())
        throw ArchiveError(QStringLiteral("No archive file name was given"));
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0 && errno == ENOENT)
        throw ArchiveError(QStringLiteral("Cannot open %1: not found").arg(path), ArchiveError::Kind::NotFound);
    if (fd_ < 0)
        throw ArchiveError(
            QStringLiteral("Cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd_);
        throw ArchiveError(QStringLiteral("Cannot open %1: it is a folder, not a zip archive").arg(path),
                           ArchiveError::Kind::NotZip);
    }
    try {
        dir_ = core::readDirectory(fd_, codePage.toStdString());
    } catch (const core::Error &e) {
        ::close(fd_);
        const QString why = QString::fromStdString(e.what());
        if (e.kind() == core::Error::Kind::Refused)
            throw ArchiveError(QStringLiteral("Refused to open %1: %2").arg(path, why));
        throw ArchiveError(QStringLiteral("Cannot open %1: %2").arg(path, why),
                           e.kind() == core::Error::Kind::NotZip ? ArchiveError::Kind::NotZip
                                                                 : ArchiveError::Kind::Other);
    }
}

OpenedArchive::~OpenedArchive()
{
    ::close(fd_);
}

std::vector<ArchiveEntry> OpenedArchive::entries() const
{
    std::vector<ArchiveEntry> out;
    out.reserve(dir_.entries.size());
    for (const core::Entry &e : dir_.entries) {
        QDateTime modified;
        if (e.mtime != 0)
            modified = QDateTime::fromSecsSinceEpoch(e.mtime);
        out.emplace_back(QString::fromStdString(e.name), e.size, e.compressedSize, modified, e.encrypted(),
                         e.isFolder(), e.isLink());
    }
    return out;
}

} // namespace detail
} // namespace oz::archive
