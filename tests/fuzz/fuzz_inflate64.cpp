// Arbitrary bytes as a Deflate64 stream: never a crash or an endless loop, and the same bytes
// and the same outcome however the input and the room for output are cut. The first two bytes
// choose the cuts.
#include "core/base/Error.h"
#include "core/read/Inflate64.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Beyond this the stream is only more of the same: a few bytes may say gigabytes.
constexpr std::size_t outputLimit = 1u << 20;

struct Outcome {
    std::vector<unsigned char> bytes;
    bool ended = false;
    std::string error;
};

Outcome decode(const unsigned char *data, std::size_t size, std::size_t inPiece, std::size_t outPiece)
{
    oz::core::Inflate64 decoder;
    Outcome o;
    std::vector<unsigned char> room(outPiece);
    try {
        while (!decoder.ended() && o.bytes.size() < outputLimit) {
            const std::size_t piece = std::min(size, inPiece);
            std::size_t available = piece;
            const unsigned char *in = data;
            const std::size_t n = decoder.run(in, available, room.data(), room.size());
            if (in != data + (piece - available) || n > room.size())
                std::abort();
            o.bytes.insert(o.bytes.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(n));
            data = in;
            size -= piece - available;
            if (n == 0 && available == piece && !decoder.ended()) {
                if (piece == 0)
                    break;    // cut short
                std::abort(); // took nothing and gave nothing: a caller would loop for ever
            }
        }
    } catch (const oz::core::Error &e) {
        o.error = e.what();
    }
    o.ended = decoder.ended();
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t inPiece = 1 + data[0] % 97;
    const std::size_t outPiece = 1 + static_cast<std::size_t>(data[1]) * 263;
    const Outcome whole = decode(data + 2, size - 2, size, 1u << 20);
    const Outcome cut = decode(data + 2, size - 2, inPiece, outPiece);
    const std::size_t common = std::min(whole.bytes.size(), cut.bytes.size());
    if (!std::equal(whole.bytes.begin(), whole.bytes.begin() + static_cast<std::ptrdiff_t>(common), cut.bytes.begin()))
        std::abort();
    if (whole.bytes.size() >= outputLimit || cut.bytes.size() >= outputLimit)
        return 0;
    // How much was handed out before an error depends on the room given; the error does not.
    if (whole.error != cut.error)
        std::abort();
    if (whole.error.empty() && (whole.bytes != cut.bytes || whole.ended != cut.ended))
        std::abort();
    return 0;
}
