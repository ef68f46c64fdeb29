// Where an archive goes: the target file, unnamed beside its name until complete, and the
// buffered output into it that can patch a header already written.
#pragma once

#include "core/files/Beneath.h"
#include "core/base/FileIo.h"
#include "core/files/NewFile.h"
#include "WriteParts.h"
#include "ZipWriter.h"

#include <cerrno>
#include <unistd.h>

namespace oz::core::writer {

// Output through a buffer, with room to patch a header already written.
class Output {
public:
    // start: what the file already holds in front of the archive, counted in every offset.
    Output(int fd, std::string target, std::uint64_t start) : fd_(fd), target_(std::move(target)), flushed_(start)
    {
        buffer_.reserve(capacity);
    }
    std::uint64_t offset() const { return flushed_ + buffer_.size(); }

    void write(const unsigned char *data, std::size_t size)
    {
        if (buffer_.size() + size > capacity)
            flush();
        if (size >= capacity) {
            writeFully(data, size);
            return;
        }
        buffer_.insert(buffer_.end(), data, data + size);
    }
    void write(const std::vector<unsigned char> &data) { write(data.data(), data.size()); }

    void patch(std::uint64_t at, const unsigned char *data, std::size_t size)
    {
        flush();
        while (size > 0) {
            const ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(at));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail(errno);
            data += n;
            at += static_cast<std::uint64_t>(n);
            size -= static_cast<std::size_t>(n);
        }
    }

    void flush()
    {
        writeFully(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

    [[noreturn]] void fail(int err) const { failed("Cannot write " + target_, err); }

private:
    static constexpr std::size_t capacity = 1u << 20;

    void writeFully(const unsigned char *data, std::size_t size)
    {
        if (!writeAll(fd_, data, size))
            fail(errno);
        flushed_ += size;
    }

    int fd_;
    std::string target_;
    std::vector<unsigned char> buffer_;
    std::uint64_t flushed_ = 0;
};

// The file of a write: unnamed in the target's folder until it is complete, the prefix (a
// self-extractor's program and settings) already in it.
struct Target {
    explicit Target(const WriteJob &job);
    void commit();

    Fd folder;
    NewFile file;
    mode_t mode = 0644;
    std::function<void(int fd)> finish;
};

// An archive with no entries is just the end-of-central-directory record.
void writeEmptyArchive(const WriteJob &job);

} // namespace oz::core::writer
