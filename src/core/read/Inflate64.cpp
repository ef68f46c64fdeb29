#include "Inflate64.h"

#include "core/base/Error.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace oz::core {

namespace {

[[noreturn]] void invalid(const char *why)
{
    throw Error(std::string("Compressed data invalid: ") + why, Error::Kind::Damaged);
}

constexpr std::size_t history = 64 * 1024; // the farthest a match reaches back
// Decoded bytes wait here until they are handed out; the last 64 KiB move to the front when it
// is full, so a larger window means fewer moves.
constexpr std::size_t windowSize = history + 448 * 1024;
constexpr unsigned maxBits = 15;

// A table entry: bits 0-7 the bits its code takes (those past the root for an entry of a
// sub-table), 8-12 the extra bits that follow the code, 13-15 its kind, 16-31 its value: the
// byte of a literal, the base of a length or a distance, where a sub-table starts.
enum Kind : std::uint32_t { none = 0, literal = 1, copy = 2, endOfBlock = 3, subTable = 4 };

constexpr std::uint32_t entry(Kind kind, unsigned bits, unsigned extra, unsigned value)
{
    return bits | extra << 8 | static_cast<std::uint32_t>(kind) << 13 | static_cast<std::uint32_t>(value) << 16;
}
inline unsigned bitsOf(std::uint32_t e)
{
    return e & 0xFF;
}
inline unsigned extraOf(std::uint32_t e)
{
    return (e >> 8) & 0x1F;
}
inline Kind kindOf(std::uint32_t e)
{
    return static_cast<Kind>((e >> 13) & 7);
}
inline unsigned valueOf(std::uint32_t e)
{
    return e >> 16;
}

// Lengths 257-285 and distances 0-31. Where Deflate64 parts from deflate: 285 is no longer 258
// but 3 plus 16 extra bits, and distances 30 and 31 reach to 64 KiB.
constexpr std::uint16_t lengthBase[29]
    = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
constexpr std::uint8_t lengthExtra[29]
    = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
constexpr std::uint16_t distanceBase[32]
    = {1,   2,   3,   4,   5,    7,    9,    13,   17,   25,   33,   49,    65,    97,    129,   193,
       257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr std::uint8_t distanceExtra[32]
    = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
// The order in which a dynamic block sends the lengths of its code-length code.
constexpr std::uint8_t codeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

std::uint32_t literalLengthMeaning(unsigned symbol)
{
    if (symbol < 256)
        return entry(literal, 0, 0, symbol);
    if (symbol == 256)
        return entry(endOfBlock, 0, 0, 0);
    if (symbol < 286)
        return entry(copy, 0, lengthExtra[symbol - 257], lengthBase[symbol - 257]);
    return entry(none, 0, 0, 0); // 286 and 287 take part in the code but never occur
}

std::uint32_t distanceMeaning(unsigned symbol)
{
    return entry(copy, 0, distanceExtra[symbol], distanceBase[symbol]);
}

std::uint32_t codeLengthMeaning(unsigned symbol)
{
    return entry(literal, 0, 0, symbol);
}

unsigned reversed(unsigned code, unsigned bits)
{
    unsigned r = 0;
    for (unsigned i = 0; i < bits; ++i, code >>= 1)
        r = (r << 1) | (code & 1);
    return r;
}

// A canonical Huffman code as tables: a root table indexed by the next root bits of the
// stream and, for the longer codes, sub-tables indexed by the bits after those. The stream
// sends a code's first bit first, so the tables are indexed by codes reversed.
class Huffman {
public:
    // Room for a sub-table of the longest codes under every symbol: more than any code needs.
    Huffman(unsigned root, unsigned symbols) : root_(root), table_((1u << root) + symbols * (1u << (maxBits - root))) {}
    // False when the lengths ask for more codes than there are. A code with fewer is taken:
    // its unused entries fail only when the stream reaches them.
    bool build(const std::uint8_t *lengths, unsigned count, std::uint32_t (*meaning)(unsigned));
    unsigned root() const { return root_; }
    const std::uint32_t *table() const { return table_.data(); }

private:
    void place(unsigned code, unsigned length, unsigned subBits, std::uint32_t meaning, unsigned &used);

    unsigned root_;
    std::vector<std::uint32_t> table_;
};

bool Huffman::build(const std::uint8_t *lengths, unsigned count, std::uint32_t (*meaning)(unsigned))
{
    unsigned counts[maxBits + 1] = {};
    unsigned longest = 0;
    for (unsigned s = 0; s < count; ++s) {
        ++counts[lengths[s]];
        longest = std::max<unsigned>(longest, lengths[s]);
    }
    counts[0] = 0;
    int left = 1;
    for (unsigned length = 1; length <= maxBits; ++length) {
        left = left * 2 - static_cast<int>(counts[length]);
        if (left < 0)
            return false;
    }
    unsigned next[maxBits + 1] = {};
    for (unsigned length = 1, code = 0; length <= maxBits; ++length) {
        code = (code + counts[length - 1]) << 1;
        next[length] = code;
    }
    // Every sub-table is as wide as the longest code needs; unused entries fail on use.
    const unsigned subBits = longest > root_ ? longest - root_ : 0;
    std::fill_n(table_.begin(), 1u << root_, entry(none, root_, 0, 0));
    unsigned used = 1u << root_;
    for (unsigned s = 0; s < count; ++s) {
        if (lengths[s] != 0)
            place(next[lengths[s]]++, lengths[s], subBits, meaning(s), used);
    }
    return true;
}

void Huffman::place(unsigned code, unsigned length, unsigned subBits, std::uint32_t meaning, unsigned &used)
{
    if (length <= root_) {
        for (unsigned i = reversed(code, length); i < (1u << root_); i += 1u << length)
            table_[i] = meaning | length;
        return;
    }
    const unsigned tail = length - root_;
    const unsigned at = reversed(code >> tail, root_);
    if (kindOf(table_[at]) != subTable) {
        std::fill_n(table_.begin() + used, 1u << subBits, entry(none, subBits, 0, 0));
        table_[at] = entry(subTable, root_, subBits, used);
        used += 1u << subBits;
    }
    std::uint32_t *sub = table_.data() + valueOf(table_[at]);
    for (unsigned i = reversed(code & ((1u << tail) - 1), tail); i < (1u << subBits); i += 1u << tail)
        sub[i] = meaning | tail;
}

} // namespace

struct Inflate64::State {
    enum class Step { header, storedLength, stored, counts, codeLengthCode, codeLengths, codes, done };
    // What a step did: went on to the next, ran out of input, or filled the window.
    enum Result { go, starve, full };

    std::unique_ptr<unsigned char[]> window{new unsigned char[windowSize]};
    std::size_t pos = 0; // next byte to decode into
    std::size_t out = 0; // next byte to hand out
    const unsigned char *in = nullptr;
    const unsigned char *inEnd = nullptr;
    // The stream's next bits, first bit lowest; those above count are zero.
    std::uint64_t bits = 0;
    unsigned count = 0;
    Step step = Step::header;
    bool last = false;
    bool fixedTables = false;
    unsigned storedLeft = 0;
    unsigned literalCodes = 0;
    unsigned distanceCodes = 0;
    unsigned codeLengthCodes = 0;
    unsigned index = 0;
    std::array<std::uint8_t, 288 + 32> lengths{};
    unsigned length = 0; // of a match whose distance is still to come
    unsigned distance = 0;
    unsigned copyLeft = 0; // of a match that did not fit the window
    Huffman literals{10, 288};
    Huffman distances{8, 32};
    Huffman codeLengths{7, 19};

    void refill()
    {
        while (count <= 56 && in != inEnd) {
            bits |= static_cast<std::uint64_t>(*in++) << count;
            count += 8;
        }
    }
    void consume(unsigned n)
    {
        bits >>= n;
        count -= n;
    }
    unsigned peek(unsigned from, unsigned n) const { return static_cast<unsigned>(bits >> from) & ((1u << n) - 1); }

    // The entry of the next code, and how many bits the code takes: 0 when the buffered bits do
    // not hold it all yet.
    unsigned lookup(const Huffman &h, std::uint32_t &e) const
    {
        const std::uint32_t *table = h.table();
        e = table[bits & ((1u << h.root()) - 1)];
        unsigned used = 0;
        if (kindOf(e) == subTable) {
            used = h.root();
            e = table[valueOf(e) + peek(used, extraOf(e))];
        }
        used += bitsOf(e);
        if (used > count)
            return 0;
        if (kindOf(e) == none)
            invalid("a code that the block does not define");
        return used;
    }

    void endBlock() { step = last ? Step::done : Step::header; }
    Result header();
    Result storedLength();
    Result stored();
    Result counts();
    Result codeLengthCode();
    Result codeLengthsStep();
    Result codes();
    void useFixedCodes();
    bool copyMatch();
    bool decode();
    std::size_t deliver(unsigned char *to, std::size_t room);
    void slide();
};

Inflate64::State::Result Inflate64::State::header()
{
    if (count < 3)
        return starve;
    last = bits & 1;
    const unsigned type = peek(1, 2);
    consume(3);
    switch (type) {
    case 0: step = Step::storedLength; break;
    case 1:
        useFixedCodes();
        step = Step::codes;
        break;
    case 2: step = Step::counts; break;
    default: invalid("a block of an unknown type");
    }
    return go;
}

Inflate64::State::Result Inflate64::State::storedLength()
{
    consume(count & 7); // a stored block starts on a byte
    if (count < 32)
        return starve;
    storedLeft = peek(0, 16);
    if (storedLeft != (~peek(16, 16) & 0xFFFF))
        invalid("a stored block whose length does not check");
    consume(32);
    step = Step::stored;
    return go;
}

Inflate64::State::Result Inflate64::State::stored()
{
    while (storedLeft > 0) {
        if (pos == windowSize)
            return full;
        if (count >= 8) {
            window[pos++] = static_cast<unsigned char>(bits);
            consume(8);
            --storedLeft;
            continue;
        }
        const std::size_t n
            = std::min<std::size_t>({storedLeft, static_cast<std::size_t>(inEnd - in), windowSize - pos});
        if (n == 0)
            return starve;
        std::memcpy(window.get() + pos, in, n);
        in += n;
        pos += n;
        storedLeft -= static_cast<unsigned>(n);
    }
    endBlock();
    return go;
}

Inflate64::State::Result Inflate64::State::counts()
{
    if (count < 14)
        return starve;
    literalCodes = 257 + peek(0, 5);
    distanceCodes = 1 + peek(5, 5);
    codeLengthCodes = 4 + peek(10, 4);
    consume(14);
    lengths.fill(0);
    index = 0;
    step = Step::codeLengthCode;
    return go;
}

Inflate64::State::Result Inflate64::State::codeLengthCode()
{
    for (; index < codeLengthCodes; ++index) {
        refill();
        if (count < 3)
            return starve;
        lengths[codeLengthOrder[index]] = static_cast<std::uint8_t>(peek(0, 3));
        consume(3);
    }
    if (!codeLengths.build(lengths.data(), 19, codeLengthMeaning))
        invalid("a code-length code with more codes than there are");
    lengths.fill(0);
    index = 0;
    step = Step::codeLengths;
    return go;
}

Inflate64::State::Result Inflate64::State::codeLengthsStep()
{
    const unsigned total = literalCodes + distanceCodes;
    while (index < total) {
        refill();
        std::uint32_t e = 0;
        const unsigned used = lookup(codeLengths, e);
        if (used == 0)
            return starve;
        const unsigned symbol = valueOf(e);
        if (symbol < 16) {
            lengths[index++] = static_cast<std::uint8_t>(symbol);
            consume(used);
            continue;
        }
        // 16 repeats the length before 3-6 times, 17 writes 3-10 zeros, 18 writes 11-138.
        const unsigned extra = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
        if (used + extra > count)
            return starve;
        const unsigned repeat = (symbol == 18 ? 11 : 3) + peek(used, extra);
        if (symbol == 16 && index == 0)
            invalid("a repeated code length with none before it");
        if (index + repeat > total)
            invalid("more code lengths than the block declares");
        const std::uint8_t value = symbol == 16 ? lengths[index - 1] : 0;
        std::fill_n(lengths.begin() + index, repeat, value);
        index += repeat;
        consume(used + extra);
    }
    if (lengths[256] == 0)
        invalid("a block without an end-of-block code");
    if (!literals.build(lengths.data(), literalCodes, literalLengthMeaning)
        || !distances.build(lengths.data() + literalCodes, distanceCodes, distanceMeaning))
        invalid("a code with more codes than there are");
    fixedTables = false;
    step = Step::codes;
    return go;
}

void Inflate64::State::useFixedCodes()
{
    if (fixedTables)
        return;
    std::uint8_t fixed[288];
    std::fill_n(fixed, 144, 8);
    std::fill_n(fixed + 144, 112, 9);
    std::fill_n(fixed + 256, 24, 7);
    std::fill_n(fixed + 280, 8, 8);
    literals.build(fixed, 288, literalLengthMeaning);
    std::fill_n(fixed, 32, 5);
    distances.build(fixed, 32, distanceMeaning);
    fixedTables = true;
}

// Copies what fits of the pending match; false when the window filled first. The source may
// overlap what is being written (a distance shorter than the length repeats the bytes), so it
// goes in pieces no longer than what lies between them, which doubles with every piece.
bool Inflate64::State::copyMatch()
{
    const std::size_t n = std::min<std::size_t>(copyLeft, windowSize - pos);
    unsigned char *to = window.get() + pos;
    const unsigned char *from = to - distance;
    for (std::size_t done = 0; done < n;) {
        const std::size_t piece = std::min<std::size_t>(n - done, to + done - from);
        std::memcpy(to + done, from, piece);
        done += piece;
    }
    pos += n;
    copyLeft -= static_cast<unsigned>(n);
    return copyLeft == 0;
}

Inflate64::State::Result Inflate64::State::codes()
{
    for (;;) {
        if (copyLeft > 0 && !copyMatch())
            return full;
        refill();
        std::uint32_t e = 0;
        if (length == 0) {
            if (pos == windowSize)
                return full;
            const unsigned used = lookup(literals, e);
            if (used == 0)
                return starve;
            if (kindOf(e) == literal) {
                window[pos++] = static_cast<unsigned char>(valueOf(e));
                consume(used);
                continue;
            }
            if (kindOf(e) == endOfBlock) {
                consume(used);
                endBlock();
                return go;
            }
            if (used + extraOf(e) > count)
                return starve;
            length = valueOf(e) + peek(used, extraOf(e));
            consume(used + extraOf(e));
            refill();
        }
        const unsigned used = lookup(distances, e);
        if (used == 0 || used + extraOf(e) > count)
            return starve;
        distance = valueOf(e) + peek(used, extraOf(e));
        consume(used + extraOf(e));
        if (distance > pos)
            invalid("a distance that reaches before the start of the data");
        copyLeft = length;
        length = 0;
    }
}

// Decodes until the window is full (true), or the input is used up or the stream has ended.
bool Inflate64::State::decode()
{
    for (;;) {
        refill();
        Result r = go;
        switch (step) {
        case Step::header: r = header(); break;
        case Step::storedLength: r = storedLength(); break;
        case Step::stored: r = stored(); break;
        case Step::counts: r = counts(); break;
        case Step::codeLengthCode: r = codeLengthCode(); break;
        case Step::codeLengths: r = codeLengthsStep(); break;
        case Step::codes: r = codes(); break;
        case Step::done: return false;
        }
        if (r != go)
            return r == full;
    }
}

std::size_t Inflate64::State::deliver(unsigned char *to, std::size_t room)
{
    const std::size_t n = std::min(room, pos - out);
    std::memcpy(to, window.get() + out, n);
    out += n;
    return n;
}

// Once everything decoded has been handed out, the last 64 KiB move to the front of a window
// that is nearly full: all that later matches may reach.
void Inflate64::State::slide()
{
    if (out != pos || pos < windowSize - history)
        return;
    std::memmove(window.get(), window.get() + pos - history, history);
    pos = out = history;
}

Inflate64::Inflate64() : s_(std::make_unique<State>()) {}

Inflate64::~Inflate64() = default;

std::size_t Inflate64::run(const unsigned char *&in, std::size_t &inSize, unsigned char *out, std::size_t outSize)
{
    State &s = *s_;
    s.in = in;
    s.inEnd = in + inSize;
    std::size_t written = 0;
    for (;;) {
        written += s.deliver(out + written, outSize - written);
        if (written == outSize)
            break;
        s.slide();
        if (!s.decode()) {
            written += s.deliver(out + written, outSize - written);
            break;
        }
    }
    inSize -= static_cast<std::size_t>(s.in - in);
    in = s.in;
    return written;
}

bool Inflate64::ended() const
{
    return s_->step == State::Step::done && s_->out == s_->pos;
}

} // namespace oz::core
