// Extracting an archive below a folder without ever writing outside it.
#include "EntryStream.h"
#include "Internal.h"
#include "PathRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
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
};

class Extraction {
public:
    Extraction(const ExtractJob &job, zip_t *za, std::function<void(int)> report, ExtractionRecord &record)
        : job_(job), za_(za), report_(std::move(report)), record_(record)
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
    // file in the way is refused rather than followed.
    void ensureFolder(const QString &rel)
    {
        QString path;
        for (const QString &part : rel.split(u'/', Qt::SkipEmptyParts)) {
            path = path.isEmpty() ? part : path + u'/' + part;
            const QByteArray native = full(path);
            struct stat st;
            if (::lstat(native.constData(), &st) == 0) {
                if (S_ISDIR(st.st_mode))
                    continue;
                throw ArchiveError(QStringLiteral("Cannot extract into %1: it exists and is not a folder")
                                       .arg(QFile::decodeName(native)));
            }
            if (::mkdir(native.constData(), 0755) != 0 && errno != EEXIST)
                throw ArchiveError(QStringLiteral("Cannot create the folder %1: %2")
                                       .arg(QFile::decodeName(native), sysError(errno)));
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
        struct timespec times[2];
        times[0].tv_sec = mtime;
        times[0].tv_nsec = 0;
        times[1] = times[0];
        ::utimensat(AT_FDCWD, path.constData(), times, noFollow ? AT_SYMLINK_NOFOLLOW : 0);
    }

    static bool writeAll(int fd, const char *at, size_t left)
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

    // Files are extracted by one worker per core, each with its own handle on
    // the archive; this thread is one of them and takes the first file, and
    // it alone reports progress. The first failure in archive order is the
    // one reported; the other workers stop at their next file.
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

        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        std::mutex mutex;
        std::condition_variable ended;
        unsigned running = threads - 1;
        std::size_t failedAt = files.size();
        QString failure;

        auto work = [&](zip_t *za, std::size_t first, bool reporting) {
            for (std::size_t f = first; f < files.size() && !failed; f = next++) {
                const std::size_t i = files[f];
                try {
                    outcome_[i] = writeFile(plan_[i], za, reporting);
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
        };
        const std::size_t mine = next++;
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < threads; ++t) {
            pool.emplace_back([&] {
                zip_t *za = nullptr;
                try {
                    za = openForReading(job_.archive, false);
                    if (!password_.isEmpty())
                        zip_set_default_password(za, password_.constData());
                    work(za, next++, false);
                } catch (const ArchiveError &e) {
                    std::lock_guard lock(mutex);
                    if (failure.isEmpty())
                        failure = e.reason();
                    failed = true;
                }
                if (za)
                    zip_discard(za);
                std::lock_guard lock(mutex);
                --running;
                ended.notify_all();
            });
        }
        work(za_, mine, true);
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

    // Returns what became of the file: "extracted" or "kept".
    QString writeFile(const Planned &p, zip_t *za, bool reporting)
    {
        if (existingKept(p)) {
            done_ += p.size;
            return QStringLiteral("kept");
        }
        const QByteArray target = full(p.rel);
        QByteArray temp = full(parentOf(p.rel)) + "/.ozpart-XXXXXX";
        const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0)
            throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(target), sysError(errno)));

        QString failure;
        std::unique_ptr<EntryStream> stream;
        try {
            stream = EntryStream::open(za, p.index, password_);
        } catch (const ArchiveError &e) {
            failure = e.reason();
        }
        if (stream) {
            std::vector<char> buffer(256 * 1024);
            std::uint64_t written = 0;
            zip_int64_t n = 0;
            while (failure.isEmpty() && (n = stream->read(buffer.data(), buffer.size())) > 0) {
                written += static_cast<std::uint64_t>(n);
                if (written > p.size) {
                    failure = QStringLiteral("Cannot extract \"%1\": it holds more data than the archive declares")
                                  .arg(p.name);
                    break;
                }
                if (!writeAll(fd, buffer.data(), static_cast<size_t>(n))) {
                    failure = QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(target), sysError(errno));
                    break;
                }
                done_ += static_cast<std::uint64_t>(n);
                if (reporting)
                    reportDone();
            }
            if (failure.isEmpty() && n < 0)
                failure = QStringLiteral("Cannot extract \"%1\": %2").arg(p.name, stream->error());
            if (failure.isEmpty() && written != p.size)
                failure = QStringLiteral("Cannot extract \"%1\": it is shorter than the archive declares").arg(p.name);
        }
        if (failure.isEmpty()) {
            const mode_t mode = p.mode >= 0 ? static_cast<mode_t>(p.mode & 0777) : 0644;
            ::fchmod(fd, mode);
        }
        if (::close(fd) != 0 && failure.isEmpty())
            failure = QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(target), sysError(errno));
        if (failure.isEmpty()) {
            struct stat st;
            if (::lstat(target.constData(), &st) == 0 && S_ISDIR(st.st_mode))
                failure = QStringLiteral("Cannot write %1: a folder of that name is in the way").arg(QFile::decodeName(target));
        }
        if (failure.isEmpty()) {
            setTimes(temp, p.mtime);
            if (::rename(temp.constData(), target.constData()) != 0)
                failure = QStringLiteral("Cannot write %1: %2").arg(QFile::decodeName(target), sysError(errno));
        }
        if (!failure.isEmpty()) {
            ::unlink(temp.constData());
            throw ArchiveError(failure);
        }
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
    zip_t *za = openForReading(job.archive);
    if (!job.password.isEmpty())
        zip_set_default_password(za, job.password.toUtf8().constData());
    Extraction extraction(job, za, progress, record);
    try {
        extraction.run();
    } catch (...) {
        zip_discard(za);
        throw;
    }
    zip_discard(za);
}

} // namespace oz::archive::detail
