#include "ChunkDeflater.h"

#include "ZipWriter.h"

#include <zlib.h>

namespace oz::core {

// libdeflate writes only whole streams, whose last block carries the final
// mark. Deflate blocks do not say how long they are, so only decoding finds
// where that last block starts: zlib's inflate stops at each block boundary
// and tells the bit it reached. The mark is cleared there, and an empty stored
// block after the end brings the stream to a byte boundary.
bool deflatePiece(libdeflate_compressor *compressor, const unsigned char *data, std::size_t size, bool last,
                  std::vector<unsigned char> &out)
{
    out.resize(libdeflate_deflate_compress_bound(compressor, size) + 5);
    const std::size_t n = libdeflate_deflate_compress(compressor, data, size, out.data(), out.size());
    out.resize(n);
    if (n == 0 || last)
        return n > 0;

    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return false;
    unsigned char sink[1 << 15];
    z.next_in = out.data();
    z.avail_in = static_cast<uInt>(out.size());
    std::size_t blockStart = 0, end = 0; // bit offsets
    for (;;) {
        z.next_out = sink;
        z.avail_out = sizeof sink;
        if (inflate(&z, Z_BLOCK) != Z_OK)
            break;
        if (!(z.data_type & 128))
            continue; // within a block
        const std::size_t at = static_cast<std::size_t>(z.next_in - out.data()) * 8 - (z.data_type & 7);
        if (z.data_type & 64) {
            end = at; // after the final block
            break;
        }
        blockStart = at;
    }
    inflateEnd(&z);
    if (end == 0 || (end + 7) / 8 != out.size())
        return false;

    out[blockStart / 8] &= static_cast<unsigned char>(~(1u << (blockStart % 8)));
    const unsigned used = end % 8; // bits of the last byte in use
    if (used != 0)
        out.back() &= static_cast<unsigned char>((1u << used) - 1);
    // The stored block's three header bits are zero, as is the padding after them;
    // they fit in what is left of the last byte, or else start one more.
    if (used == 0 || used > 5)
        out.push_back(0);
    for (unsigned char b : {0x00, 0x00, 0xFF, 0xFF}) // length 0 and its complement
        out.push_back(b);
    return true;
}

} // namespace oz::core
