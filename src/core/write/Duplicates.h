// The writer's cache of files deflated a short while ago.
#pragma once

#include "WriteParts.h"

#include <array>
#include <cstring>
#include <deque>
#include <libdeflate.h>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace oz::core::writer {

// Files deflated a short while ago, so that a later file with the same bytes is not deflated
// again. Trees often hold copies (vendored libraries, headers per platform, licences), and
// deflate is by far the largest cost of a save. Reuse gives the very bytes deflating again
// would, since the compressor is deterministic. Size and CRC only find a candidate: its bytes
// are inflated and compared with the file's, so a crafted CRC collision cannot put one file's
// data under another's name. What is kept is bounded, the oldest going first.
class Duplicates {
public:
    struct Deflated {
        std::uint16_t method = method::stored;
        std::shared_ptr<const std::vector<unsigned char>> data;
    };

    // The kept result for exactly these bytes, if there is one. check is a buffer of at least
    // size bytes.
    std::optional<Deflated> find(const unsigned char *input, std::size_t size, std::uint32_t crc,
                                 libdeflate_decompressor *inflater, unsigned char *check)
    {
        if (size < smallest)
            return std::nullopt;
        const Key key{size, crc};
        Shard &shard = shardOf(key);
        Deflated candidate;
        {
            std::lock_guard lock(shard.mutex);
            const auto it = shard.kept.find(key);
            if (it == shard.kept.end())
                return std::nullopt;
            candidate = it->second;
        }
        const std::vector<unsigned char> &data = *candidate.data;
        const unsigned char *bytes = data.data();
        if (candidate.method == method::deflated) {
            std::size_t got = 0;
            if (libdeflate_deflate_decompress(inflater, data.data(), data.size(), check, size, &got)
                    != LIBDEFLATE_SUCCESS
                || got != size)
                return std::nullopt;
            bytes = check;
        } else if (data.size() != size) {
            return std::nullopt;
        }
        if (std::memcmp(bytes, input, size) != 0)
            return std::nullopt;
        return candidate;
    }

    // The first of several different files with one size and CRC is the one kept.
    void keep(std::size_t size, std::uint32_t crc, const Deflated &result)
    {
        const std::size_t bytes = result.data->size();
        if (size < smallest || bytes > largest)
            return;
        const Key key{size, crc};
        Shard &shard = shardOf(key);
        std::vector<Deflated> dropped; // freed outside the lock
        std::lock_guard lock(shard.mutex);
        if (!shard.kept.emplace(key, result).second)
            return;
        shard.order.push_back(key);
        shard.held += bytes;
        while (shard.held > limit / shards) {
            const auto oldest = shard.kept.find(shard.order.front());
            shard.held -= oldest->second.data->size();
            dropped.push_back(std::move(oldest->second));
            shard.kept.erase(oldest);
            shard.order.pop_front();
        }
    }

private:
    struct Key {
        std::size_t size;
        std::uint32_t crc;
        bool operator==(const Key &) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key &k) const { return k.crc ^ (k.size * 0x9E3779B97F4A7C15u); }
    };
    // Shards keep the workers from queueing for one lock on trees of many small files.
    struct Shard {
        std::mutex mutex;
        std::unordered_map<Key, Deflated, KeyHash> kept;
        std::deque<Key> order;
        std::size_t held = 0;
    };
    Shard &shardOf(const Key &key) { return shards_[key.crc % shards]; }

    // Copies in a tree lie near each other in the order of writing; a few MiB of deflated files
    // catch nearly all of them without holding much memory.
    static constexpr std::size_t limit = 4u << 20;
    static constexpr std::size_t largest = 512u << 10;
    // Below a few KiB, deflating costs about what keeping and finding does.
    static constexpr std::size_t smallest = 4096;
    static constexpr std::size_t shards = 8;
    std::array<Shard, shards> shards_;
};

} // namespace oz::core::writer
