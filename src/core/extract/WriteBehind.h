// Writes a large file's data on a thread of its own, so that writing one buffer overlaps the
// decoding of the next: on one core each would otherwise wait for the other. A few buffers
// circulate; a failed write stops the rest.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace oz::core {

class WriteBehind {
public:
    static constexpr std::size_t bufferSize = 128 * 1024;
    static constexpr std::size_t bufferCount = 4;

    explicit WriteBehind(int fd);
    ~WriteBehind();
    WriteBehind(const WriteBehind &) = delete;
    WriteBehind &operator=(const WriteBehind &) = delete;

    // A buffer to fill, waiting until one is free; null once a write failed.
    std::vector<unsigned char> *take();
    void submit(std::vector<unsigned char> *buffer, std::size_t size);
    // Waits for every write; returns 0 or the errno of the first failure.
    int finish();

private:
    void run();

    int fd_;
    std::vector<std::vector<unsigned char>> buffers_;
    std::vector<std::vector<unsigned char> *> free_;
    std::deque<std::pair<std::vector<unsigned char> *, std::size_t>> filled_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    int error_ = 0;
    std::thread thread_;
};

} // namespace oz::core
