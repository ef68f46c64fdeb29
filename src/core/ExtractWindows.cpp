// The writer on Windows. Names pass through windowsPath, so that no part names a stream, a drive
// or a device; a reparse point (junction, link) below the destination is never entered or
// written through; each file is written under a hidden temporary name beside its place and
// moved there once complete and checked. Links of the archive are not made: Windows lets only
// some users make them, and a link a receiver did not expect is no help.
#include "ExtractPlan.h"

#include "EntryReader.h"
#include "Names.h"
#include "Utf16.h"

#include <windows.h>

#include <ctime>

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

// A file that exists under a hidden temporary name until it is moved to its place.
class TempFile {
public:
    TempFile(std::wstring path) : path_(std::move(path))
    {
        handle_ = ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr);
    }
    ~TempFile() { discard(); }
    TempFile(TempFile &&o) noexcept : path_(std::move(o.path_)), handle_(o.handle_)
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
    bool close(std::time_t mtime)
    {
        if (mtime != 0) {
            const FILETIME ft = fileTime(mtime);
            ::SetFileTime(handle_, nullptr, &ft, &ft);
        }
        const bool closed = ::CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }
    // Gives the file its name and its plain attributes; false with the error kept.
    bool moveTo(const std::wstring &target, bool replace)
    {
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
};

class WindowsExtraction : public ExtractionPlan {
public:
    WindowsExtraction(int fd, const Directory &dir, const std::string &destination, const ExtractOptions &options,
                      ExtractReport &report)
        : ExtractionPlan(fd, dir, destination, options, report)
    {
        separator_ = '\\';
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

    std::string localPath(const std::string &rel) const override { return windowsPath(rel); }

    void write() override
    {
        makeDestination();
        for (const std::string &folder : folders_) {
            if (existing_.count(folder))
                continue;
            if (!::CreateDirectoryW(full(folder).c_str(), nullptr)) {
                if (::GetLastError() != ERROR_ALREADY_EXISTS || onDisk(folder) != OnDisk::Folder)
                    ioFailure(folder, lastError());
                continue;
            }
            made_.push_back(folder);
        }
        foldersMade();
        writeFiles();
        setFolderTimes();
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
        std::uint64_t total = 0, done = 0;
        for (const Planned &p : plan_)
            if (p.type == EntryType::File)
                total += dir_.entries[p.entry].size;
        auto report = [&] {
            if (options_.progress)
                options_.progress(done, total);
        };
        report();
        std::vector<unsigned char> buffer(256 * 1024);
        // Replacements of files that were there wait until every entry has checked out.
        std::vector<std::pair<TempFile, const Planned *>> held;
        for (const Planned &p : plan_) {
            if (p.type == EntryType::Link)
                continue; // reported "skipped"
            if (p.type != EntryType::File)
                continue;
            checkStop();
            const Entry &e = dir_.entries[p.entry];
            const std::string hidden = parentOf(p.rel) + (parentOf(p.rel).empty() ? "" : "/") + ".oz-"
                + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(p.entry) + ".tmp";
            TempFile file(full(hidden));
            if (!file.ok())
                ioFailure(p.rel, lastError());
            try {
                EntryReader reader(fd_, e, options_.password);
                for (std::size_t n; (n = reader.read(buffer.data(), buffer.size())) > 0;) {
                    checkStop();
                    if (!file.write(buffer.data(), n))
                        ioFailure(p.rel, lastError());
                    done += n;
                    report();
                }
            } catch (const Error &error) {
                results_[p.entry] = "failed";
                if (error.kind() == Error::Kind::Io || error.kind() == Error::Kind::Stopped)
                    throw;
                throw Error("Cannot extract \"" + printable(e.name) + "\": " + error.what(), error.kind());
            }
            if (!file.close(e.mtime))
                ioFailure(p.rel, lastError());
            if (p.exists) {
                held.emplace_back(std::move(file), &p);
                continue;
            }
            if (!file.moveTo(full(p.rel), false))
                ioFailure(p.rel, lastError());
            results_[p.entry] = "extracted";
            ++report_.files;
        }
        checkStop();
        for (auto &[file, p] : held) {
            if (!file.moveTo(full(p->rel), true))
                ioFailure(p->rel, lastError());
            results_[p->entry] = "extracted";
            ++report_.files;
        }
        report();
    }

    // The times of the folders this extraction made, once nothing more is written into them.
    void setFolderTimes()
    {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
            const auto planned = byRel_.find(*it);
            if (planned == byRel_.end() || dir_.entries[plan_[planned->second].entry].mtime == 0)
                continue;
            HANDLE folder = ::CreateFileW(full(*it).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            if (folder == INVALID_HANDLE_VALUE)
                continue;
            const FILETIME ft = fileTime(dir_.entries[plan_[planned->second].entry].mtime);
            ::SetFileTime(folder, nullptr, &ft, &ft);
            ::CloseHandle(folder);
        }
    }

    std::wstring root_;
    std::vector<std::string> made_;
};

} // namespace

void extractArchive(int archiveFd, const Directory &dir, const std::string &destination, const ExtractOptions &options,
                    ExtractReport &report)
{
    WindowsExtraction(archiveFd, dir, destination, options, report).run();
}

} // namespace oz::core
