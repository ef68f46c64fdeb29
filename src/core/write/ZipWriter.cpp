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

#include "ChunkDeflater.h"
#include "core/crypto/Crypto.h"
#include "SmallFile.h"
#include "SourceFiles.h"
#include "WriteOutput.h"
#include "core/base/WorkerFailure.h"
#include "WriteParts.h"
#include "core/format/ZipFormat.h"
#include "core/base/LittleEndian.h"
#include "ZipRecords.h"

#include <libdeflate.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace oz::core {

using namespace writer;

namespace {

unsigned threadsFor(const WriteJob &job)
{
    const unsigned asked = job.threads > 0 ? static_cast<unsigned>(job.threads) : std::thread::hardware_concurrency();
    return std::clamp<unsigned>(asked, 1, 64);
}

class Writer {
public:
    Writer(const WriteJob &job, Folders &folders, std::vector<Item> items, const std::function<void(int)> &progress)
        : job_(job), threads_(threadsFor(job)), folders_(folders), items_(std::move(items)), prepared_(items_.size()),
          written_(items_.size()), password_(job.password)
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
        try {
            for (unsigned t = 0; t < threads; ++t)
                pool.emplace_back([this] {
                    if (!failure_.guard([this] { work(); }))
                        stop();
                });
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
    // Ends the workers' waits, and the writer's when a worker failed.
    void stop()
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        roomMade_.notify_all();
        entryReady_.notify_all();
    }

    // Wakes are kept to the ones somebody waits for: on a few cores every needless wake of the
    // writer or a worker costs more than the small files it is about. What a file's preparing
    // throws is that file's failure, reported when the writer reaches it; anything else a worker
    // throws fails the archive at once.
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
                    prepareSmallFile(item, {compressor, folders_, duplicates_, password_, job_.keyLength, processed_},
                                     scratch, hint, result);
                } catch (...) {
                    result.error = std::current_exception();
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

    // What a worker keeps between files: buffers for files up to a few MiB on a few cores, less
    // on many, so that what is kept stays a small part of the memory budget.
    std::size_t keptScratch() const
    {
        return std::clamp<std::size_t>(memoryBudget / (8 * threads_), 512u << 10, wholeFileLimit);
    }

    void reportProcessed()
    {
        if (job_.stop && job_.stop->load())
            throw Error("Stopped before the archive was complete", Error::Kind::Stopped);
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
            auto ready = [&] {
                return (prepared_[i].ready && (prepared_[wakeAt_].ready || roomWaiters_ > 0)) || failure_.stopped();
            };
            // Progress follows the workers while the writer waits for them.
            writerWaits_ = true;
            while (!entryReady_.wait_for(lock, std::chrono::milliseconds(25), ready))
                reportProcessed();
            writerWaits_ = false;
        }
        if (!prepared_[i].ready) {
            lock.unlock();
            failure_.rethrow();
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
        if (p.error)
            std::rethrow_exception(p.error);
        w.method = p.method;
        w.crc = p.crc;
        w.size = p.size;
        w.compSize = p.bytes().size();
        w.encrypted = !item.folder && !password_.empty();
        out.write(localHeader(item, w, false, job_.keyLength, dos_));
        out.write(p.bytes());
        release(p.cost);
    }

    // One streamed file on its way: read in chunks, stored after encryption, counted.
    struct Stream {
        FileReader reader;
        AesEncryptor *aes;
        Output &out;
        std::atomic<std::uint64_t> &processed;
        std::uint32_t crc = 0;
        std::uint64_t size = 0, compSize = 0;

        std::vector<unsigned char> readChunk()
        {
            std::vector<unsigned char> input(streamChunk);
            input.resize(reader.read(input.data(), input.size()));
            crc = static_cast<std::uint32_t>(libdeflate_crc32(crc, input.data(), input.size()));
            size += input.size();
            processed += input.size();
            return input;
        }
        void store(unsigned char *data, std::size_t n)
        {
            if (aes)
                aes->encrypt(data, n);
            out.write(data, n);
            compSize += n;
        }
    };

    void copyStored(Stream &stream)
    {
        for (;;) {
            std::vector<unsigned char> input = stream.readChunk();
            stream.store(input.data(), input.size());
            processed_ += input.size();
            reportProcessed();
            if (input.size() < streamChunk)
                break;
        }
    }

    void deflateChunks(Stream &stream, const Item &item)
    {
        // Enough chunks in flight to keep every helper busy, and no more.
        ChunkDeflater deflater(job_.level, threadCount());
        // At most 12 chunks, about 48 MiB, however many cores there are.
        const std::size_t window = std::min<std::size_t>(2 * threadCount() + 1, 12);
        std::deque<std::size_t> sizes; // of the chunks in flight, for progress
        bool submittedLast = false;
        while (!submittedLast || deflater.inFlight() > 0) {
            while (!submittedLast && deflater.inFlight() < window) {
                std::vector<unsigned char> input = stream.readChunk();
                // A short read ends the file; a file of whole chunks ends with an empty one.
                submittedLast = input.size() < streamChunk;
                sizes.push_back(input.size());
                deflater.submit(std::move(input), submittedLast);
            }
            std::vector<unsigned char> deflated = deflater.next(item.source);
            stream.store(deflated.data(), deflated.size());
            processed_ += sizes.front();
            sizes.pop_front();
            reportProcessed();
        }
    }

    // A file too large to hold: read, deflated and encrypted chunk by chunk
    // here, its header patched with the sizes afterwards.
    void writeStreamed(Output &out, const Item &item, Written &w)
    {
        const bool zip64 = item.size >= zip64Threshold;
        w.method = job_.level > 0 ? method::deflated : method::stored;
        w.encrypted = !password_.empty();
        const std::vector<unsigned char> header = localHeader(item, w, zip64, job_.keyLength, dos_);
        out.write(header);

        std::unique_ptr<AesEncryptor> aes;
        if (w.encrypted) {
            aes = std::make_unique<AesEncryptor>(password_, job_.keyLength);
            out.write(aes->header());
        }
        Stream stream{FileReader(item, -1), aes.get(), out, processed_};
        if (w.method == method::stored)
            copyStored(stream);
        else
            deflateChunks(stream, item);
        std::uint32_t crc = stream.crc;
        std::uint64_t size = stream.size, compSize = stream.compSize;
        if (aes) {
            const auto code = aes->finish();
            out.write(code.data(), code.size());
            compSize += aes->header().size() + code.size();
        }
        if (!zip64 && (size >= max32 || compSize >= max32))
            throw Error("Cannot add " + item.source + ": it grew while it was being read", Error::Kind::Io);
        w.crc = crc;
        w.size = size;
        w.compSize = compSize;
        std::vector<unsigned char> fixed = localHeader(item, w, zip64, job_.keyLength, dos_);
        out.patch(w.offset, fixed.data(), fixed.size());
    }

    void writeDirectory(Output &out)
    {
        const std::uint64_t start = out.offset();
        for (std::size_t i = 0; i < items_.size(); ++i)
            out.write(centralRecord(items_[i], written_[i], job_.keyLength, dos_));
        out.write(endRecords(items_.size(), start, out.offset()));
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
    WorkerFailure failure_;
};

} // namespace

Progress::Progress(std::uint64_t total, std::function<void(int)> report) : total_(total), report_(std::move(report)) {}

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

void checkFoundBehind(int fd, std::uint64_t archiveEnd)
{
    std::uint64_t size = 0;
    if (!fileSize(fd, size) || size < archiveEnd || archiveEnd < 22)
        throw Error("cannot read it back", Error::Kind::Io);
    const std::uint64_t trailing = size - archiveEnd;
    if (trailing > maxBytesAfterEnd)
        throw Error(std::to_string(trailing) + " bytes would follow the archive, and zip readers look back for it over "
                        + std::to_string(maxBytesAfterEnd) + " only: they would no longer find it",
                    Error::Kind::Unsupported);
    std::vector<unsigned char> tail(static_cast<std::size_t>(trailing + 21));
    if (!readAt(fd, archiveEnd - 21, tail.data(), tail.size()))
        throw Error("cannot read it back", Error::Kind::Io);
    for (std::size_t i = 0; i + 4 <= tail.size(); ++i)
        if (le32(&tail[i]) == sig::end)
            throw Error("what follows the archive holds the mark of an archive's end, which zip readers would take "
                        "for the archive's own",
                        Error::Kind::Unsupported);
}

} // namespace oz::core
