// Deflate64 (zip method 9), which Windows writes for large files: deflate with a 64 KiB window,
// length code 285 carrying 16 extra bits over a base of 3, and distance codes 30 and 31 with 14
// extra bits each. No library at hand reads it, so this is our own decoder, streamed: it holds
// its window and its code tables, whatever the size of the entry.
#pragma once

#include <cstddef>
#include <memory>

namespace oz::core {

class Inflate64 {
public:
    Inflate64();
    ~Inflate64();
    Inflate64(const Inflate64 &) = delete;
    Inflate64 &operator=(const Inflate64 &) = delete;

    // Takes all of the input it is given (keeping in itself the bits it cannot use yet) unless
    // out fills first, advancing in; returns the bytes written to out. Throws Error (Damaged)
    // with a reason on data no encoder writes.
    std::size_t run(const unsigned char *&in, std::size_t &inSize, unsigned char *out, std::size_t outSize);
    // The last block has ended and every byte of it has been handed out.
    bool ended() const;

    struct State;

private:
    std::unique_ptr<State> s_;
};

} // namespace oz::core
