// Whole reads and writes on file descriptors, retried across short transfers and signals.
#pragma once

#include <cstddef>
#include <cstdint>

namespace oz::core {

// True when all size bytes were read at offset; false at an error or the end of the file.
bool readAt(int fd, std::uint64_t offset, void *into, std::size_t size);
// As many of size bytes at offset as there are before the end of the file or an error.
std::size_t readUpTo(int fd, std::uint64_t offset, void *into, std::size_t size);
// The size of the open file; false when it cannot be had.
bool fileSize(int fd, std::uint64_t &size);
// True when all size bytes were written; errno tells why not.
bool writeAll(int fd, const void *data, std::size_t size);

inline std::uint16_t le16(const unsigned char *p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t le32(const unsigned char *p)
{
    return le16(p) | static_cast<std::uint32_t>(le16(p + 2)) << 16;
}
inline std::uint64_t le64(const unsigned char *p)
{
    return le32(p) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

} // namespace oz::core
