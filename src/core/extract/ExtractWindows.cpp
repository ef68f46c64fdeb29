// The writer on Windows. Names pass through windowsPath, so that no part names a stream, a drive
// or a device; a reparse point (junction, link) below the destination is never entered or
// written through; each file is written under a hidden temporary name beside its place and
// moved there once complete and checked. Links of the archive are not made: Windows lets only
// some users make them, and a link a receiver did not expect is no help.
#include "ExtractPlan.h"

#include "core/read/EntryReader.h"
#include "core/format/Names.h"
#include "core/files/Temporaries.h"
#include "core/base/Utf16.h"

#include <windows.h>

#include <ctime>
#include <optional>

namespace oz::core {

namespace {

std::string lastError()
{
    const DWORD code = ::GetLastError();
    wchar_t *text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string message = text ? fromWide(text) : "error " + std::to_string(code);
    if (text)
        ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

FILETIME fileTime(std::time_t t)
{
    const ULONGLONG ticks = (static_cast<ULONGLONG>(t) + 11644473600ULL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

bool deleteOnClose(HANDLE handle, bool on)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = on ? TRUE : FALSE;
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// A file that exists under a hidden temporary name until it is moved to its place. Until then
// the system deletes it when its handle closes, so that a killed process leaves nothing.
class TempFile {
public:
    TempFile(std::wstring path) : path_(std::move(path))
    {
        handle_ = ::CreateFileW(path_.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr);
        // Where the disposition cannot be set, the name is removed on every way out but a kill,
        // and the next run into the folder removes that one (removeLeftovers).
        deletePending_ = handle_ != INVALID_HANDLE_VALUE && deleteOnClose(handle_, true);
    }
    ~TempFile() { discard(); }
    TempFile(TempFile &&o) noexcept : path_(std::move(o.path_)), handle_(o.handle_), deletePending_(o.deletePending_)
    {
        o.handle_ = INVALID_HANDLE_VALUE, o.path_.clear();
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool write(const unsigned char *data, std::size_t size)
    {
        while (size > 0) {
            DWORD done = 0;
            const auto n = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            if (!::WriteFile(handle_, data, n, &done, nullptr) || done == 0)
                return false;
            data += done;
            size -= done;
        }
        return true;
    }
    void setTime(std::time_t mtime)
    {
        if (mtime != 0) {
            const FILETIME ft = fileTime(mtime);
            ::SetFileTime(handle_, nullptr, &ft, &ft);
        }
    }
    // Keeps the file beyond its handle, closes it, and gives it its name and its plain
    // attributes; false with the error kept.
    bool moveTo(const std::wstring &target, bool replace)
    {
        if (deletePending_ && !deleteOnClose(handle_, false))
            return false;
        deletePending_ = false;
        const bool closed = ::CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        if (!closed)
            return false;
        ::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::MoveFileExW(path_.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0))
            return false;
        path_.clear();
        return true;
    }
    void discard()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        if (!path_.empty())
            ::DeleteFileW(path_.c_str());
        path_.clear();
    }

private:
    std::wstring path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool deletePending_ = false;
};

class WindowsExtraction : public ExtractionPlan {
public:
    WindowsExtraction(int fd, const Directory &dir, const std::string &destination, const ExtractOptions &options,
                      ExtractReport &report)
        : ExtractionPlan(fd, dir, destination, options, report)
    {
        separator_ = '\\';
        system_ = TargetSystem::Windows;
        // A path of up to 32,767 UTF-16 units, the destination and the "\\?\" in front counted;
        // the destination's bytes are at least as many as its units.
        pathLimit_ = 32767 - 8 - std::min<std::size_t>(destination_.size(), 32767 - 8 - 260);
    }

private:
    std::wstring full(const std::string &rel) const
    {
        return rel.empty() ? root_ : root_ + L"\\" + toWide(backslashed(rel));
    }

    static std::string backslashed(std::string rel)
    {
        for (char &c : rel)
            if (c == '/')
                c = '\\';
        return rel;
    }

    bool openDestination() override
    {
        root_ = longPath(destination_);
        while (root_.size() > 7 && root_.back() == L'\\')
            root_.pop_back();
        const DWORD attributes = ::GetFileAttributesW(root_.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return false;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            throw Error("Cannot extract into " + printable(destination_) + ": it is a file, not a folder",
                        Error::Kind::Io);
        return true;
    }

    OnDisk onDisk(const std::string &rel) override
    {
        const DWORD attributes = ::GetFileAttributesW(full(rel).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return OnDisk::Nothing;
        // A junction or link is never a folder to write into: it may lead anywhere.
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return OnDisk::Folder;
        return OnDisk::Other;
    }

    bool diskLink(const std::string &, std::string &) override { return false; }

    std::size_t lengthOf(std::string_view path) const override { return toWide(std::string(path)).size(); }

    void write() override
    {
        if (options_.strict)
            checkFirst(); // all or nothing: not even a folder before every entry checked out
        const bool existed = onDisk("") == OnDisk::Folder;
        makeDestination();
        if (existed)
            removeLeftovers("");
        for (std::uint32_t f = 0; f < folders_.size(); ++f) {
            const std::string folder = folders_.path(f);
            if (existing_[f]) {
                removeLeftovers(folder);
                continue;
            }
            if (!::CreateDirectoryW(full(folder).c_str(), nullptr)) {
                if (::GetLastError() != ERROR_ALREADY_EXISTS || onDisk(folder) != OnDisk::Folder)
                    ioFailure(folder, lastError());
                continue;
            }
            made_.push_back(f);
        }
        foldersMade();
        writeFiles();
        setFolderTimes();
        reportDamaged();
    }

    void makeDestination()
    {
        // root_ was set by openDestination, which planning always runs first.
        if (onDisk("") == OnDisk::Folder)
            return;
        // Each missing folder of the path, from the top down; the first level that fails tells
        // why (a read-only parent: access denied), not the levels below it that then cannot be.
        DWORD cause = ERROR_SUCCESS;
        for (std::size_t at = root_.find(L'\\', 7);; at = root_.find(L'\\', at + 1)) {
            if (!::CreateDirectoryW((at == std::wstring::npos ? root_ : root_.substr(0, at)).c_str(), nullptr)
                && ::GetLastError() != ERROR_ALREADY_EXISTS && cause == ERROR_SUCCESS)
                cause = ::GetLastError();
            if (at == std::wstring::npos)
                break;
        }
        const DWORD attributes = ::GetFileAttributesW(root_.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (cause != ERROR_SUCCESS)
                ::SetLastError(cause);
            throw Error("Cannot create the folder " + printable(destination_) + ": " + lastError(), Error::Kind::Io);
        }
    }

    void writeFiles()
    {
        for (const Planned &p : plan_)
            if (p.type == EntryType::File)
                total_ += dir_.entries[p.entry].size;
        report();
        // Replacements of files that were there wait, open, until every entry has checked out.
        std::vector<std::pair<TempFile, const Planned *>> held;
        for (const Planned &p : plan_) {
            if (p.type != EntryType::File)
                continue; // a link is reported "skipped"
            checkStop();
            std::optional<TempFile> file = writeEntry(p);
            if (!file)
                continue;
            if (p.exists) {
                held.emplace_back(std::move(*file), &p);
                continue;
            }
            if (!file->moveTo(full(p.rel), false))
                ioFailure(p.rel, lastError());
            results_[p.entry] = EntryResult::Extracted;
            ++report_.files;
        }
        checkStop();
        for (auto &[file, p] : held) {
            if (anyDamaged()) {
                results_[p->entry] = EntryResult::Skipped; // a damaged archive replaces nothing
                continue;
            }
            if (!file.moveTo(full(p->rel), true))
                ioFailure(p->rel, lastError());
            results_[p->entry] = EntryResult::Extracted;
            ++report_.files;
        }
        report();
    }

    void report()
    {
        if (options_.progress)
            options_.progress(done_, total_);
    }

    // The entry written and checked under its hidden name; none when it is damaged.
    std::optional<TempFile> writeEntry(const Planned &p)
    {
        const Entry &e = dir_.entries[p.entry];
        const std::string hidden = parentOf(p.rel) + (parentOf(p.rel).empty() ? "" : "/")
            + temporaryName(::GetCurrentProcessId(), std::to_string(p.entry) + ".tmp");
        if (results_[p.entry] == EntryResult::Damaged)
            return std::nullopt; // found by the check before writing
        TempFile file(full(hidden));
        if (!file.ok())
            ioFailure(p.rel, lastError());
        try {
            EntryReader reader(fd_, e, options_.password);
            for (std::size_t n; (n = reader.read(buffer_.data(), buffer_.size())) > 0;) {
                checkStop();
                if (!file.write(buffer_.data(), n))
                    ioFailure(p.rel, lastError());
                done_ += n;
                report();
            }
        } catch (const Error &error) {
            if (error.kind() == Error::Kind::Damaged && !options_.strict) {
                entryDamaged(p.entry, error.what());
                return std::nullopt;
            }
            results_[p.entry] = EntryResult::Failed;
            if (error.kind() == Error::Kind::Io || error.kind() == Error::Kind::Stopped)
                throw;
            throw Error("Cannot extract \"" + printable(e.name) + "\": " + error.what(), error.kind());
        }
        file.setTime(e.mtime);
        return file;
    }

    // What killed runs left in the folders that were there; the new ones hold none.
    void removeLeftovers(const std::string &folder)
    {
        WIN32_FIND_DATAW found;
        HANDLE search = ::FindFirstFileW((full(folder) + L"\\.oz-*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return;
        do {
            const unsigned long pid = temporaryOwner(fromWide(found.cFileName).c_str());
            if (pid == 0 || pid == ::GetCurrentProcessId() || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                continue;
            HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
            if (process) {
                ::CloseHandle(process);
                continue;
            }
            if (::GetLastError() == ERROR_INVALID_PARAMETER) // no such process
                ::DeleteFileW((full(folder) + L"\\" + found.cFileName).c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }

    // The times of the folders this extraction made, once nothing more is written into them.
    void setFolderTimes()
    {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
            const std::string path = folders_.path(*it);
            const auto planned = byRel_.find(path);
            if (planned == byRel_.end() || dir_.entries[plan_[planned->second].entry].mtime == 0)
                continue;
            HANDLE folder = ::CreateFileW(full(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            if (folder == INVALID_HANDLE_VALUE)
                continue;
            const FILETIME ft = fileTime(dir_.entries[plan_[planned->second].entry].mtime);
            ::SetFileTime(folder, nullptr, &ft, &ft);
            ::CloseHandle(folder);
        }
    }

    std::wstring root_;
    std::vector<std::uint32_t> made_;
    std::uint64_t total_ = 0, done_ = 0;
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(256 * 1024);
};

} // namespace

void extractArchive(int archiveFd, const Directory &dir, const std::string &destination, const ExtractOptions &options,
                    ExtractReport &report)
{
    WindowsExtraction(archiveFd, dir, destination, options, report).run();
}

} // namespace oz::core
