// The files an archive is made of: their folders opened once and shared by the threads, each
// file read through its open folder, and the sizes, times and modes taken at write time.
#pragma once

#include "WriteParts.h"
#include "ZipWriter.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string_view>
#include <unistd.h>

namespace oz::core::writer {

struct FolderHandle {
    explicit FolderHandle(int f) : fd(f) {}
    ~FolderHandle()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;
    const int fd;
};

// The folders of the chosen files, opened once and shared by all threads. A file opened or
// stat-ed by its bare name in an open folder skips the walk down its whole path, and on a tree of
// many thousand files those walks are a good part of the system time.
class Folders {
public:
    // What one thread used last, so that the files of one folder need no lock.
    struct Hint {
        std::string folder;
        std::shared_ptr<FolderHandle> handle;
    };

    // The open folder of the item, or -1 when it cannot be opened and the full path is to be used.
    int of(const Item &item, Hint &hint)
    {
        const std::string_view folder = std::string_view(item.path).substr(0, item.nameAt);
        if (folder.empty() || item.nameAt == item.path.size())
            return -1; // no folder part, or no name after it
        if (!hint.handle || hint.folder != folder) {
            hint.folder = std::string(folder);
            hint.handle = find(hint.folder);
        }
        return hint.handle->fd;
    }

private:
    std::shared_ptr<FolderHandle> find(const std::string &folder)
    {
        std::lock_guard lock(mutex_);
        for (Entry &e : open_) {
            if (e.folder == folder) {
                e.used = ++clock_;
                return e.handle;
            }
        }
        auto handle = std::make_shared<FolderHandle>(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        Entry entry{folder, handle, ++clock_};
        if (open_.size() < limit)
            open_.push_back(std::move(entry));
        else // a thread still using the folder it replaces keeps that one open
            *std::min_element(open_.begin(), open_.end(), [](const Entry &a, const Entry &b) {
                return a.used < b.used;
            }) = std::move(entry);
        return handle;
    }

    struct Entry {
        std::string folder;
        std::shared_ptr<FolderHandle> handle;
        std::uint64_t used = 0;
    };
    static constexpr std::size_t limit = 32;
    std::mutex mutex_;
    std::vector<Entry> open_;
    std::uint64_t clock_ = 0;
};

class FileReader {
public:
    // folder: the item's open folder, or -1 to open it by its full path.
    FileReader(const Item &item, int folder) : item_(item)
    {
        fd_ = folder >= 0 ? ::openat(folder, item.path.c_str() + item.nameAt, O_RDONLY | O_CLOEXEC)
                          : ::open(item.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            fail(errno);
        // Read-ahead advice pays for files streamed in chunks, not for ones read whole at once.
        if (item.streamed())
            ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~FileReader()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    // Fills as much of the buffer as the file has; 0 at its end.
    std::size_t read(unsigned char *out, std::size_t size)
    {
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::read(fd_, out + got, size - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail(errno);
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        return got;
    }
    [[noreturn]] void fail(int err) const { failed("Cannot read " + item_.source, err); }

private:
    const Item &item_;
    int fd_ = -1;
};

// Sizes and modes are taken now, at write time, not when the files were chosen.
std::vector<Item> describe(const std::vector<WriteItem> &entries, unsigned threads, Folders &folders);

} // namespace oz::core::writer
