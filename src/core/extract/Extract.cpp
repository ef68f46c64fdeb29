#include "ExtractPlan.h"

#include "core/files/Beneath.h"
#include "core/read/EntryReader.h"
#include "core/base/Error.h"
#include "core/base/FileIo.h"
#include "core/format/Names.h"
#include "core/files/NewFile.h"
#include "core/base/WorkerFailure.h"
#include "WriteBehind.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace oz::core {

namespace {

// All the workers together hold at most this much of entries read whole.
constexpr std::uint64_t wholeEntryBudget = 128u << 20;
constexpr std::uint64_t storedPerWorker = 1u << 20;

struct Worker;

// The writer on POSIX systems: every path is opened below the destination's descriptor. A new
// folder at the top of the destination is made under a hidden name, its files are written
// under their own names, and it takes its name when the extraction ends, however it ends: a
// failed file is removed before that, and a kill -9 leaves only the hidden folder, which the
// next run into the destination removes. Every other file is written unnamed and linked in
// when complete, a link per file that a new folder saves.
class Extraction : public ExtractionPlan {
public:
    using ExtractionPlan::ExtractionPlan;

private:
    bool stopSignalled() const override { return signalPending(); }

    bool openDestination() override
    {
        root_ = Fd(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root_)
            return true;
        struct stat st;
        if (::stat(destination_.c_str(), &st) == 0)
            throw Error("Cannot extract into " + printable(destination_) + ": it is a file, not a folder",
                        Error::Kind::Io);
        return false;
    }

    OnDisk onDisk(const std::string &rel) override
    {
        struct stat st;
        if (::fstatat(root_.get(), rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return OnDisk::Nothing;
        return S_ISDIR(st.st_mode) ? OnDisk::Folder : OnDisk::Other;
    }

    bool diskLink(const std::string &rel, std::string &target) override
    {
        char buffer[maxLinkTarget + 1];
        const ssize_t n = ::readlinkat(root_.get(), rel.c_str(), buffer, sizeof buffer);
        if (n < 0)
            return false;
        target.assign(buffer, static_cast<std::size_t>(n));
        return true;
    }

    void write() override;
    void makeFolders();
    void writeFiles();
    static std::size_t heldReplacementsFor(unsigned threads);
    void runWorkers(const std::vector<const Planned *> &files, unsigned threads);
    void writeOne(const Planned &p, Worker &worker, bool reporting);
    void writeData(const Planned &p, Worker &worker, int fd, bool reporting);
    void finishFile(NewFile &file, const Planned &p, int parent);
    void report();
    void commitHeld();
    void makeLinks();
    void setFolderTimes();
    void makeRoot();
    void reveal(bool failing);
    std::string diskPath(const std::string &rel) const;
    int folderFd(const std::string &rel);
    mode_t modeOf(const Entry &e, bool folder) const;

    [[noreturn]] void ioFailure(const std::string &rel, int err) { ExtractionPlan::ioFailure(rel, systemError(err)); }

    // First, so that it goes last, once every file of this extraction is in place or gone.
    std::optional<SignalsDeferred> deferred_;
    std::vector<bool> made_;          // by folder: made by this extraction
    std::vector<bool> staged_;        // by folder: inside a hidden top folder
    std::vector<std::string> hidden_; // by folder: a new top folder's hidden name until the end
    Fd root_;
    // A destination this extraction makes: its hidden name until the end, in the folder above.
    Fd above_;
    std::string hiddenRoot_, rootLeaf_;
    bool rootStaged_ = false;
    mode_t umask_ = currentUmask();
    // Replacements of files that were there, held back until every entry checked out.
    std::mutex heldMutex_;
    struct Held {
        NewFile file;
        Fd parent;
        const Planned *planned;
    };
    std::vector<Held> held_;
    std::size_t heldOpenLimit_ = 0;
    bool checkedFirst_ = false; // every entry checked out before writing: no need to hold back
    std::atomic<std::uint64_t> done_{0};
    std::uint64_t total_ = 0;
    std::uint64_t wholeLimit_ = WholeReader::wholeLimit;
};

mode_t Extraction::modeOf(const Entry &e, bool folder) const
{
    const int stored = e.unixMode();
    mode_t mode = stored >= 0 ? static_cast<mode_t>(stored & 0777) : (folder ? 0777 : 0666);
    mode &= ~umask_;
    return folder ? mode | 0700 : mode;
}

// Where rel is while the extraction runs: below a new top folder, in that folder's hidden name.
std::string Extraction::diskPath(const std::string &rel) const
{
    const std::size_t slash = rel.find('/');
    const std::uint32_t top
        = hidden_.empty() ? FolderTree::none : folders_.find(FolderTree::none, rel.substr(0, slash));
    if (top == FolderTree::none || hidden_[top].empty())
        return rel;
    return slash == std::string::npos ? hidden_[top] : hidden_[top] + rel.substr(slash);
}

int Extraction::folderFd(const std::string &rel)
{
    const int fd = openFolderBeneath(root_.get(), diskPath(rel));
    if (fd < 0)
        ioFailure(rel, errno);
    return fd;
}

void Extraction::write()
{
    if (options_.strict) {
        checkFirst(); // all or nothing: not even a folder before every entry checked out
        checkedFirst_ = true;
    }
    if (root_)
        removeLeftovers(root_.get());
    else
        makeRoot();
    try {
        makeFolders();
        writeFiles();
        commitHeld();
        makeLinks();
        setFolderTimes();
    } catch (...) {
        // What was complete appears, also when stopped, in folders with their own modes: they were
        // owner-only only while being filled.
        try {
            setFolderTimes();
        } catch (...) {
        }
        reveal(true);
        throw;
    }
    reveal(false);
    reportDamaged();
}

// A destination that is not there yet is made as a new top folder is: under a hidden name beside
// where it goes, renamed into place at the end. Where that cannot be, it is made at once.
void Extraction::makeRoot()
{
    const std::size_t slash = destination_.rfind('/');
    std::string leaf = slash == std::string::npos ? destination_ : destination_.substr(slash + 1);
    if (!leaf.empty() && leaf != "." && leaf != "..") {
        Fd above(openOrMakeFolder(slash == std::string::npos ? "." : slash == 0 ? "/" : destination_.substr(0, slash)));
        struct stat st;
        // A link that leads nowhere is no destination either: it is refused as before, at once.
        if (above && ::fstatat(above.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            removeLeftovers(above.get()); // what a killed run left there in its place
            if (!deferred_)
                deferred_.emplace();
            hiddenRoot_ = makeTemporaryFolder(above.get(), 0777);
            if (!hiddenRoot_.empty())
                root_ = Fd(::openat(above.get(), hiddenRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (root_) {
                above_ = std::move(above);
                rootLeaf_ = std::move(leaf);
                rootStaged_ = true;
                return;
            }
            if (!hiddenRoot_.empty())
                ::unlinkat(above.get(), hiddenRoot_.c_str(), AT_REMOVEDIR);
            hiddenRoot_.clear();
        }
    }
    root_ = Fd(openOrMakeFolder(destination_));
    if (!root_)
        throw Error("Cannot create the folder " + printable(destination_) + ": " + systemError(errno), Error::Kind::Io);
}

// The hidden folders take their names. One whose name was taken meanwhile by something else
// does not replace it: that is an error, unless the extraction fails already.
void Extraction::reveal(bool failing)
{
    std::optional<std::string> failed; // the first that did not take its name; "" for the destination
    int err = 0;
    for (std::uint32_t f = 0; f < hidden_.size(); ++f) {
        if (hidden_[f].empty())
            continue;
        if (renameNoReplace(root_.get(), hidden_[f], folders_.path(f)) != 0 && !failed) {
            failed = folders_.path(f);
            err = errno;
        }
        hidden_[f].clear();
    }
    if (!hiddenRoot_.empty()) {
        if (renameNoReplace(above_.get(), hiddenRoot_, rootLeaf_) != 0 && !failed) {
            failed.emplace();
            err = errno;
        }
        hiddenRoot_.clear();
    }
    if (failed && !failing)
        ioFailure(*failed, err);
}

void Extraction::makeFolders()
{
    made_.assign(folders_.size(), false);
    staged_.assign(folders_.size(), false);
    hidden_.assign(folders_.size(), {});
    for (std::uint32_t f = 0; f < folders_.size(); ++f) {
        const std::string folder = folders_.path(f);
        if (existing_[f]) {
            // What a killed run left in the folders that were there goes; new ones hold none.
            if (Fd fd(openFolderBeneath(root_.get(), folder)); fd)
                removeLeftovers(fd.get());
            continue;
        }
        const std::uint32_t parentFolder = folders_.parent(f);
        if (parentFolder == FolderTree::none && !rootStaged_) {
            if (!deferred_)
                deferred_.emplace();
            hidden_[f] = makeTemporaryFolder(root_.get());
            if (hidden_[f].empty())
                ioFailure(folder, errno);
            staged_[f] = made_[f] = true;
            continue;
        }
        staged_[f] = parentFolder == FolderTree::none || staged_[parentFolder];
        Fd parent(folderFd(parentOf(folder)));
        // Owner-only until its entries are in; its own mode comes last.
        if (::mkdirat(parent.get(), leafOf(folder).c_str(), 0700) != 0) {
            struct stat st;
            if (errno != EEXIST || ::fstatat(parent.get(), leafOf(folder).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0
                || !S_ISDIR(st.st_mode))
                ioFailure(folder, errno == EEXIST ? EEXIST : errno);
            continue;
        }
        made_[f] = true;
    }
    foldersMade();
}

// What one worker keeps from file to file.
struct Worker {
    std::unique_ptr<WholeReader> whole = std::make_unique<WholeReader>();
    std::vector<unsigned char> buffer;
    std::uint32_t parentFolder = FolderTree::none;
    Fd parent;              // the folder of its last file
    bool parentAcl = false; // that folder gives new files a default ACL, which the umask does not limit
};

void Extraction::report()
{
    if (options_.progress)
        options_.progress(done_.load(), total_);
}

// Files are written by one worker per core; this thread is one of them and alone reports
// progress.
void Extraction::writeFiles()
{
    std::vector<const Planned *> files;
    std::uint64_t stored = 0;
    for (const Planned &p : plan_) {
        if (p.type == EntryType::File) {
            files.push_back(&p);
            total_ += dir_.entries[p.entry].size;
            stored += dir_.entries[p.entry].compressedSize;
        }
    }
    report();
    if (files.empty())
        return;
    // By default a worker for each storedPerWorker of the archive at most: what a worker holds (its
    // buffers, a decoder's state, its stack) then grows with the archive, not with the cores.
    const std::uint64_t wanted = options_.threads > 0
        ? static_cast<unsigned>(options_.threads)
        : std::min<std::uint64_t>(std::thread::hardware_concurrency(), 1 + stored / storedPerWorker);
    const auto threads
        = static_cast<unsigned>(std::clamp<std::uint64_t>(wanted, 1, std::min<std::uint64_t>(files.size(), 64)));
    wholeLimit_ = std::min(WholeReader::wholeLimit, wholeEntryBudget / threads);
    heldOpenLimit_ = heldReplacementsFor(threads);
    const auto replacements = static_cast<std::size_t>(
        std::count_if(files.begin(), files.end(), [](const Planned *p) { return p->exists; }));
    if (!checkedFirst_ && replacements > heldOpenLimit_) {
        // Not all can wait open for the end: every entry is checked before the first is written.
        checkFirst();
        checkedFirst_ = true;
    }
    if (checkedFirst_) {
        std::erase_if(files, [&](const Planned *p) {
            if (!anyDamaged() || !p->exists)
                return results_[p->entry] == EntryResult::Damaged;
            results_[p->entry] = EntryResult::Skipped; // a damaged archive replaces nothing
            return true;
        });
    }
    runWorkers(files, threads);
}

// Held replacements keep a descriptor each, and their folder's: as many as the system allows.
std::size_t Extraction::heldReplacementsFor(unsigned threads)
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur > 512 + 8 * threads ? (limit.rlim_cur - 512 - 8 * threads) / 2 : 0;
}

// Hands the files out to the workers. Many small files go a run at a time, so that each
// worker's read ahead holds the data of the files it writes next rather than another's.
class Runs {
public:
    Runs(std::size_t files, unsigned threads) : files_(files), run_(files >= 256 * threads ? 16 : 1) {}
    // The next file after f for a worker whose run ends before end; false when none is left.
    bool take(std::size_t &f, std::size_t &end)
    {
        if (++f < end)
            return true;
        f = next_.fetch_add(run_);
        end = std::min(f + run_, files_);
        return f < end;
    }

private:
    const std::size_t files_, run_;
    std::atomic<std::size_t> next_{0};
};

// The first failure in archive order is the one reported; the other workers stop at their
// next file. A damaged entry fails alone (unless strict), whatever the thread that meets it.
void Extraction::runWorkers(const std::vector<const Planned *> &files, unsigned threads)
{
    WorkerFailure failure;
    auto fail = [&](std::size_t f) {
        results_[files[f]->entry] = EntryResult::Failed;
        failure.capture(f);
    };
    Runs runs(files.size(), threads);
    auto work = [&](bool reporting) {
        try {
            Worker worker;
            for (std::size_t f = 0, end = 0; !failure.stopped() && runs.take(f, end);) {
                try {
                    writeOne(*files[f], worker, reporting);
                    results_[files[f]->entry] = EntryResult::Extracted;
                } catch (const Error &error) {
                    if (error.kind() == Error::Kind::Damaged && !options_.strict)
                        entryDamaged(files[f]->entry, error.what());
                    else
                        fail(f);
                } catch (...) {
                    fail(f);
                }
                if (reporting)
                    report();
            }
        } catch (const std::bad_alloc &) {
            failure.capture(std::make_exception_ptr(
                Error("Cannot extract " + options_.archiveLabel + ": out of memory", Error::Kind::System)));
        } catch (...) {
            failure.capture(); // the progress callback's, say: thrown again on this thread below
        }
    };
    std::atomic<unsigned> running{threads - 1};
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t)
        pool.emplace_back([&] {
            work(false);
            --running;
        });
    work(true);
    while (running > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (!failure.stopped())
            failure.guard([&] { report(); }); // nothing may leave here while workers run
    }
    for (auto &t : pool)
        t.join();
    report();
    failure.rethrow();
}

void Extraction::writeOne(const Planned &p, Worker &worker, bool reporting)
{
    checkStop();
    if (!worker.parent || worker.parentFolder != p.parent) {
        worker.parent = Fd(folderFd(parentOf(p.rel)));
        worker.parentFolder = p.parent;
        worker.parentAcl = hasDefaultAcl(worker.parent.get());
    }
    // Made with its mode, which saves a call per file; an ACL or a hidden name needs it set again.
    const bool direct = p.parent == FolderTree::none ? rootStaged_ : staged_[p.parent];
    NewFile file(worker.parent.get(), leafOf(p.rel), modeOf(dir_.entries[p.entry], false), shown(p.rel),
                 direct ? NewFile::Placement::Direct : NewFile::Placement::Unnamed);
    if (worker.parentAcl || file.hasHiddenName())
        ::fchmod(file.fd(), modeOf(dir_.entries[p.entry], false));
    try {
        writeData(p, worker, file.fd(), reporting);
    } catch (const Error &error) {
        if (error.kind() == Error::Kind::Io || error.kind() == Error::Kind::Stopped)
            throw;
        throw Error("Cannot extract \"" + printable(dir_.entries[p.entry].name) + "\": " + error.what(), error.kind());
    }
    finishFile(file, p, worker.parent.get());
}

void Extraction::writeData(const Planned &p, Worker &worker, int fd, bool reporting)
{
    const Entry &e = dir_.entries[p.entry];
    if (WholeReader::takes(e, wholeLimit_)) {
        const unsigned char *data = worker.whole->read(fd_, e, options_.password);
        // In pieces, so that progress moves while a larger file is written.
        constexpr std::uint64_t piece = 1u << 20;
        for (std::uint64_t at = 0; at < e.size; at += piece) {
            const std::uint64_t n = std::min(piece, e.size - at);
            if (!writeAll(fd, data + at, static_cast<std::size_t>(n)))
                ioFailure(p.rel, errno);
            done_ += n;
            if (reporting)
                report();
        }
        if (e.size > piece)
            worker.whole->trim();
        return;
    }
    EntryReader reader(fd_, e, options_.password);
    std::optional<WriteBehind> behind;
    if (e.size >= 4 * WriteBehind::bufferSize)
        behind.emplace(fd);
    // Small enough to stay in the cache between decoding and writing.
    worker.buffer.resize(64 * 1024);
    for (;;) {
        std::vector<unsigned char> *buffer = behind ? behind->take() : &worker.buffer;
        if (!buffer)
            break;
        checkStop();
        const std::size_t n = reader.read(buffer->data(), buffer->size());
        if (n == 0)
            break;
        if (behind)
            behind->submit(buffer, n);
        else if (!writeAll(fd, buffer->data(), n))
            ioFailure(p.rel, errno);
        done_ += n;
        if (reporting)
            report();
    }
    if (behind) {
        if (const int err = behind->finish(); err != 0)
            ioFailure(p.rel, err);
    }
}

// Gives the file its mode and time and its name, or holds it back when it replaces a file that
// was there: those are put in place only once every entry has checked out.
void Extraction::finishFile(NewFile &file, const Planned &p, int parent)
{
    const Entry &e = dir_.entries[p.entry];
    if (e.mtime != 0) {
        const struct timespec times[2] = {{e.mtime, 0}, {e.mtime, 0}};
        ::futimens(file.fd(), times);
    }
    if (!p.exists || checkedFirst_) {
        file.commit(p.exists);
        return;
    }
    std::lock_guard lock(heldMutex_);
    if (held_.size() < heldOpenLimit_) {
        Fd own(::fcntl(parent, F_DUPFD_CLOEXEC, 0));
        if (own) {
            file.useFolderFd(own.get());
            held_.push_back({std::move(file), std::move(own), &p});
            return;
        }
    }
    // The limit was read before the workers started; should descriptors run out all the same,
    // the replacement is dropped rather than put in before every entry checked out.
    ioFailure(p.rel, EMFILE);
}

// Replacements go in once every entry has checked out; after a damaged one, none does.
void Extraction::commitHeld()
{
    if (anyDamaged()) {
        for (Held &h : held_)
            results_[h.planned->entry] = EntryResult::Skipped;
        held_.clear();
    }
    checkStop();
    for (Held &h : held_)
        h.file.commit(true);
    held_.clear();
    for (const Planned &p : plan_)
        report_.files += p.type == EntryType::File && results_[p.entry] == EntryResult::Extracted;
}

void Extraction::makeLinks()
{
    for (const Planned &p : plan_) {
        if (p.type != EntryType::Link)
            continue;
        Fd parent(folderFd(parentOf(p.rel)));
        const std::string leaf = leafOf(p.rel);
        if (p.exists) {
            // A link cannot be made over a name: it is made beside it and renamed over it.
            const std::string temp = temporaryName("link-" + std::to_string(p.entry));
            if (::symlinkat(p.linkTarget.c_str(), parent.get(), temp.c_str()) != 0)
                ioFailure(p.rel, errno);
            if (::renameat(parent.get(), temp.c_str(), parent.get(), leaf.c_str()) != 0) {
                const int err = errno;
                ::unlinkat(parent.get(), temp.c_str(), 0);
                ioFailure(p.rel, err);
            }
        } else if (::symlinkat(p.linkTarget.c_str(), parent.get(), leaf.c_str()) != 0) {
            ioFailure(p.rel, errno);
        }
        const std::time_t mtime = dir_.entries[p.entry].mtime;
        if (mtime != 0) {
            const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
            ::utimensat(parent.get(), leaf.c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
        results_[p.entry] = EntryResult::Extracted;
        ++report_.links;
    }
}

// Folder modes and times last, deepest first, once nothing more is written into them. Only
// folders this extraction made: those that were there keep theirs.
void Extraction::setFolderTimes()
{
    // By made_, which a failure may leave short of the tree: this runs on the way out of one too.
    for (auto f = static_cast<std::uint32_t>(made_.size()); f-- > 0;) {
        if (!made_[f])
            continue;
        const std::string path = folders_.path(f);
        Fd folder(openFolderBeneath(root_.get(), diskPath(path)));
        if (!folder)
            continue;
        const auto planned = byRel_.find(path);
        const Entry *e = planned != byRel_.end() ? &dir_.entries[plan_[planned->second].entry] : nullptr;
        ::fchmod(folder.get(), e ? modeOf(*e, true) : ((0777 & ~umask_) | 0700));
        if (e && e->mtime != 0) {
            const struct timespec times[2] = {{e->mtime, 0}, {e->mtime, 0}};
            ::futimens(folder.get(), times);
        }
    }
}

} // namespace

void extractArchive(int archiveFd, const Directory &dir, const std::string &destination, const ExtractOptions &options,
                    ExtractReport &report)
{
    Extraction(archiveFd, dir, destination, options, report).run();
}

} // namespace oz::core
