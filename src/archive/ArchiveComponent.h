// The archive component: every zip operation the windows, the self-extracting
// builder and the command-line tool use. Reading, extraction and writing are
// the zip core's (src/core); this is their Qt face, with the file patterns
// that choose what a new archive holds.
//
// Calling model
//   Operations run on the caller's thread and return when their work is done;
//   the two progress signals are emitted on that thread during the call.
//   A failing operation throws ArchiveError whose what() is a sentence that a
//   window can show as it stands ("Cannot read /data/a.txt: Permission denied").
//
// Decisions the operation table leaves open
//   Patterns
//     A pattern is a folder path followed by a wildcard file name
//     ("/data/photos/*.jpg"). A pattern that names an existing folder, or ends
//     in a separator, means every file of that folder. A pattern that names an
//     existing file adds that file. Wildcards: '*' any run, '?' one character,
//     "*.*" every name (names without a dot too), case-insensitive, matched
//     against the file name only. A folder part that does not exist is an
//     error; a pattern that matches nothing adds nothing and is not an error.
//   Names
//     Files are stored under their path relative to the pattern's folder with
//     '/' separators ("sub/x.txt"). With "keep folder information" the names
//     keep the chosen folder's own path without root or drive
//     ("home/ann/photos/sub/x.jpg"). When two additions give the same name,
//     the later one replaces the earlier, as a later copy would on disk.
//   Recursion
//     Sub-folders are walked in name order. Every sub-folder that holds an
//     entry gets a folder entry of its own, written before its contents, so
//     that its time and mode come back on extraction; when the pattern takes
//     every name ("*.*" or "*"), an empty sub-folder gets one too. A narrower
//     pattern asks for files, and a folder whose files were all filtered out
//     gets no entry. Symbolic links to files add the file's content, links to
//     folders add the folder's (never one the walk is already inside, so a
//     link back up cannot loop); broken links count as system files.
//   Attributes (filtered additions)
//     Hidden: a name beginning with '.' (the hidden attribute on Windows);
//     hidden files and folders are skipped unless includeHidden is 1.
//     System: anything that is neither a regular file nor a folder (device,
//     pipe, socket, broken link); skipped unless includeSystem is 1, and then
//     stored as an empty regular file that nobody may write (its read bits
//     only): such files are never read, because reading a pipe or a device
//     would hang or never end, and never come back as a writable file.
//     Archive attribute: every file has it outside Windows, so archiveOnly
//     keeps every file there. The unfiltered AddFilesByPattern adds hidden
//     files (they were chosen explicitly) and skips system files.
//   Exclusions
//     Each pattern of the exclusion list is matched against file names with
//     the wildcard rules; "" excludes nothing. Folders are never excluded.
//   Counting
//     GetEntryCount is the number of entries SaveArchive will write, folder
//     entries included.
//   Writing
//     SaveArchive deflates every file (level 6 unless set otherwise), uses
//     zip64 where sizes need it, stores UTF-8 names, modification times and
//     permission bits (set-user, set-group and sticky bits dropped), and
//     encrypts with WinZip AES-256 when password protection or encryption is on
//     and the password is not empty (an empty password never encrypts).
//     The archive is written to a temporary file beside the target and renamed
//     over it only when everything succeeded; a failure leaves an existing
//     target as it was and no partial file. An archive with no entries is
//     written as a valid empty zip. Progress runs from 0 to 100 in proportion
//     to the bytes read and always ends at 100. After a successful write the
//     object holds the archive just written, opened with the password it was
//     written with, so that it can be listed and extracted at once.
//   Opening
//     OpenZip opens the archive and verifies the password set by SetPassword
//     against its encrypted entries: the smallest encrypted file is decrypted
//     completely, because the short password checks of both encryption
//     schemes let a wrong password through now and then. Reading accepts
//     WinZip AES-128/192/256 and traditional PKWARE encryption. An object whose
//     open failed holds no archive and yields an empty EntrySet.
//   Extraction
//     ExtractToFolder needs an opened archive and a non-empty folder; the folder
//     is created with its parents when missing. Everything that can refuse the
//     archive is checked before anything is written, the folder included:
//     names with ".." or NUL or absolute ones, links whose target leaves the
//     folder (resolved through the archive's own links and those on disk),
//     entries that would go through a link or into a file, methods and
//     encryption that cannot be read, and something on disk in the way. A
//     backslash separates folders only in names made on DOS or Windows; the
//     rest of a name comes back byte for byte. Paths are created below the
//     folder's descriptor without following any link, each file appears under
//     its name only once complete and verified (CRC, AES code, sizes), and
//     files that were there are replaced only once every entry checked out,
//     so a failure leaves them as they were. Of two entries of one name the
//     later wins. Times come from the exact-time fields where kept; modes pass
//     through the umask, folders keep rwx for their owner, set-user, set-group
//     and sticky bits are never restored. Progress runs from 0 to 100 by bytes.
//   Log
//     WriteLogFile writes an XML record of the object's last extraction:
//     archive, destination, each entry with its result, the error if any.
//   Executable settings
//     SetExeIconFile, SetExeRunProgram, SetExeRunParameters, SetExeAutoTemp and
//     SetExeAutoExtract are kept by the object across StartNewArchive.
//     WriteSelfExtractingExe writes an extractor program, a settings block with
//     the icon's name and content, and the archive with its offsets counted
//     from the start of the file, so that the executable is also a zip for
//     other tools. A target ending in ".exe" (any letter case) gets the Windows
//     program orvelzip-sfx.exe, whose icon becomes the chosen one; any other
//     name the Linux program orvelzip-sfx; setExeTarget overrides the choice.
//     Both are found beside the program, in ../libexec/orvelzip, or named by
//     ORVELZIP_SFX_EXTRACTOR / ORVELZIP_SFX_EXTRACTOR_WINDOWS. It replaces the
//     target only when all of it has been written, and makes the file
//     executable. An icon that cannot be read or used fails the write with its
//     reason. The out value is 1 on success, 0 on failure. A Windows program also
//     gets a version resource (setExeVersionInfo) and, when asked, an Authenticode
//     signature after the archive (setExeSigning); a signature that cannot be made,
//     or that would hide the archive from zip readers, leaves no executable.
//   Logging
//     Every operation is logged under the category orvelzip.archive with its
//     arguments; passwords only as "(empty)" or "(set)".
#pragma once

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <stdexcept>
#include <vector>

namespace oz::core {
struct Directory;
struct ExtractOptions;
enum class EntryResult;
struct ExtractReport;
struct WriteItem;
struct WriteJob;
} // namespace oz::core

namespace oz::archive {

class ArchiveError : public std::runtime_error {
public:
    // What kind of trouble, so that a window can choose what to do: a password prompt is for an
    // archive that wants a password, not for a file that is no archive at all.
    enum class Kind {
        Other,
        NotFound, // no such file
        NotZip,   // no zip archive: another kind of file, or a folder
        Password, // encrypted, and no password or a wrong one was set
        Stopped,  // the user chose to stop when asked about a file that exists
    };
    explicit ArchiveError(const QString &reason, Kind kind = Kind::Other);
    QString reason() const;
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// One entry of an archive as GetEntries yields it.
class ArchiveEntry {
public:
    ArchiveEntry() = default;
    ArchiveEntry(QString name, std::uint64_t size, std::uint64_t compressedSize, QDateTime modified, bool encrypted,
                 bool folder, bool link);

    QString GetEntryName() const { return name_; }
    std::uint64_t size() const { return size_; }
    std::uint64_t compressedSize() const { return compressedSize_; }
    QDateTime modified() const { return modified_; }
    bool isEncrypted() const { return encrypted_; }
    bool isFolder() const { return folder_; }
    bool isLink() const { return link_; }

private:
    QString name_;
    std::uint64_t size_ = 0;
    std::uint64_t compressedSize_ = 0;
    QDateTime modified_;
    bool encrypted_ = false;
    bool folder_ = false;
    bool link_ = false;
};

// The entries of an archive, walked once with HasMoreEntries / GetNextEntry.
class EntrySet {
public:
    EntrySet() = default;
    explicit EntrySet(std::vector<ArchiveEntry> entries);

    int HasMoreEntries() const;
    ArchiveEntry GetNextEntry();
    int count() const { return static_cast<int>(entries_.size()); }

private:
    std::vector<ArchiveEntry> entries_;
    std::size_t next_ = 0;
};

class PatternList {
public:
    void Add(const QString &text) { patterns_.append(text); }
    const QStringList &patterns() const { return patterns_; }
    // True when a file name matches one of the patterns; "" matches nothing.
    bool matches(const QString &fileName) const;

private:
    QStringList patterns_;
};

// Settings that a self-extracting executable carries.
struct ExeSettings {
    QString iconFile;
    QString runProgram;
    QString runParameters;
    int autoTemp = 0;
    int autoExtract = 0;
    // "windows" or "linux"; empty: by the target's name.
    QString target;
    // The version resource of a Windows program; empty values take their defaults.
    QString product;
    QString version;
    QString company;
    // Authenticode signing of a Windows program; no certificate, no signature.
    QString signCertificate;
    QString signKey;
    QString signPassword;
    QString timestampUrl;
};

// A file that extraction would replace, as a question about it shows it: its path, and the size
// and time of the file on disk and of the entry (-1 and an invalid time where unknown).
struct ExistingFile {
    QString path;
    qint64 size = -1;
    QDateTime modified;
    qint64 newSize = -1;
    QDateTime newModified;
};
enum class ReplaceAnswer { Replace, ReplaceAll, Keep, KeepAll, Stop };
using ReplaceQuestion = std::function<ReplaceAnswer(const ExistingFile &)>;

// What the last extraction did, for WriteLogFile.
struct ExtractionRecord {
    struct Item {
        QString name;
        core::EntryResult result; // core::resultText gives the word the log writes
    };
    QString archive;
    QString destination;
    std::vector<Item> items;
    QStringList damaged; // entries found damaged while extracting: every other one is in place
    QString error;
    bool ran = false;
};

// Zip times are local times, and glibc reads the zone file again at every local-time
// conversion while TZ is unset: two file checks for each entry listed or extracted. Programs
// call this once at start, before any thread, to name the same zone file and keep one read.
void pinTimeZone();

class ArchiveComponent : public QObject {
    Q_OBJECT
public:
    explicit ArchiveComponent(QObject *parent = nullptr);
    ~ArchiveComponent() override;

    // Reading
    void SetPassword(const QString &password);
    void OpenZip(const QString &path);
    EntrySet GetEntries() const;
    void ExtractToFolder(const QString &folder);
    // Extracts the one entry at index of GetEntries, which must still be called name, below
    // folder, with every check ExtractToFolder makes. Returns the path it has there.
    QString ExtractEntry(int index, const QString &name, const QString &folder);
    void WriteLogFile(const QString &fileName) const;

    // Writing
    void StartNewArchive(const QString &fileName);
    void AddFilesByPattern(const QString &pattern, int recurse);
    void AddFilesByPatternFiltered(const QString &pattern, int recurse, int saveExtraPath, int archiveOnly,
                                   int includeHidden, int includeSystem);
    void SetExclusionList(const PatternList &list);
    void SetPasswordProtection(int on);
    void SetArchiveFileName(const QString &path);
    int GetEntryCount() const;
    void SaveArchive();
    void SetEncryption(int on);
    void SetEncryptionKeyLength(int bits);

    // Executable settings
    void SetExeIconFile(const QString &path);
    void SetExeRunProgram(const QString &fileName);
    void SetExeRunParameters(const QString &text);
    void SetExeAutoTemp(int on);
    void SetExeAutoExtract(int on);
    void WriteSelfExtractingExe(const QString &target, int &out);
    // The extractor program: "windows", "linux", or "" to choose by the target's name (".exe"
    // in any letter case is Windows). Kept across StartNewArchive, like the other settings.
    void setExeTarget(const QString &target);
    // What Explorer shows of a Windows executable: its product name (default: the executable's
    // name), its version ("1" to "1.2.3.4", default: this program's) and its maker (default:
    // none, and no copyright then). A Linux program carries no such resource. Throws
    // ArchiveError for a version Windows cannot hold. Kept across StartNewArchive.
    void setExeVersionInfo(const QString &product, const QString &version, const QString &company);
    // Signs a Windows executable with Authenticode once its archive is in: the certificate and
    // key files (PEM or DER), the key's password, a time-stamp server (http:// or https://).
    // An empty certificate signs nothing. Throws ArchiveError for a key or certificate missing
    // the other, or a server that is no web address. Kept across StartNewArchive.
    void setExeSigning(const QString &certificate, const QString &key, const QString &password,
                       const QString &timestamp);
    const ExeSettings &exeSettings() const { return exe_; }

    // Beyond the table, for the command-line tool and tests.
    void setCompressionLevel(int level);
    // Worker threads for writing and extracting; 0, the default, is one per core.
    void setThreads(int threads);
    // Lists an archive without opening it for extraction: no password check. Names that are not
    // UTF-8 are read in the code page names (ORVELZIP_NAMES's when empty, see setNameCodePage);
    // codePage receives the one they were read in (see openedCodePage).
    static std::vector<ArchiveEntry> ListZip(const QString &path, QString *codePage = nullptr,
                                             const QString &names = {});
    // The code page names that are not UTF-8 are read in ("CP866", "cp932", "Shift_JIS"), or ""
    // to choose one per archive; ORVELZIP_NAMES gives it to every new object. Throws
    // ArchiveError for a name that is no such code page.
    void setNameCodePage(const QString &codePage);
    static QString namesFromEnvironment();
    // What the opened archive's names that are not UTF-8 were read in: "UTF-8" when there are
    // none, "bytes as stored" for names made on Unix, else the code page.
    QString openedCodePage() const { return openedCodePage_; }
    // For each entry, the path ('/' separated) its extraction on system ("windows" or "linux")
    // gives it where that is not its name (a name that system cannot hold, or one it would take
    // for another entry's); empty where the name stays. Names are read as ListZip reads them.
    static QStringList ListPlaces(const QString &path, const QString &system, const QString &names = {});
    // Reads every entry of the opened archive completely, verifying CRCs and
    // AES authentication, and writes nothing.
    void TestZip();
    // Whether extraction replaces files that exist already (the default) or
    // leaves them and records them as skipped.
    void setReplaceExisting(bool replace) { replaceExisting_ = replace; }
    // All or nothing: every entry is checked before the first is written. Otherwise a damaged
    // entry fails alone, ExtractToFolder throws naming it, and lastExtraction().damaged lists it.
    void setStrict(bool strict) { strict_ = strict; }
    // Asks about each file that is there already, before anything is written; replaces
    // setReplaceExisting while set. Stop ends the extraction with ArchiveError (Stopped) and
    // nothing written. An empty function goes back to setReplaceExisting's rule.
    void setReplaceQuestion(ReplaceQuestion ask) { replaceQuestion_ = std::move(ask); }
    // Asks a running SaveArchive, WriteSelfExtractingExe or ExtractToFolder, from any thread, to
    // end soon; it then fails as a failure would, leaving no partial file. The request holds
    // until clearStop, which a caller calls before it starts the next operation.
    void requestStop() { stop_ = true; }
    void clearStop() { stop_ = false; }
    QString openedPath() const { return openedPath_; }
    // The names chosen since StartNewArchive that are not UTF-8 (see nameFromBytes): they are
    // stored as their bytes, without the mark that says a name is UTF-8, as Info-ZIP stores them.
    const QStringList &namesStoredAsBytes() const { return namesAsBytes_; }
    bool isOpen() const { return !openedPath_.isEmpty(); }
    const ExtractionRecord &lastExtraction() const { return record_; }

signals:
    void UnzipPercentDone(int percentDone);
    void WriteZipPercentDone(int percentComplete);

public:
    // A file chosen for the next SaveArchive.
    struct Pending {
        QString source; // absolute path on disk; empty for folder entries
        QString name;   // entry name, '/' separated, folders end in '/'
        bool folder = false;
        bool special = false; // device, pipe, socket: stored empty, never read
    };

private:
    struct Chosen {
        int index;
        QString name;
    };
    void extract(const QString &folder, const std::optional<Chosen> &chosen, std::string *place);
    core::ExtractOptions extractOptions(bool &stopped) const;
    void addFiles(const QString &pattern, bool recurse, bool saveExtraPath, bool filtered, bool includeHidden,
                  bool includeSystem);
    void addPending(Pending p);
    void noteNameBytes(const Pending &p);
    bool encrypting() const;
    // A job for the core's writer; items receives the chosen files in its terms.
    core::WriteJob writeJob(const QString &target, std::vector<core::WriteItem> &items) const;
    void keepRecord(const core::ExtractReport &report);
    void dropTarget(const QString &target);
    void checkReadable() const;

    QString password_;
    QString openedPath_;
    QString openError_; // why the last OpenZip failed
    QString openedCodePage_;
    QString nameCodePage_;
    std::vector<ArchiveEntry> openedEntries_;

    QString targetPath_;
    std::vector<Pending> pending_;
    QStringList namesAsBytes_;
    // Entry name -> place in pending_, for the first indexed_ entries. A walk into an empty list
    // cannot meet a name twice, so the index is only brought up to date when a later walk needs it.
    QHash<QString, std::size_t> pendingIndex_;
    std::size_t indexed_ = 0;
    PatternList exclusions_;
    int passwordProtection_ = 0;
    int encryption_ = 0;
    int keyLength_ = 256;
    int level_ = 6;
    int threads_ = 0;
    bool replaceExisting_ = true;
    bool strict_ = false;
    ReplaceQuestion replaceQuestion_;
    ExeSettings exe_;
    ExtractionRecord record_;
    std::atomic<bool> stop_{false};
};

} // namespace oz::archive
