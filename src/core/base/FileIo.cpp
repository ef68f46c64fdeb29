#include "FileIo.h"
#include "Error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace oz::core {

std::string systemError(int err)
{
    return std::strerror(err);
}

bool readAt(int fd, std::uint64_t offset, void *into, std::size_t size)
{
    return readUpTo(fd, offset, into, size) == size;
}

#ifdef _WIN32
std::size_t readUpTo(int fd, std::uint64_t offset, void *into, std::size_t size)
{
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    auto *p = static_cast<unsigned char *>(into);
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        if (!::ReadFile(file, p + done, want, &got, &at) || got == 0)
            break;
        done += got;
    }
    return done;
}

bool fileSize(int fd, std::uint64_t &size)
{
    LARGE_INTEGER n;
    if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)), &n))
        return false;
    size = static_cast<std::uint64_t>(n.QuadPart);
    return true;
}
#else
bool fileSize(int fd, std::uint64_t &size)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::size_t readUpTo(int fd, std::uint64_t offset, void *into, std::size_t size)
{
    auto *p = static_cast<unsigned char *>(into);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}
#endif

bool writeAll(int fd, const void *data, std::size_t size)
{
    const auto *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
#ifdef _WIN32
        const int w = ::_write(fd, p, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
#else
        const ssize_t w = ::write(fd, p, size);
#endif
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
