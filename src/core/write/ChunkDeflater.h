// Deflating one large file on several threads: chunks deflated side by side and joined into one
// deflate stream.
#pragma once

#include "core/base/Error.h"
#include "core/base/WorkerFailure.h"
#include "ZipWriter.h"

#include <condition_variable>
#include <deque>
#include <libdeflate.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace oz::core::writer {

// Deflates one large file's chunks on several threads and hands them back in
// order, each ready to be followed by the next (see deflatePiece).
class ChunkDeflater {
public:
    using Deflate
        = bool (*)(libdeflate_compressor *, const unsigned char *, std::size_t, bool, std::vector<unsigned char> &);

    // deflate does each chunk's work; tests put one that fails in its place.
    ChunkDeflater(int level, unsigned threads, Deflate deflate = deflatePiece)
        : level_(chunkLevel(level)), deflate_(deflate)
    {
        try {
            for (unsigned t = 0; t < threads; ++t)
                helpers_.emplace_back([this] { help(); });
        } catch (...) {
            close(); // the helpers already started must end before their threads go
            throw;
        }
    }
    ~ChunkDeflater() { close(); }
    std::size_t inFlight() const { return chunks_.size(); }

    void submit(std::vector<unsigned char> input, bool last)
    {
        auto c = std::make_shared<Chunk>();
        c->input = std::move(input);
        c->last = last;
        std::lock_guard lock(mutex_);
        chunks_.push_back(c);
        queue_.push_back(c);
        work_.notify_one();
    }

    // The oldest chunk's deflated bytes, once ready.
    std::vector<unsigned char> next(const std::string &source)
    {
        std::unique_lock lock(mutex_);
        std::shared_ptr<Chunk> c = chunks_.front();
        done_.wait(lock, [&] { return c->done; });
        chunks_.pop_front();
        if (c->failed) {
            lock.unlock();
            failure_.rethrow(); // what a helper threw, as it threw it
            throw Error("Cannot add " + source + ": compression failed", Error::Kind::System);
        }
        return std::move(c->output);
    }

private:
    struct Chunk {
        std::vector<unsigned char> input, output;
        bool last = false, done = false, failed = false;
    };

    // A chunk starts without the 32 KiB before it, which a single stream would
    // have had. One level up makes up for it: on source text, libdeflate's
    // level 7 in 2 MiB chunks came out 0.2% smaller than one zlib stream at
    // level 6 (Info-ZIP's), in about three quarters of zlib's time with the
    // join included. Above 9, libdeflate changes to a far slower method.
    static int chunkLevel(int level) { return std::min(level + 1, 9); }

    void close()
    {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        work_.notify_all();
        for (auto &t : helpers_)
            t.join();
    }

    // Whatever a chunk's work throws is handed to next(); after a failure the chunks still
    // queued fail unread, since the file fails as a whole.
    void help()
    {
        libdeflate_compressor *compressor = libdeflate_alloc_compressor(level_);
        for (;;) {
            std::shared_ptr<Chunk> c;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [&] { return closing_ || !queue_.empty(); });
                if (queue_.empty())
                    break;
                c = queue_.front();
                queue_.pop_front();
            }
            bool done = false;
            if (compressor && !failure_.stopped())
                failure_.guard(
                    [&] { done = deflate_(compressor, c->input.data(), c->input.size(), c->last, c->output); });
            c->failed = !done;
            c->input = {};
            std::lock_guard lock(mutex_);
            c->done = true;
            done_.notify_all();
        }
        libdeflate_free_compressor(compressor);
    }

    const int level_;
    const Deflate deflate_;
    WorkerFailure failure_;
    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::deque<std::shared_ptr<Chunk>> chunks_; // in file order, until handed back
    std::deque<std::shared_ptr<Chunk>> queue_;  // not yet taken by a helper
    bool closing_ = false;
    std::vector<std::thread> helpers_;
};

} // namespace oz::core::writer
