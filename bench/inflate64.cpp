// Deflate64 decoding speed against zlib's inflate, on one deflate stream both read (no match of
// 258 bytes, nothing beyond 32 KiB), streamed through a 256 KiB output buffer as EntryReader does.
#include "core/read/Inflate64.h"

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

std::string wordsText(std::size_t size)
{
    static const char *words[] = {"zip ", "archive ", "Orvel ", "window ", "deflate ", "the ", "of ", "a\n"};
    std::mt19937 random(7);
    std::string text;
    while (text.size() < size) {
        text += words[random() % 8];
        if (random() % 5 == 0)
            text += std::to_string(random() % 100000) + ' ';
    }
    text.resize(size);
    return text;
}

std::vector<unsigned char> rawDeflate(const std::string &data, int level)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> out(deflateBound(&z, data.size()));
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::size_t zlibInflate(const std::vector<unsigned char> &stream)
{
    std::vector<unsigned char> room(256 * 1024);
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    z.next_in = const_cast<Bytef *>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    std::size_t total = 0;
    for (int rc = Z_OK; rc == Z_OK;) {
        z.next_out = room.data();
        z.avail_out = static_cast<uInt>(room.size());
        rc = inflate(&z, Z_NO_FLUSH);
        total += room.size() - z.avail_out;
    }
    inflateEnd(&z);
    return total;
}

std::size_t ourInflate(const std::vector<unsigned char> &stream)
{
    std::vector<unsigned char> room(256 * 1024);
    oz::core::Inflate64 d;
    const unsigned char *in = stream.data();
    std::size_t left = stream.size();
    std::size_t total = 0;
    while (!d.ended()) {
        // Input in the pieces EntryReader reads.
        std::size_t piece = left < 256 * 1024 ? left : 256 * 1024;
        const std::size_t before = piece;
        total += d.run(in, piece, room.data(), room.size());
        left -= before - piece;
    }
    return total;
}

template <class F>
double mbPerSecond(F decode, const std::vector<unsigned char> &stream, std::size_t size)
{
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        if (decode(stream) != size)
            std::printf("wrong size\n");
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return static_cast<double>(size) / best / 1e6;
}

} // namespace

int main()
{
    const std::string text = wordsText(64u << 20);
    for (int level : {1, 6, 9}) {
        const auto stream = rawDeflate(text, level);
        std::printf("level %d (%.1f%%): zlib %.0f MB/s, Inflate64 %.0f MB/s\n", level,
                    100.0 * static_cast<double>(stream.size()) / static_cast<double>(text.size()),
                    mbPerSecond(zlibInflate, stream, text.size()), mbPerSecond(ourInflate, stream, text.size()));
    }
}
