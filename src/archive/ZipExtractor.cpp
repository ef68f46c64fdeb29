// Extracting an archive below a folder without ever writing outside it.
#include "EntryStream.h"
#include "Internal.h"
#include "PathRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <array>
#include <atomic>
#include <deque>
#include <optional>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oz::archive::detail {

namespace {

QString sysError(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

struct Planned {
    zip_uint64_t index = 0;
    QString name; // as stored
    QString rel;  // safe relative path
    bool folder = false;
    bool link = false;
    QByteArray linkTarget;
    int mode = -1;
    time_t mtime = 0;
    std::uint64_t size = 0;
    zip_stat_t stat{};
    // Where its stored bytes start, when it can be read whole; else 0.
    std::uint64_t dataStart = 0;
};

// Entries up to this size (stored and full together) are read whole by each
// worker, the larger ones streamed.
constexpr std::uint64_t wholeEntryLimit = 8u << 20;
// What all the workers together may hold of whole entries.
constexpr std::uint64_t wholeEntryBudget = 128u << 20;

bool writeAll(int fd, const char *at, size_t left)
{
    while (left > 0) {
        const ssize_t w = ::write(fd, at, left);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return false;
        at += w;
        left -= static_cast<size_t>(w);
    }
    return true;
}

// Both times of a file set to its stored modification time.
std::array<struct timespec, 2> accessAndModified(time_t mtime)
{
    struct timespec t{};
    t.tv_sec = mtime;
    return {t, t};
}

// Writes a large file's data on a thread of its own, so that writing one
// buffer overlaps the inflating of the next: on one core each would wait for
// the other. A few buffers circulate; a failed write stops the rest.
class WriteBehind {
public:
    static constexpr std::size_t bufferSize = 128 * 1024;

    explicit WriteBehind(int fd) : fd_(fd), buffers_(4, std::vector<char>(bufferSize))
    {
        for (auto &b : buffers_)
            free_.push_back(&b);
        thread_ = std::thread([this] { run(); });
    }

    ~WriteBehind() { finish(); }

    // A buffer to fill, waiting until one is free; null once a write failed.
    std::vector<char> *take()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !free_.empty() || error_ != 0; });
        if (error_ != 0)
            return nullptr;
        std::vector<char> *b = free_.back();
        free_.pop_back();
        return b;
    }

    void submit(std::vector<char> *buffer, std::size_t size)
    {
        std::lock_guard lock(mutex_);
        filled_.push_back({buffer, size});
        changed_.notify_all();
    }

    // Waits for every write; returns 0 or the errno of the first failure.
    int finish()
    {
        {
            std::lock_guard lock(mutex_);
            if (ended_)
                return error_;
            ended_ = true;
            changed_.notify_all();
        }
        thread_.join();
        return error_;
    }

private:
    void run()
    {
        for (;;) {
            std::pair<std::vector<char> *, std::size_t> job;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return !filled_.empty() || ended_; });
                if (filled_.empty())
                    return;
                job = filled_.front();
                filled_.pop_front();
            }
            const int error = writeAll(fd_, job.first->data(), job.second) ? 0 : errno;
            std::lock_guard lock(mutex_);
            if (error != 0 && error_ == 0)
                error_ = error;
            free_.push_back(job.first);
            changed_.notify_all();
        }
    }

    int fd_;
    std::vector<std::vector<char>> buffers_;
    std::vector<std::vector<char> *> free_;
    std::deque<std::pair<std::vector<char> *, std::size_t>> filled_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    int error_ = 0;
    std::thread thread_;
};

class Extraction {
public:
    Extraction(const ExtractJob &job, zip_t *za, int archiveFd, std::vector<ziplayout::EntrySpan> spans,
               std::function<void(int)> report, ExtractionRecord &record)
        : job_(job), za_(za), archiveFd_(archiveFd), spans_(std::move(spans)), report_(std::move(report)),
          record_(record)
    {
    }

    void run()
    {
        plan();
        makeDestination();
        std::uint64_t total = 0;
        for (const auto &p : plan_)
            if (!p.folder && !p.link)
                total += p.size;
        progress_ = Progress(total, report_);
        progress_.begin();
        // Folders first, here, so the workers only ever write files.
        for (const auto &p : plan_) {
            if (p.folder)
                ensureFolder(p.rel);
            else if (!p.link)
                ensureFolder(parentOf(p.rel));
        }
        extractFiles();
        for (std::size_t i = 0; i < plan_.size(); ++i) {
            if (!plan_[i].link)
                record_.items.push_back({plan_[i].name, outcome_[i]});
        }
        // Links last, so that no file of this archive is written through one.
        for (const auto &p : plan_) {
            if (!p.link)
                continue;
            ensureFolder(parentOf(p.rel));
            if (keepExisting(p))
                continue;
            writeLink(p);
            record_.items.push_back({p.name, QStringLiteral("extracted")});
        }
        // Folder times and modes last, once nothing more is written into them.
        for (auto it = plan_.rbegin(); it != plan_.rend(); ++it) {
            if (!it->folder)
                continue;
            const QByteArray path = full(it->rel);
            if (it->mode >= 0)
                ::chmod(path.constData(), static_cast<mode_t>(it->mode & 0777));
            setTimes(path, it->mtime);
        }
        progress_.finish();
    }

private:
    void plan()
    {
        const zip_int64_t n = zip_get_num_entries(za_, 0);
        for (zip_int64_t i = 0; i < n; ++i) {
            zip_stat_t st;
            zip_stat_init(&st);
            if (zip_stat_index(za_, static_cast<zip_uint64_t>(i), 0, &st) != 0)
                throw ArchiveError(QStringLiteral("Cannot read entry %1 of %2: %3")
                                       .arg(i).arg(job_.archive, zipArchiveErrorText(za_)));
            Planned p;
            p.index = static_cast<zip_uint64_t>(i);
            p.name = st.name ? QString::fromUtf8(st.name) : QString();
            p.folder = p.name.endsWith(u'/') || p.name.endsWith(u'\\');
            p.link = !p.folder && entryIsLink(za_, p.index);
            p.mode = entryUnixMode(za_, p.index);
            p.mtime = (st.valid & ZIP_STAT_MTIME) ? st.mtime : 0;
            p.size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
            p.stat = st;
            p.dataStart = wholeDataStart(p.index, st);
            const auto safe = safeEntryPath(p.name);
            if (!safe)
                refuse(p.name, QStringLiteral("its name would place it outside the destination"));
            p.rel = *safe;
            if (p.rel.isEmpty()) {
                // "./": the destination itself, which is made anyway.
                if (!p.folder)
                    refuse(p.name, QStringLiteral("it has no file name"));
                record_.items.push_back({p.name, QStringLiteral("skipped")});
                continue;
            }
            if (p.link) {
                p.linkTarget = readLinkTarget(p);
                if (!linkStaysInside(p.rel, QString::fromUtf8(p.linkTarget)))
                    refuse(p.name, QStringLiteral("it is a link that points outside the destination"));
            }
            plan_.push_back(std::move(p));
        }
    }

    // The layout check found each entry's data; it is used only where its
    // record agrees with libzip's, so that both read the same directory.
    std::uint64_t wholeDataStart(zip_uint64_t index, const zip_stat_t &st) const
    {
        if (archiveFd_ < 0 || spans_.size() != static_cast<std::size_t>(zip_get_num_entries(za_, 0)))
            return 0;
        const ziplayout::EntrySpan &span = spans_[static_cast<std::size_t>(index)];
        const char *raw = zip_get_name(za_, index, ZIP_FL_ENC_RAW);
        if (!raw || span.name != raw || span.compressedSize != st.comp_size || span.dataStart == 0)
            return 0;
        return span.dataStart;
    }

    [[noreturn]] void refuse(const QString &name, const QString &why)
    {
        record_.items.push_back({name, QStringLiteral("refused")});
        throw ArchiveError(QStringLiteral("Refused to extract \"%1\" from %2: %3").arg(name, job_.archive, why));
    }

    QByteArray readLinkTarget(const Planned &p)
    {
        if (p.size > 4096)
            refuse(p.name, QStringLiteral("its link target is too long"));
        auto stream = EntryStream::open(za_, p.index, password_);
        QByteArray target(4097, '\0');
        zip_int64_t got = 0, n = 0;
        while (got < 4097 && (n = stream->read(target.data() + got, static_cast<zip_uint64_t>(4097 - got))) > 0)
            got += n;
        if (n < 0)
            throw ArchiveError(QStringLiteral("Cannot extract \"%1\": %2").arg(p.name, stream->error()));
        if (got > 4096)
            refuse(p.name, QStringLiteral("its link target is too long"));
        target.truncate(got);
        return target;
    }

    QByteArray full(const QString &rel) const
    {
        return QFile::encodeName(root_ + (rel.isEmpty() ? QString() : u'/' + rel));
    }

    void makeDestination()
    {
        const QFileInfo info(job_.folder);
        if (info.exists() && !info.isDir())
            throw ArchiveError(QStringLiteral("Cannot extract into %1: it is a file, not a folder").arg(job_.folder));
        if (!info.exists() && !QDir().mkpath(job_.folder))
            throw ArchiveError(QStringLiteral("Cannot create the folder %1").arg(job_.folder));
        root_ = QDir::cleanPath(QFileInfo(job_.folder).absoluteFilePath());
    }

    // Makes each folder of rel below the destination; an existing link or
    // file in the way is refused rather than followed. A folder found or
    // made once is not looked at again: only this extraction writes into
    // the destination, and its links come last.
    void ensureFolder(const QString &rel)
    {
        if (rel.isEmpty() || ensured_.contains(rel))
            return;
        QString path;
        for (const QString &part : rel.split(u'/', Qt::SkipEmptyParts)) {
            path = path.isEmpty() ? part : path + u'/' + part;
            if (ensured_.contains(path))
                continue;
            const QByteArray native = full(path);
            struct stat st;
            if (::lstat(native.constData(), &st) == 0) {
                if (!S_ISDIR(st.st_mode))
                    throw ArchiveError(QStringLiteral("Cannot extract into %1: it exists and is not a folder")
                                           .arg(QFile::decodeName(native)));
            } else if (::mkdir(native.constData(), 0755) != 0 && errno != EEXIST) {
                throw ArchiveError(QStringLiteral("Cannot create the folder %1: %2")
                                       .arg(QFile::decodeName(native), sysError(errno)));
            }
            ensured_.insert(path);
        }
    }

    static QString parentOf(const QString &rel)
    {
        const qsizetype slash = rel.lastIndexOf(u'/');
        return slash < 0 ? QString() : rel.left(slash);
    }

    static void setTimes(const QByteArray &path, time_t mtime, bool noFollow = false)
    {
        if (mtime == 0)
            return;
        const auto times = accessAndModified(mtime);
        ::utimensat(AT_FDCWD, path.constData(), times.data(), noFollow ? AT_SYMLINK_NOFOLLOW : 0);
    }

    // True when an existing file is to be left as it is.
    bool existingKept(const Planned &p) const
    {
        struct stat st;
        return !job_.replaceExisting && ::lstat(full(p.rel).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
    }

    bool keepExisting(const Planned &p)
    {
        if (!existingKept(p))
            return false;
        record_.items.push_back({p.name, QStringLiteral("kept")});
        return true;
    }

    // What one worker keeps from file to file. Small entries are read whole
    // through the archive's descriptor; a handle of its own on the archive is
    // opened only when an entry has to be streamed.
    struct Worker {
        zip_t *za = nullptr;
        bool ownsHandle = false;
        std::unique_ptr<WholeEntryReader> reader;
        std::vector<char> buffer;
    };

    zip_t *handleOf(Worker &worker)
    {
        if (!worker.za) {
            worker.za = openForReading(job_.archive, false);
            worker.ownsHandle = true;
            if (!password_.isEmpty())
                zip_set_default_password(worker.za, password_.constData());
        }
        return worker.za;
    }

    // Files are extracted by one worker per core; this thread is one of them
    // and takes the first file, and it alone reports progress. The first
    // failure in archive order is the one reported; the other workers stop
    // at their next file.
    void extractFiles()
    {
        outcome_.assign(plan_.size(), QStringLiteral("extracted"));
        std::vector<std::size_t> files;
        for (std::size_t i = 0; i < plan_.size(); ++i)
            if (!plan_[i].folder && !plan_[i].link)
                files.push_back(i);
        if (files.empty())
            return;
        unsigned threads = job_.threads > 0 ? static_cast<unsigned>(job_.threads) : std::thread::hardware_concurrency();
        threads = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, std::min<std::size_t>(files.size(), 64)));
        wholeLimit_ = std::min(wholeEntryLimit, wholeEntryBudget / threads);

        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        std::mutex mutex;
        std::condition_variable ended;
        unsigned running = threads - 1;
        std::size_t failedAt = files.size();
        QString failure;

        auto work = [&](Worker &worker, std::size_t first, bool reporting) {
            try {
                if (archiveFd_ >= 0)
                    worker.reader = std::make_unique<WholeEntryReader>(archiveFd_);
                for (std::size_t f = first; f < files.size() && !failed; f = next++) {
                    const std::size_t i = files[f];
                    try {
                        outcome_[i] = writeFile(plan_[i], worker, reporting);
                    } catch (const ArchiveError &e) {
                        std::lock_guard lock(mutex);
                        outcome_[i] = QStringLiteral("failed");
                        if (f < failedAt) {
                            failedAt = f;
                            failure = e.reason();
                        }
                        failed = true;
                    }
                    if (reporting)
                        reportDone();
                }
            } catch (const std::bad_alloc &) {
                std::lock_guard lock(mutex);
                if (failure.isEmpty())
                    failure = QStringLiteral("Cannot extract %1: out of memory").arg(job_.archive);
                failed = true;
            }
            if (worker.ownsHandle)
                zip_discard(worker.za);
        };
        const std::size_t mine = next++;
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < threads; ++t) {
            pool.emplace_back([&] {
                Worker worker;
                work(worker, next++, false);
                std::lock_guard lock(mutex);
                --running;
                ended.notify_all();
            });
        }
        Worker own;
        own.za = za_;
        work(own, mine, true);
        {
            std::unique_lock lock(mutex);
            while (!ended.wait_for(lock, std::chrono::milliseconds(25), [&] { return running == 0; })) {
                lock.unlock();
                reportDone();
                lock.lock();
            }
        }
        for (auto &t : pool)
            t.join();
        reportDone();
        if (failed) {
            // Only what was extracted before the failure is recorded.
            for (std::size_t f = 0; f <= std::min(failedAt, files.size() - 1); ++f)
                record_.items.push_back({plan_[files[f]].name, outcome_[files[f]]});
            throw ArchiveError(failure);
        }
    }

    void reportDone()
    {
        const std::uint64_t now = done_;
        progress_.advance(now - reported_);
        reported_ = now;
    }

    // Where one file's bytes go: straight into a new file when nothing has
    // that name yet, else into a temporary beside it that replaces the old
    // file only once complete, so that no existing file is left half
    // overwritten. Either way a failure removes what was written.
    struct Output {
        int fd = -1; // -1: an existing file is kept
        QByteArray target;
        QByteArray temp; // empty when writing straight into target
    };

    Output openOutput(const Planned &p) const
    {
        Output out;
        out.target = full(p.rel);
        const mode_t mode = p.mode >= 0 ? static_cast<mode_t>(p.mode & 0777) : 0644;
        // O_EXCL refuses any name already there, a dangling link included.
        out.fd = ::open(out.target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (out.fd >= 0)
            return out;
        if (errno != EEXIST)
            throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(out.target), sysError(errno)));
        struct stat st;
        if (::lstat(out.target.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            throw ArchiveError(QStringLiteral("Cannot write %1: a folder of that name is in the way")
                                   .arg(QFile::decodeName(out.target)));
        if (!job_.replaceExisting)
            return out;
        out.temp = full(parentOf(p.rel)) + "/.ozpart-XXXXXX";
        out.fd = ::mkostemp(out.temp.data(), O_CLOEXEC);
        if (out.fd < 0)
            throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(out.target), sysError(errno)));
        return out;
    }

    // Gives the file its mode and time and puts it in place, or on failure
    // removes it; throws the failure.
    static void closeOutput(Output &out, const Planned &p, QString failure)
    {
        if (failure.isEmpty()) {
            // The mode given to open passed through the umask; the stored one holds.
            ::fchmod(out.fd, p.mode >= 0 ? static_cast<mode_t>(p.mode & 0777) : 0644);
            if (p.mtime != 0) {
                const auto times = accessAndModified(p.mtime);
                ::futimens(out.fd, times.data());
            }
        }
        if (::close(out.fd) != 0 && failure.isEmpty())
            failure = QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(out.target), sysError(errno));
        if (failure.isEmpty() && !out.temp.isEmpty() && ::rename(out.temp.constData(), out.target.constData()) != 0)
            failure = QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(out.target), sysError(errno));
        if (!failure.isEmpty()) {
            ::unlink(out.temp.isEmpty() ? out.target.constData() : out.temp.constData());
            throw ArchiveError(failure);
        }
    }

    // Returns what became of the file: "extracted" or "kept".
    QString writeFile(const Planned &p, Worker &worker, bool reporting)
    {
        Output out = openOutput(p);
        if (out.fd < 0) {
            done_ += p.size;
            return QStringLiteral("kept");
        }
        QString failure;
        if (p.dataStart != 0 && worker.reader && WholeEntryReader::takes(p.stat, wholeLimit_)) {
            try {
                const auto *data = reinterpret_cast<const char *>(worker.reader->read(p.stat, p.dataStart, password_));
                // In pieces, so that progress moves while a larger file is written.
                constexpr std::uint64_t piece = 1u << 20;
                for (std::uint64_t at = 0; at < p.size && failure.isEmpty(); at += piece) {
                    const std::uint64_t n = std::min(piece, p.size - at);
                    if (!writeAll(out.fd, data + at, static_cast<size_t>(n)))
                        failure = QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(out.target), sysError(errno));
                    done_ += n;
                    if (reporting)
                        reportDone();
                }
            } catch (const ArchiveError &e) {
                failure = e.reason();
            } catch (const std::bad_alloc &) {
                failure = QStringLiteral("Cannot extract \"%1\": out of memory").arg(p.name);
            }
            if (p.size > (1u << 20))
                worker.reader->trim();
            closeOutput(out, p, failure);
            return QStringLiteral("extracted");
        }

        std::unique_ptr<EntryStream> stream;
        try {
            stream = EntryStream::open(handleOf(worker), p.index, password_);
        } catch (const ArchiveError &e) {
            closeOutput(out, p, e.reason());
        }
        std::optional<WriteBehind> behind;
        if (p.size >= 4 * WriteBehind::bufferSize)
            behind.emplace(out.fd);
        // Small enough to stay in the cache between inflating and writing.
        worker.buffer.resize(64 * 1024);
        std::uint64_t written = 0;
        zip_int64_t n = 0;
        for (;;) {
            std::vector<char> *buffer = behind ? behind->take() : &worker.buffer;
            if (!buffer || (n = stream->read(buffer->data(), buffer->size())) <= 0)
                break;
            written += static_cast<std::uint64_t>(n);
            if (written > p.size) {
                failure = QStringLiteral("Cannot extract \"%1\": it holds more data than the archive declares").arg(p.name);
                break;
            }
            if (behind) {
                behind->submit(buffer, static_cast<std::size_t>(n));
            } else if (!writeAll(out.fd, buffer->data(), static_cast<size_t>(n))) {
                failure = QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(out.target), sysError(errno));
                break;
            }
            done_ += static_cast<std::uint64_t>(n);
            if (reporting)
                reportDone();
        }
        if (behind) {
            if (const int error = behind->finish(); error != 0 && failure.isEmpty())
                failure = QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(out.target), sysError(error));
        }
        if (failure.isEmpty() && n < 0)
            failure = QStringLiteral("Cannot extract \"%1\": %2").arg(p.name, stream->error());
        if (failure.isEmpty() && written != p.size)
            failure = QStringLiteral("Cannot extract \"%1\": it is shorter than the archive declares").arg(p.name);
        closeOutput(out, p, failure);
        return QStringLiteral("extracted");
    }

    void writeLink(const Planned &p)
    {
        ensureFolder(parentOf(p.rel));
        const QByteArray target = full(p.rel);
        struct stat st;
        if (::lstat(target.constData(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                throw ArchiveError(QStringLiteral("Cannot write %1: a folder of that name is in the way").arg(QFile::decodeName(target)));
            ::unlink(target.constData());
        }
        if (::symlink(p.linkTarget.constData(), target.constData()) != 0)
            throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(target), sysError(errno)));
        setTimes(target, p.mtime, true);
    }

    const ExtractJob &job_;
    zip_t *za_;
    int archiveFd_;
    std::vector<ziplayout::EntrySpan> spans_;
    std::uint64_t wholeLimit_ = 0;
    QSet<QString> ensured_;
    QByteArray password_ = job_.password.toUtf8();
    std::function<void(int)> report_;
    Progress progress_{0, {}};
    std::atomic<std::uint64_t> done_{0};
    std::uint64_t reported_ = 0;
    std::vector<QString> outcome_;
    ExtractionRecord &record_;
    std::vector<Planned> plan_;
    QString root_;
};

} // namespace

void extractArchive(const ExtractJob &job, const std::function<void(int)> &progress, ExtractionRecord &record)
{
    std::vector<ziplayout::EntrySpan> spans;
    zip_t *za = openForReading(job.archive, true, &spans);
    if (!job.password.isEmpty())
        zip_set_default_password(za, job.password.toUtf8().constData());
    // Read by every worker with pread, so one descriptor serves them all.
    const int fd = ::open(QFile::encodeName(job.archive).constData(), O_RDONLY | O_CLOEXEC);
    Extraction extraction(job, za, fd, std::move(spans), progress, record);
    try {
        extraction.run();
    } catch (...) {
        zip_discard(za);
        if (fd >= 0)
            ::close(fd);
        throw;
    }
    zip_discard(za);
    if (fd >= 0)
        ::close(fd);
}

} // namespace oz::archive::detail
