// What a worker makes of one small file: read whole, deflated (or taken from a duplicate
// deflated shortly before), encrypted when asked, ready to be written in one piece.
#pragma once

#include "Duplicates.h"
#include "SourceFiles.h"
#include "WriteParts.h"

#include <atomic>
#include <libdeflate.h>

namespace oz::core::writer {

// A worker's buffers, kept from file to file: fresh large allocations are fresh pages, and
// faulting them in cost more than copying the result out. They are made at their kept size at
// once, since pages never touched cost nothing, while growing step by step faults each step
// afresh; only a file larger than that gets buffers of its own, freed after it.
struct Scratch {
    explicit Scratch(std::size_t kept) : keptSize(kept) {}
    std::unique_ptr<unsigned char[]> input, deflated;
    std::size_t inputSize = 0, deflatedSize = 0;
    libdeflate_decompressor *inflater = nullptr; // for comparing with a kept duplicate
    const std::size_t keptSize;
    unsigned char *atLeast(std::unique_ptr<unsigned char[]> &buffer, std::size_t &size, std::size_t want) const
    {
        if (size < want) {
            size = std::max(want, keptSize);
            buffer.reset(new unsigned char[size]);
        }
        return buffer.get();
    }
    // A large file's buffers are counted in the budget while it is held.
    void trim()
    {
        if (inputSize > keptSize) {
            input.reset();
            inputSize = 0;
        }
        if (deflatedSize > keptSize) {
            deflated.reset();
            deflatedSize = 0;
        }
    }
};

struct SmallFileContext {
    libdeflate_compressor *compressor; // nullptr: stored
    Folders &folders;
    Duplicates &duplicates;
    const std::string &password; // empty: not encrypted
    int keyLength;
    std::atomic<std::uint64_t> &processed; // bytes read and deflated, for progress
};

// Throws Error when the file cannot be read.
void prepareSmallFile(const Item &item, const SmallFileContext &context, Scratch &scratch, Folders::Hint &hint,
                      Prepared &result);

} // namespace oz::core::writer
