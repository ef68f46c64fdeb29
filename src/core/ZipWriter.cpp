// Writing an archive. Files are read, deflated (libdeflate) and encrypted by
// a pool of workers, as many as there are cores, while the calling thread
// writes the finished entries in order and reports progress. A file with the
// same bytes as one deflated shortly before reuses that result. What the workers
// hold at once is bounded by a memory budget. Files too large to hold whole
// are streamed in 2 MiB chunks that helpers deflate side by side and join
// into one deflate stream; memory does not grow with the input.
//
// Archives are written unnamed beside the target and named only once complete:
// a failed write leaves an existing archive as it was.
#include "ZipWriter.h"

#include "Beneath.h"
#include "Crypto.h"
#include "Error.h"
#include "FileIo.h"
#include "NewFile.h"
#include "ZipFormat.h"

#include <libdeflate.h>
#include <zlib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <optional>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace oz::core {

namespace {

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

constexpr std::uint16_t methodStore = 0;
constexpr std::uint16_t methodDeflate = 8;
constexpr std::uint16_t methodAes = 99;

[[noreturn]] void failed(const std::string &what, int err, Error::Kind kind = Error::Kind::Io)
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
    std::string error;
    std::uint16_t method = methodStore; // as compressed, before encryption
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

// Files deflated a short while ago, so that a later file with the same bytes is not deflated
// again. Trees often hold copies (vendored libraries, headers per platform, licences), and
// deflate is by far the largest cost of a save. Reuse gives the very bytes deflating again
// would, since the compressor is deterministic. Size and CRC only find a candidate: its bytes
// are inflated and compared with the file's, so a crafted CRC collision cannot put one file's
// data under another's name. What is kept is bounded, the oldest going first.
class Duplicates {
public:
    struct Deflated {
        std::uint16_t method = methodStore;
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
        if (candidate.method == methodDeflate) {
            std::size_t got = 0;
            if (libdeflate_deflate_decompress(inflater, data.data(), data.size(), check, size, &got) != LIBDEFLATE_SUCCESS
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

// What the central directory needs of a written entry.
struct Written {
    std::uint16_t method = methodStore;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::uint64_t compSize = 0;
    std::uint64_t offset = 0;
    bool encrypted = false;
};

void put16(std::vector<unsigned char> &out, unsigned v)
{
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
void put32(std::vector<unsigned char> &out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void put64(std::vector<unsigned char> &out, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
// MS-DOS time and date of the local time, clamped to 1980 where it begins.
std::pair<std::uint16_t, std::uint16_t> dosTime(time_t mtime)
{
    struct tm t{};
    if (!localtime_r(&mtime, &t) || t.tm_year < 80)
        return {0, (1 << 5) | 1};
    if (t.tm_year > 207)
        return {static_cast<std::uint16_t>((23 << 11) | (59 << 5) | 29),
                static_cast<std::uint16_t>((127 << 9) | (12 << 5) | 31)};
    return {static_cast<std::uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2)),
            static_cast<std::uint16_t>(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday)};
}

// dosTime for one thread, remembering the last answer: the files of a tree mostly share their
// second, and every localtime_r takes the time-zone lock.
class DosClock {
public:
    std::pair<std::uint16_t, std::uint16_t> operator()(time_t mtime)
    {
        if (mtime != last_ || !known_) {
            last_ = mtime;
            known_ = true;
            fields_ = dosTime(mtime);
        }
        return fields_;
    }

private:
    time_t last_ = 0;
    bool known_ = false;
    std::pair<std::uint16_t, std::uint16_t> fields_;
};

// The extended timestamp keeps a signed 32-bit time; the DOS fields alone stand for the rest.
bool exactTimeKept(time_t mtime)
{
    return mtime >= 0 && mtime <= 0x7FFFFFFF;
}

bool isAscii(const std::string &name)
{
    return std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Output through a buffer, with room to patch a header already written.
class Output {
public:
    // start: what the file already holds in front of the archive, counted in every offset.
    Output(int fd, std::string target, std::uint64_t start)
        : fd_(fd), target_(std::move(target)), flushed_(start)
    {
        buffer_.reserve(capacity);
    }
    std::uint64_t offset() const { return flushed_ + buffer_.size(); }

    void write(const unsigned char *data, std::size_t size)
    {
        if (buffer_.size() + size > capacity)
            flush();
        if (size >= capacity) {
            writeFully(data, size);
            return;
        }
        buffer_.insert(buffer_.end(), data, data + size);
    }
    void write(const std::vector<unsigned char> &data) { write(data.data(), data.size()); }

    void patch(std::uint64_t at, const unsigned char *data, std::size_t size)
    {
        flush();
        while (size > 0) {
            const ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(at));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail(errno);
            data += n;
            at += static_cast<std::uint64_t>(n);
            size -= static_cast<std::size_t>(n);
        }
    }

    void flush()
    {
        writeFully(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

    [[noreturn]] void fail(int err) const
    {
        failed("Cannot write " + target_, err);
    }

private:
    static constexpr std::size_t capacity = 1u << 20;

    void writeFully(const unsigned char *data, std::size_t size)
    {
        if (!writeAll(fd_, data, size))
            fail(errno);
        flushed_ += size;
    }

    int fd_;
    std::string target_;
    std::vector<unsigned char> buffer_;
    std::uint64_t flushed_ = 0;
};

struct FolderHandle {
    explicit FolderHandle(int f) : fd(f) {}
    ~FolderHandle()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;
    const int fd;
};

// The folders of the chosen files, opened once and shared by all threads. A file opened or
// stat-ed by its bare name in an open folder skips the walk down its whole path, and on a tree of
// many thousand files those walks are a good part of the system time.
class Folders {
public:
    // What one thread used last, so that the files of one folder need no lock.
    struct Hint {
        std::string folder;
        std::shared_ptr<FolderHandle> handle;
    };

    // The open folder of the item, or -1 when it cannot be opened and the full path is to be used.
    int of(const Item &item, Hint &hint)
    {
        const std::string_view folder = std::string_view(item.path).substr(0, item.nameAt);
        if (folder.empty() || item.nameAt == item.path.size())
            return -1; // no folder part, or no name after it
        if (!hint.handle || hint.folder != folder) {
            hint.folder = std::string(folder);
            hint.handle = find(hint.folder);
        }
        return hint.handle->fd;
    }

private:
    std::shared_ptr<FolderHandle> find(const std::string &folder)
    {
        std::lock_guard lock(mutex_);
        for (Entry &e : open_) {
            if (e.folder == folder) {
                e.used = ++clock_;
                return e.handle;
            }
        }
        auto handle = std::make_shared<FolderHandle>(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        Entry entry{folder, handle, ++clock_};
        if (open_.size() < limit)
            open_.push_back(std::move(entry));
        else // a thread still using the folder it replaces keeps that one open
            *std::min_element(open_.begin(), open_.end(),
                              [](const Entry &a, const Entry &b) { return a.used < b.used; }) = std::move(entry);
        return handle;
    }

    struct Entry {
        std::string folder;
        std::shared_ptr<FolderHandle> handle;
        std::uint64_t used = 0;
    };
    static constexpr std::size_t limit = 32;
    std::mutex mutex_;
    std::vector<Entry> open_;
    std::uint64_t clock_ = 0;
};

class FileReader {
public:
    // folder: the item's open folder, or -1 to open it by its full path.
    FileReader(const Item &item, int folder) : item_(item)
    {
        fd_ = folder >= 0 ? ::openat(folder, item.path.c_str() + item.nameAt, O_RDONLY | O_CLOEXEC)
                          : ::open(item.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            fail(errno);
        // Read-ahead advice pays for files streamed in chunks, not for ones read whole at once.
        if (item.streamed())
            ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~FileReader()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    // Fills as much of the buffer as the file has; 0 at its end.
    std::size_t read(unsigned char *out, std::size_t size)
    {
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::read(fd_, out + got, size - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail(errno);
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        return got;
    }
    [[noreturn]] void fail(int err) const
    {
        failed("Cannot read " + item_.source, err);
    }

private:
    const Item &item_;
    int fd_ = -1;
};

// Deflates one large file's chunks on several threads and hands them back in
// order, each ready to be followed by the next (see deflatePiece).
class ChunkDeflater {
public:
    ChunkDeflater(int level, unsigned threads) : level_(chunkLevel(level))
    {
        for (unsigned t = 0; t < threads; ++t)
            helpers_.emplace_back([this] { help(); });
    }
    ~ChunkDeflater()
    {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        work_.notify_all();
        for (auto &t : helpers_)
            t.join();
    }
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
        if (c->failed)
            throw Error("Cannot add " + source + ": compression failed");
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
            c->failed = !compressor || !deflatePiece(compressor, c->input.data(), c->input.size(), c->last, c->output);
            c->input = {};
            std::lock_guard lock(mutex_);
            c->done = true;
            done_.notify_all();
        }
        libdeflate_free_compressor(compressor);
    }

    const int level_;
    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::deque<std::shared_ptr<Chunk>> chunks_; // in file order, until handed back
    std::deque<std::shared_ptr<Chunk>> queue_;  // not yet taken by a helper
    bool closing_ = false;
    std::vector<std::thread> helpers_;
};

unsigned threadsFor(const WriteJob &job)
{
    const unsigned asked = job.threads > 0 ? static_cast<unsigned>(job.threads) : std::thread::hardware_concurrency();
    return std::clamp<unsigned>(asked, 1, 64);
}

class Writer {
public:
    Writer(const WriteJob &job, Folders &folders, std::vector<Item> items, const std::function<void(int)> &progress)
        : job_(job), threads_(threadsFor(job)), folders_(folders), items_(std::move(items)),
          prepared_(items_.size()), written_(items_.size()), password_(job.password)
    {
        std::uint64_t total = 0;
        for (const Item &item : items_)
            if (!item.folder && !item.special)
                total += item.size;
        // Each byte counts twice: once read, once deflated.
        progress_ = Progress(2 * total, progress);
    }

    void run(Output &out)
    {
        progress_.begin();
        const unsigned threads = threadCount();
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; ++t)
            pool.emplace_back([this] { work(); });
        try {
            for (std::size_t i = 0; i < items_.size(); ++i)
                writeEntry(out, i);
            writeDirectory(out);
            out.flush();
        } catch (...) {
            stop();
            for (auto &t : pool)
                t.join();
            throw;
        }
        for (auto &t : pool)
            t.join();
    }

    void finish() { progress_.finish(); }

    unsigned threadCount() const { return threads_; }

    // What was written, as listing the archive gives it, without reading it back.
    std::vector<WrittenEntry> entries() const
    {
        std::vector<WrittenEntry> out;
        out.reserve(items_.size());
        time_t lastTime = 0, lastModified = 0;
        for (std::size_t i = 0; i < items_.size(); ++i) {
            const Item &item = items_[i];
            if (i == 0 || item.mtime != lastTime) {
                lastTime = item.mtime;
                if (exactTimeKept(item.mtime)) {
                    lastModified = item.mtime;
                } else {
                    const auto [time, date] = dos_(item.mtime);
                    lastModified = fromDosTime(time, date);
                }
            }
            out.push_back({written_[i].size, written_[i].compSize, lastModified, written_[i].encrypted, item.folder});
        }
        return out;
    }

private:
    void stop()
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        roomMade_.notify_all();
    }

    // Wakes are kept to the ones somebody waits for: on a few cores every needless wake of the
    // writer or a worker costs more than the small files it is about.
    void work()
    {
        libdeflate_compressor *compressor = job_.level > 0 ? libdeflate_alloc_compressor(job_.level) : nullptr;
        Scratch scratch(keptScratch());
        scratch.inflater = compressor ? libdeflate_alloc_decompressor() : nullptr;
        Folders::Hint hint;
        for (;;) {
            const std::size_t i = next_.fetch_add(1);
            if (i >= items_.size())
                break;
            const Item &item = items_[i];
            Prepared result;
            if (!item.folder && !item.special && !item.streamed()) {
                result.cost = item.size * 2 + 4096;
                {
                    std::unique_lock lock(mutex_);
                    // The entry the writer waits for always goes ahead, so
                    // the budget can never hold everything up.
                    auto fits = [&] { return stopped_ || i == writing_ || held_ + result.cost <= memoryBudget; };
                    if (!fits()) {
                        // The writer may be waiting for a run of entries that this wait holds up.
                        if (writerWaits_)
                            entryReady_.notify_one();
                        ++roomWaiters_;
                        roomMade_.wait(lock, fits);
                        --roomWaiters_;
                    }
                    if (stopped_)
                        break;
                    held_ += result.cost;
                }
                try {
                    prepare(item, compressor, scratch, hint, result);
                } catch (const Error &e) {
                    result.error = e.what();
                    result.data.reset();
                }
                scratch.trim();
            }
            std::lock_guard lock(mutex_);
            result.ready = true;
            prepared_[i] = std::move(result);
            if (writerWaits_ && (writing_ == i || wakeAt_ == i))
                entryReady_.notify_one();
        }
        libdeflate_free_compressor(compressor);
        libdeflate_free_decompressor(scratch.inflater);
    }

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

    // What a worker keeps between files: buffers for files up to a few MiB on a few cores, less
    // on many, so that what is kept stays a small part of the memory budget.
    std::size_t keptScratch() const
    {
        return std::clamp<std::size_t>(memoryBudget / (8 * threads_), 512u << 10, wholeFileLimit);
    }

    void prepare(const Item &item, libdeflate_compressor *compressor, Scratch &scratch, Folders::Hint &hint,
                 Prepared &result)
    {
        unsigned char *input = scratch.atLeast(scratch.input, scratch.inputSize, std::max<std::size_t>(item.size, 1));
        std::size_t got = 0;
        {
            FileReader reader(item, folders_.of(item, hint));
            std::size_t n = 0;
            do {
                n = reader.read(input + got, std::min<std::size_t>(item.size - got, readSlice));
                got += n;
                processed_ += n;
            } while (n > 0 && got < item.size);
        }
        result.size = got;
        result.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, input, got));
        result.method = methodStore;
        processed_ += got;
        std::shared_ptr<const std::vector<unsigned char>> plain; // the stored bytes before encryption
        if (compressor && got > 0) {
            const std::size_t bound = libdeflate_deflate_compress_bound(compressor, got);
            unsigned char *deflated = scratch.atLeast(scratch.deflated, scratch.deflatedSize, std::max(bound, got));
            if (auto same = duplicates_.find(input, got, result.crc, scratch.inflater, deflated)) {
                result.method = same->method;
                plain = std::move(same->data);
            } else {
                const std::size_t n = libdeflate_deflate_compress(compressor, input, got, deflated, bound);
                // Data that deflate cannot shrink is kept as it is.
                if (n > 0 && n < got) {
                    result.method = methodDeflate;
                    plain = std::make_shared<const std::vector<unsigned char>>(deflated, deflated + n);
                } else {
                    plain = std::make_shared<const std::vector<unsigned char>>(input, input + got);
                }
                duplicates_.keep(got, result.crc, {result.method, plain});
            }
        } else {
            plain = std::make_shared<const std::vector<unsigned char>>(input, input + got);
        }
        if (password_.empty()) {
            result.data = std::move(plain);
            return;
        }
        AesEncryptor aes(password_, job_.keyLength);
        std::vector<unsigned char> data;
        data.reserve(aes.header().size() + plain->size() + WinZipCipher::codeSize);
        data = aes.header();
        const std::size_t at = data.size();
        data.insert(data.end(), plain->begin(), plain->end());
        aes.encrypt(data.data() + at, plain->size());
        const auto code = aes.finish();
        data.insert(data.end(), code.begin(), code.end());
        result.data = std::make_shared<const std::vector<unsigned char>>(std::move(data));
    }

    void reportProcessed()
    {
        const std::uint64_t now = processed_;
        progress_.advance(now - reported_);
        reported_ = now;
    }

    Prepared take(std::size_t i)
    {
        std::unique_lock lock(mutex_);
        writing_ = i;
        // A worker held back by the budget may hold this very entry.
        if (roomWaiters_ > 0)
            roomMade_.notify_all();
        if (!prepared_[i].ready) {
            // Sleep until a run of entries is ready rather than waking for each
            // small file; a full budget ends the wait early, since writing is
            // what frees it.
            wakeAt_ = std::min(i + wakeRun, items_.size() - 1);
            auto ready = [&] { return prepared_[i].ready && (prepared_[wakeAt_].ready || roomWaiters_ > 0); };
            // Progress follows the workers while the writer waits for them.
            writerWaits_ = true;
            while (!entryReady_.wait_for(lock, std::chrono::milliseconds(25), ready))
                reportProcessed();
            writerWaits_ = false;
        }
        reportProcessed();
        Prepared result = std::move(prepared_[i]);
        prepared_[i] = {};
        return result;
    }

    void release(std::uint64_t cost)
    {
        std::lock_guard lock(mutex_);
        held_ -= cost;
        if (roomWaiters_ > 0)
            roomMade_.notify_all();
    }

    // Local header, with zip64 sizes when asked; returns its size.
    std::vector<unsigned char> localHeader(const Item &item, const Written &w, bool zip64) const
    {
        std::vector<unsigned char> h;
        put32(h, 0x04034b50);
        putSharedFields(h, item, w, zip64);
        put32(h, zip64 ? max32 : static_cast<std::uint32_t>(w.compSize));
        put32(h, zip64 ? max32 : static_cast<std::uint32_t>(w.size));
        const std::vector<unsigned char> extra = extras(item, w, zip64, false);
        put16(h, static_cast<unsigned>(item.name.size()));
        put16(h, static_cast<unsigned>(extra.size()));
        h.insert(h.end(), item.name.begin(), item.name.end());
        h.insert(h.end(), extra.begin(), extra.end());
        return h;
    }

    // The fields local and central headers share, from "version needed" to the CRC.
    void putSharedFields(std::vector<unsigned char> &out, const Item &item, const Written &w, bool zip64) const
    {
        const auto [time, date] = dos_(item.mtime);
        put16(out, w.encrypted ? 51 : zip64 ? 45 : 20);
        put16(out, flags(item, w));
        put16(out, w.encrypted ? methodAes : w.method);
        put16(out, time);
        put16(out, date);
        put32(out, w.crc);
    }

    static unsigned flags(const Item &item, const Written &w)
    {
        return (w.encrypted ? 0x0001u : 0u) | (isAscii(item.name) ? 0u : 0x0800u);
    }

    // Extra fields: zip64 (local: both sizes; central: what overflows),
    // the Unix time to the second, and WinZip's AES field.
    std::vector<unsigned char> extras(const Item &item, const Written &w, bool zip64, bool central) const
    {
        std::vector<unsigned char> e;
        if (!central && zip64) {
            put16(e, 0x0001);
            put16(e, 16);
            put64(e, w.size);
            put64(e, w.compSize);
        }
        if (central) {
            std::vector<unsigned char> z;
            if (w.size >= max32)
                put64(z, w.size);
            if (w.compSize >= max32)
                put64(z, w.compSize);
            if (w.offset >= max32)
                put64(z, w.offset);
            if (!z.empty()) {
                put16(e, 0x0001);
                put16(e, static_cast<unsigned>(z.size()));
                e.insert(e.end(), z.begin(), z.end());
            }
        }
        if (exactTimeKept(item.mtime)) {
            put16(e, extra::time);
            put16(e, 5);
            e.push_back(1);
            put32(e, static_cast<std::uint32_t>(item.mtime));
        }
        if (w.encrypted) {
            put16(e, 0x9901);
            put16(e, 7);
            put16(e, 1); // AE-1: the CRC is kept
            e.push_back('A');
            e.push_back('E');
            e.push_back(static_cast<unsigned char>(WinZipCipher::strength(job_.keyLength)));
            put16(e, w.method);
        }
        return e;
    }

    void writeEntry(Output &out, std::size_t i)
    {
        const Item &item = items_[i];
        Written &w = written_[i];
        w.offset = out.offset();
        if (item.streamed()) {
            take(i);
            writeStreamed(out, item, w);
            return;
        }
        Prepared p = take(i);
        if (!p.error.empty())
            throw Error(p.error, Error::Kind::Io);
        w.method = p.method;
        w.crc = p.crc;
        w.size = p.size;
        w.compSize = p.bytes().size();
        w.encrypted = !item.folder && !password_.empty();
        out.write(localHeader(item, w, false));
        out.write(p.bytes());
        release(p.cost);
    }

    // A file too large to hold: read, deflated and encrypted chunk by chunk
    // here, its header patched with the sizes afterwards.
    void writeStreamed(Output &out, const Item &item, Written &w)
    {
        const bool zip64 = item.size >= zip64Threshold;
        w.method = job_.level > 0 ? methodDeflate : methodStore;
        w.encrypted = !password_.empty();
        const std::vector<unsigned char> header = localHeader(item, w, zip64);
        out.write(header);

        std::unique_ptr<AesEncryptor> aes;
        if (w.encrypted) {
            aes = std::make_unique<AesEncryptor>(password_, job_.keyLength);
            out.write(aes->header());
        }
        FileReader reader(item, -1);
        std::uint32_t crc = 0;
        std::uint64_t size = 0, compSize = 0;
        auto store = [&](unsigned char *data, std::size_t n) {
            if (aes)
                aes->encrypt(data, n);
            out.write(data, n);
            compSize += n;
        };
        auto readChunk = [&] {
            std::vector<unsigned char> input(streamChunk);
            input.resize(reader.read(input.data(), input.size()));
            crc = static_cast<std::uint32_t>(libdeflate_crc32(crc, input.data(), input.size()));
            size += input.size();
            processed_ += input.size();
            return input;
        };
        if (w.method == methodStore) {
            for (;;) {
                std::vector<unsigned char> input = readChunk();
                store(input.data(), input.size());
                processed_ += input.size();
                reportProcessed();
                if (input.size() < streamChunk)
                    break;
            }
        } else {
            // Enough chunks in flight to keep every helper busy, and no more.
            ChunkDeflater deflater(job_.level, threadCount());
            // At most 12 chunks, about 48 MiB, however many cores there are.
            const std::size_t window = std::min<std::size_t>(2 * threadCount() + 1, 12);
            std::deque<std::size_t> sizes; // of the chunks in flight, for progress
            bool submittedLast = false;
            while (!submittedLast || deflater.inFlight() > 0) {
                while (!submittedLast && deflater.inFlight() < window) {
                    std::vector<unsigned char> input = readChunk();
                    // A short read ends the file; a file of whole chunks ends with an empty one.
                    submittedLast = input.size() < streamChunk;
                    sizes.push_back(input.size());
                    deflater.submit(std::move(input), submittedLast);
                }
                std::vector<unsigned char> deflated = deflater.next(item.source);
                store(deflated.data(), deflated.size());
                processed_ += sizes.front();
                sizes.pop_front();
                reportProcessed();
            }
        }
        if (aes) {
            const auto code = aes->finish();
            out.write(code.data(), code.size());
            compSize += aes->header().size() + code.size();
        }
        if (!zip64 && (size >= max32 || compSize >= max32))
            throw Error("Cannot add " + item.source + ": it grew while it was being read");
        w.crc = crc;
        w.size = size;
        w.compSize = compSize;
        std::vector<unsigned char> fixed = localHeader(item, w, zip64);
        out.patch(w.offset, fixed.data(), fixed.size());
    }

    void writeDirectory(Output &out)
    {
        const std::uint64_t start = out.offset();
        std::vector<unsigned char> c;
        for (std::size_t i = 0; i < items_.size(); ++i) {
            const Item &item = items_[i];
            const Written &w = written_[i];
            const std::vector<unsigned char> extra = extras(item, w, false, true);
            const bool zip64 = w.size >= max32 || w.compSize >= max32 || w.offset >= max32;
            c.clear();
            put32(c, 0x02014b50);
            put16(c, (3u << 8) | 63u); // made on Unix, format 6.3
            putSharedFields(c, item, w, zip64);
            put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(w.compSize, max32)));
            put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(w.size, max32)));
            put16(c, static_cast<unsigned>(item.name.size()));
            put16(c, static_cast<unsigned>(extra.size()));
            put16(c, 0); // comment
            put16(c, 0); // disk
            put16(c, 0); // internal attributes
            const std::uint32_t attributes = item.folder
                ? (static_cast<std::uint32_t>(S_IFDIR | (item.mode & 0777)) << 16) | 0x10
                : static_cast<std::uint32_t>(S_IFREG | (item.mode & 0777)) << 16;
            put32(c, attributes);
            put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(w.offset, max32)));
            c.insert(c.end(), item.name.begin(), item.name.end());
            c.insert(c.end(), extra.begin(), extra.end());
            out.write(c);
        }
        const std::uint64_t end = out.offset();
        const std::uint64_t count = items_.size();
        const std::uint64_t size = end - start;
        c.clear();
        if (count >= 0xFFFF || size >= max32 || start >= max32) {
            put32(c, 0x06064b50);
            put64(c, 44);
            put16(c, (3u << 8) | 63u);
            put16(c, 45);
            put32(c, 0);
            put32(c, 0);
            put64(c, count);
            put64(c, count);
            put64(c, size);
            put64(c, start);
            put32(c, 0x07064b50);
            put32(c, 0);
            put64(c, end);
            put32(c, 1);
        }
        put32(c, 0x06054b50);
        put16(c, 0);
        put16(c, 0);
        put16(c, static_cast<unsigned>(std::min<std::uint64_t>(count, 0xFFFF)));
        put16(c, static_cast<unsigned>(std::min<std::uint64_t>(count, 0xFFFF)));
        put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(size, max32)));
        put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(start, max32)));
        put16(c, 0);
        out.write(c);
    }

    const WriteJob &job_;
    const unsigned threads_; // asking the system for its cores reads a file each time
    mutable DosClock dos_;   // the writer thread's
    Folders &folders_;
    std::vector<Item> items_;
    std::vector<Prepared> prepared_;
    std::vector<Written> written_;
    std::string password_;
    Duplicates duplicates_;
    Progress progress_{0, {}};
    std::atomic<std::uint64_t> processed_{0};
    std::uint64_t reported_ = 0;

    std::atomic<std::size_t> next_{0};
    std::mutex mutex_;
    std::condition_variable roomMade_;   // budget freed or writer moved on; workers wait
    std::condition_variable entryReady_; // the entry the writer waits for is prepared
    unsigned roomWaiters_ = 0;
    bool writerWaits_ = false;
    std::size_t writing_ = 0;
    std::size_t wakeAt_ = 0;
    static constexpr std::size_t wakeRun = 32;
    std::uint64_t held_ = 0;
    bool stopped_ = false;
};

Item describeOne(const WriteItem &e, Folders &folders, Folders::Hint &hint)
{
    Item item;
    item.name = e.name;
    if (e.folder && (item.name.empty() || item.name.back() != '/'))
        item.name += '/';
    if (item.name.size() > 0xFFFF)
        throw Error("Cannot add " + e.name + ": its name is too long for a zip archive");
    item.source = e.source;
    item.path = e.source;
    const std::size_t slash = item.path.rfind('/');
    item.nameAt = slash == std::string::npos ? 0 : slash + 1;
    item.folder = e.folder;
    item.special = e.special;
    struct stat st;
    const int flags = e.special ? AT_SYMLINK_NOFOLLOW : 0;
    const int folder = folders.of(item, hint);
    const int rc = folder >= 0 ? ::fstatat(folder, item.path.c_str() + item.nameAt, &st, flags)
                               : ::fstatat(AT_FDCWD, item.path.c_str(), &st, flags);
    if (rc != 0)
        failed("Cannot read " + e.source, errno);
    item.size = (e.folder || e.special) ? 0 : static_cast<std::uint64_t>(st.st_size);
    item.mtime = st.st_mtime;
    // A pipe, socket, device or broken link is stored as an empty file that nobody may write:
    // it comes back as a placeholder, never as a writable file in its place.
    item.mode = e.special ? (S_IFREG | (st.st_mode & 0444)) : st.st_mode;
    return item;
}

// Sizes and modes are taken now, at write time, not when the files were chosen. Thousands of
// stats are shared out among threads, since no file is compressed before they are done; the
// failure reported is the first in the list.
std::vector<Item> describe(const std::vector<WriteItem> &entries, unsigned threads, Folders &folders)
{
    std::vector<Item> items(entries.size());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, entries.size() / 512 + 1));
    std::vector<std::optional<Error>> failures(threads);
    std::vector<std::size_t> failedAt(threads, entries.size());
    auto part = [&](unsigned t) {
        Folders::Hint hint;
        for (std::size_t i = t; i < entries.size(); i += threads) {
            try {
                items[i] = describeOne(entries[i], folders, hint);
            } catch (const Error &e) {
                failures[t] = e;
                failedAt[t] = i;
                return;
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t)
        pool.emplace_back(part, t);
    part(0);
    for (auto &thread : pool)
        thread.join();
    const auto first = std::min_element(failedAt.begin(), failedAt.end()) - failedAt.begin();
    if (failures[static_cast<std::size_t>(first)])
        throw *failures[static_cast<std::size_t>(first)];
    return items;
}

// A new archive gets what the umask allows (and an executable its x bits); one that replaces a
// file keeps that file's permission bits, never set-user or set-group ones.
mode_t targetMode(int folder, const std::string &name, bool executable)
{
    struct stat old;
    if (::fstatat(folder, name.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode))
        return old.st_mode & 0777;
    return (executable ? 0777 : 0666) & ~currentUmask();
}

// The file of a write: unnamed in the target's folder until it is complete.
struct Target {
    explicit Target(const WriteJob &job)
    {
        const std::size_t slash = job.target.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : job.target.substr(0, slash);
        const std::string name = slash == std::string::npos ? job.target : job.target.substr(slash + 1);
        folder = Fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder)
            failed("Cannot write " + job.target, errno);
        file = NewFile(folder.get(), name, 0600, job.target);
        mode = targetMode(folder.get(), name, job.executable);
        if (!writeAll(file.fd(), job.prefix.data(), job.prefix.size()))
            failed("Cannot write " + job.target, errno);
    }

    void commit()
    {
        if (::fchmod(file.fd(), mode) != 0)
            failed("Cannot write " + file.name(), errno);
        file.commit(true);
    }

    Fd folder;
    NewFile file;
    mode_t mode = 0644;
};

// An archive with no entries is just the end-of-central-directory record.
void writeEmptyArchive(const WriteJob &job)
{
    Target target(job);
    unsigned char eocd[22] = {'P', 'K', 5, 6};
    const auto at = static_cast<std::uint32_t>(job.prefix.size());
    for (int i = 0; i < 4; ++i)
        eocd[16 + i] = static_cast<unsigned char>(at >> (8 * i));
    if (!writeAll(target.file.fd(), eocd, sizeof eocd))
        failed("Cannot write " + job.target, errno);
    target.commit();
}

} // namespace

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

Progress::Progress(std::uint64_t total, std::function<void(int)> report)
    : total_(total), report_(std::move(report))
{
}

void Progress::begin()
{
    last_ = 0;
    if (report_)
        report_(0);
}

void Progress::advance(std::uint64_t bytes)
{
    done_ += bytes;
    if (total_ == 0)
        return;
    const int percent = static_cast<int>(std::min<std::uint64_t>(100, done_ * 100 / total_));
    // 100 is kept for finish(), which comes when the work has really ended.
    if (percent != last_ && percent < 100) {
        last_ = percent;
        if (report_)
            report_(percent);
    }
}

void Progress::finish()
{
    if (last_ != 100) {
        last_ = 100;
        if (report_)
            report_(100);
    }
}

void writeArchive(const WriteJob &job, const std::function<void(int)> &progress)
{
    if (job.entries->empty()) {
        progress(0);
        writeEmptyArchive(job);
        if (job.written)
            job.written->clear();
        progress(100);
        return;
    }
    Folders folders;
    Writer writer(job, folders, describe(*job.entries, threadsFor(job), folders), progress);
    Target target(job);
    Output out(target.file.fd(), job.target, job.prefix.size());
    writer.run(out);
    target.commit();
    writer.finish();
    if (job.written)
        *job.written = writer.entries();
}

} // namespace oz::core
