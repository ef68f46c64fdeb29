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

} // namespace oz::core
