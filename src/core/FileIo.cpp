#include "FileIo.h"
#include "Error.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace oz::core {

std::string systemError(int err)
{
    return std::strerror(err);
}

bool readAt(int fd, std::uint64_t offset, void *into, std::size_t size)
{
    auto *p = static_cast<unsigned char *>(into);
    while (size > 0) {
        const ssize_t got = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        offset += static_cast<std::uint64_t>(got);
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const void *data, std::size_t size)
{
    const auto *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        const ssize_t w = ::write(fd, p, size);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = ENOSPC;
            return false;
        }
        p += w;
        size -= static_cast<std::size_t>(w);
    }
    return true;
}

} // namespace oz::core
