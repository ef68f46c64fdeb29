// What the parts of the archive writer share: its limits and the three stages of an entry (an
// Item to write, a small file Prepared by a worker, what was Written).
#pragma once

#include "core/base/Error.h"
#include "core/format/ZipFormat.h"

#include <cstdint>
#include <exception>
#include <ctime>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace oz::core::writer {

// Files up to this size are read whole and deflated by a worker.
constexpr std::uint64_t wholeFileLimit = 8u << 20;
// What the workers may hold at once: read data plus deflated data.
constexpr std::uint64_t memoryBudget = 96u << 20;
// Chunk of the streamed files. Each is deflated without the 32 KiB before it;
// below 2 MiB that loss starts to show in the size of the entry.
constexpr std::size_t streamChunk = 2u << 20;
// Reads of the whole files are sliced so progress moves within large ones.
constexpr std::size_t readSlice = 256u << 10;
// A streamed file this large gets zip64 sizes in its local header up front.
constexpr std::uint64_t zip64Threshold = 0xF0000000u;
constexpr std::uint32_t max32 = 0xFFFFFFFFu;

[[noreturn]] inline void failed(const std::string &what, int err, Error::Kind kind = Error::Kind::Io)
{
    throw Error(what + ": " + systemError(err), kind);
}

struct Item {
    std::string name;
    std::string path;
    std::size_t nameAt = 0; // where the file's own name starts in path
    std::string source;
    bool folder = false;
    bool special = false;
    std::uint64_t size = 0;
    time_t mtime = 0;
    mode_t mode = 0;
    bool streamed() const { return !folder && !special && size > wholeFileLimit; }
};

// What a worker made of one small file, ready to be written.
struct Prepared {
    bool ready = false;
    std::exception_ptr error;              // what preparing it threw, thrown again when its turn comes
    std::uint16_t method = method::stored; // as compressed, before encryption
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::shared_ptr<const std::vector<unsigned char>> data; // the stored bytes, encrypted when asked
    std::uint64_t cost = 0;
    // Folders, links and empty files have no data.
    const std::vector<unsigned char> &bytes() const
    {
        static const std::vector<unsigned char> none;
        return data ? *data : none;
    }
};

// What the central directory needs of a written entry.
struct Written {
    std::uint16_t method = method::stored;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::uint64_t compSize = 0;
    std::uint64_t offset = 0;
    bool encrypted = false;
};

} // namespace oz::core::writer
