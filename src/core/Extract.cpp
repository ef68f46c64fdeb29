#include "Extract.h"

#include "Beneath.h"
#include "EntryReader.h"
#include "Error.h"
#include "FileIo.h"
#include "Names.h"
#include "NewFile.h"
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

enum class Type { File, Folder, Link };

struct Planned {
    std::size_t entry = 0; // index in the directory
    std::string rel;
    Type type = Type::File;
    std::string linkTarget;
    bool exists = false; // something of that name is there already and is to be replaced
};

std::string parentOf(const std::string &rel)
{
    const std::size_t slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

std::string leafOf(const std::string &rel)
{
    const std::size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

// The largest a link target may be: longer ones are no path any system resolves.
constexpr std::uint64_t maxLinkTarget = 4096;
// Entries up to this size (stored and full together) are read whole by each worker, the larger
// ones streamed; all the workers together hold at most the budget.
constexpr std::uint64_t wholeEntryLimit = 8u << 20;
constexpr std::uint64_t wholeEntryBudget = 128u << 20;

struct Worker;

class Extraction {
public:
    Extraction(int fd, const Directory &dir, const std::string &destination, const ExtractOptions &options,
               ExtractReport &report)
        : fd_(fd), dir_(dir), destination_(destination), options_(options), report_(report),
          results_(dir.entries.size(), "skipped")
    {
        while (destination_.size() > 1 && destination_.back() == '/')
            destination_.pop_back();
    }

    void run()
    {
        try {
            plan();
            checkDisk();
            write();
        } catch (...) {
            record();
            throw;
        }
        record();
    }

private:
    // --- planning: everything that can refuse the archive, before anything is written ----------

    [[noreturn]] void refuse(std::size_t entry, const std::string &why, Error::Kind kind = Error::Kind::Refused)
    {
        results_[entry] = "refused";
        throw Error("Refused to extract \"" + printable(dir_.entries[entry].name) + "\" from " + options_.archiveLabel
                        + ": " + why,
                    kind);
    }

    std::string shown(const std::string &rel) const
    {
        return printable(rel.empty() ? destination_ : destination_ + "/" + rel);
    }

    void plan()
    {
        for (std::size_t i = 0; i < dir_.entries.size(); ++i) {
            const Entry &e = dir_.entries[i];
            const auto safe = safeEntryPath(e);
            if (!safe)
                refuse(i, "its name would place it outside the destination");
            if (safe->empty()) {
                if (!e.isFolder())
                    refuse(i, "it has no file name");
                continue; // "./": the destination itself
            }
            try {
                checkReadable(e, !options_.password.empty());
            } catch (const Error &error) {
                if (error.kind() == Error::Kind::NoPassword)
                    throw Error(options_.archiveLabel + " is encrypted and no password was given", error.kind());
                refuse(i, error.what());
            }
            Planned p;
            p.entry = i;
            p.rel = *safe;
            p.type = e.isFolder() ? Type::Folder : e.isLink() ? Type::Link : Type::File;
            // The later of two entries of one name wins.
            const auto [at, fresh] = byRel_.try_emplace(p.rel, plan_.size());
            if (!fresh) {
                superseded_.push_back(plan_[at->second].entry);
                plan_[at->second] = std::move(p);
            } else {
                plan_.push_back(std::move(p));
            }
        }
        for (const Planned &p : plan_)
            checkParents(p);
        for (Planned &p : plan_)
            if (p.type == Type::Link)
                p.linkTarget = readLinkTarget(p.entry);
        for (const Planned &p : plan_)
            if (p.type == Type::Link && !linkStaysInside(p))
                refuse(p.entry, "it is a link that points outside the destination");
    }

    // Every folder above an entry must be a folder of the archive or of the disk: never one of
    // the archive's files, and never one of its links, which would carry the entry elsewhere.
    void checkParents(const Planned &p)
    {
        for (std::size_t slash = p.rel.find('/'); slash != std::string::npos; slash = p.rel.find('/', slash + 1)) {
            const std::string above = p.rel.substr(0, slash);
            folders_.insert(above);
            const auto it = byRel_.find(above);
            if (it == byRel_.end())
                continue;
            const Planned &q = plan_[it->second];
            if (q.type == Type::Link)
                refuse(p.entry, "it would be written through the link \"" + printable(dir_.entries[q.entry].name) + "\"");
            if (q.type == Type::File)
                refuse(p.entry, "the entry \"" + printable(dir_.entries[q.entry].name) + "\" is a file, not a folder");
        }
        if (p.type == Type::Folder)
            folders_.insert(p.rel);
    }

    std::string readLinkTarget(std::size_t i)
    {
        const Entry &e = dir_.entries[i];
        if (e.size > maxLinkTarget)
            refuse(i, "its link target is too long");
        std::string target(static_cast<std::size_t>(e.size), '\0');
        try {
            EntryReader reader(fd_, e, options_.password);
            std::size_t got = 0, n;
            while ((n = reader.read(reinterpret_cast<unsigned char *>(target.data()) + got, target.size() - got)) > 0)
                got += n;
            unsigned char more;
            reader.read(&more, 1);
        } catch (const Error &error) {
            results_[i] = "failed";
            throw Error("Cannot extract \"" + printable(e.name) + "\": " + error.what(), error.kind());
        }
        if (target.empty() || target.find('\0') != std::string::npos)
            refuse(i, "it is a link with no valid target");
        return target;
    }

    // Resolves the link's target as the system will once everything is extracted: through the
    // links of this archive and those already in the destination, one part at a time.
    bool linkStaysInside(const Planned &p)
    {
        std::vector<std::string> at;
        for (std::size_t s = 0, e; s < p.rel.size(); s = e + 1) {
            e = p.rel.find('/', s);
            if (e == std::string::npos)
                break;
            at.push_back(p.rel.substr(s, e - s));
        }
        int hops = 0;
        return resolve(at, p.linkTarget, hops);
    }

    bool resolve(std::vector<std::string> &at, const std::string &target, int &hops)
    {
        if (target.empty() || target[0] == '/' || ++hops > 40)
            return false;
        for (std::size_t s = 0; s <= target.size();) {
            std::size_t e = target.find('/', s);
            if (e == std::string::npos)
                e = target.size();
            const std::string part = target.substr(s, e - s);
            s = e + 1;
            if (part.empty() || part == ".")
                continue;
            if (part == "..") {
                if (at.empty())
                    return false;
                at.pop_back();
                continue;
            }
            std::string path;
            for (const auto &a : at)
                path += a + "/";
            path += part;
            std::string next;
            if (linkAt(path, next)) {
                if (!resolve(at, next, hops))
                    return false;
            } else {
                at.push_back(part);
            }
        }
        return true;
    }

    // Whether rel is a link once extracted (one of the archive's, or one on disk that the archive
    // does not replace), and its target.
    bool linkAt(const std::string &rel, std::string &target)
    {
        if (const auto it = byRel_.find(rel); it != byRel_.end()) {
            target = plan_[it->second].linkTarget;
            return plan_[it->second].type == Type::Link;
        }
        if (!root_)
            return false;
        char buffer[maxLinkTarget + 1];
        const ssize_t n = ::readlinkat(root_.get(), rel.c_str(), buffer, sizeof buffer);
        if (n < 0)
            return false;
        target.assign(buffer, static_cast<std::size_t>(n));
        return true;
    }

    // --- what the disk holds already --------------------------------------------------------

    void checkDisk()
    {
        root_ = Fd(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root_) {
            struct stat st;
            if (::stat(destination_.c_str(), &st) == 0)
                throw Error("Cannot extract into " + printable(destination_) + ": it is a file, not a folder",
                            Error::Kind::Io);
            return; // nothing is there yet, so nothing is in the way
        }
        // Links of the disk take part in the check of the archive's links.
        for (const Planned &p : plan_)
            if (p.type == Type::Link && !linkStaysInside(p))
                refuse(p.entry, "it is a link that points outside the destination");
        std::set<std::string> absent;
        for (const std::string &folder : folders_) {
            if (absent.count(parentOf(folder))) {
                absent.insert(folder);
                continue;
            }
            struct stat st;
            if (::fstatat(root_.get(), folder.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                absent.insert(folder);
            } else if (!S_ISDIR(st.st_mode)) {
                throw Error("Cannot extract into " + shown(folder) + ": it exists and is not a folder",
                            Error::Kind::Refused);
            } else {
                existing_.insert(folder);
            }
        }
        bool replaceAll = false;
        for (Planned &p : plan_) {
            if (p.type == Type::Folder || (!parentOf(p.rel).empty() && !existing_.count(parentOf(p.rel))))
                continue;
            struct stat st;
            if (::fstatat(root_.get(), p.rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(st.st_mode))
                throw Error("Cannot write " + shown(p.rel) + ": a folder of that name is in the way",
                            Error::Kind::Refused);
            p.exists = true;
            if (!replaceAll && !decideReplace(p, replaceAll))
                keep_.push_back(p.entry);
        }
        if (!keep_.empty()) {
            std::set<std::size_t> kept(keep_.begin(), keep_.end());
            std::erase_if(plan_, [&](const Planned &p) { return kept.count(p.entry) != 0; });
            byRel_.clear();
            for (std::size_t i = 0; i < plan_.size(); ++i)
                byRel_.emplace(plan_[i].rel, i);
        }
    }

    bool decideReplace(const Planned &p, bool &replaceAll)
    {
        using Existing = ExtractOptions::Existing;
        using Answer = ExtractOptions::Answer;
        if (options_.existing == Existing::Replace)
            return true;
        if (options_.existing == Existing::Keep || !options_.ask)
            return false;
        switch (options_.ask(shown(p.rel))) {
        case Answer::Replace: return true;
        case Answer::Keep: return false;
        case Answer::ReplaceAll: replaceAll = true; return true;
        case Answer::Quit: throw Error("Stopped at your request; nothing was extracted");
        }
        return false;
    }

    // --- writing ---------------------------------------------------------------------------

    void write();
    void makeFolders();
    void writeFiles();
    void writeOne(const Planned &p, Worker &worker, bool reporting);
    void writeData(const Planned &p, Worker &worker, int fd, bool reporting);
    void finishFile(NewFile &file, const Planned &p, int parent);
    void report();
    void checkStop() const;
    void commitHeld();
    void makeLinks();
    void setFolderTimes();
    int folderFd(const std::string &rel);
    mode_t modeOf(const Entry &e, bool folder) const;

    [[noreturn]] void ioFailure(const std::string &rel, int err)
    {
        throw Error("Cannot write " + shown(rel) + ": " + systemError(err), Error::Kind::Io);
    }

    void record()
    {
        for (std::size_t i : superseded_)
            results_[i] = "skipped";
        for (std::size_t i : keep_)
            results_[i] = "kept";
        for (std::size_t i = 0; i < results_.size(); ++i)
            report_.items.push_back({dir_.entries[i].name, results_[i]});
        report_.kept = keep_.size();
    }

    int fd_;
    const Directory &dir_;
    std::string destination_;
    const ExtractOptions &options_;
    ExtractReport &report_;
    std::vector<std::string> results_;
    std::vector<Planned> plan_;
    std::unordered_map<std::string, std::size_t> byRel_;
    std::vector<std::size_t> superseded_, keep_;
    std::set<std::string> folders_;  // every folder the archive needs, parents before children
    std::set<std::string> existing_; // those of them that were there before
    std::set<std::string> made_;     // those this extraction made
    Fd root_;
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
    std::atomic<std::uint64_t> done_{0};
    std::uint64_t total_ = 0;
    std::uint64_t wholeLimit_ = wholeEntryLimit;
};

mode_t Extraction::modeOf(const Entry &e, bool folder) const
{
    const int stored = e.unixMode();
    mode_t mode = stored >= 0 ? static_cast<mode_t>(stored & 0777) : (folder ? 0777 : 0666);
    mode &= ~umask_;
    return folder ? mode | 0700 : mode;
}

int Extraction::folderFd(const std::string &rel)
{
    const int fd = openFolderBeneath(root_.get(), rel);
    if (fd < 0)
        ioFailure(rel, errno);
    return fd;
}

void Extraction::write()
{
    if (!root_) {
        root_ = Fd(openOrMakeFolder(destination_));
        if (!root_)
            throw Error("Cannot create the folder " + printable(destination_) + ": " + systemError(errno), Error::Kind::Io);
    }
    makeFolders();
    writeFiles();
    commitHeld();
    makeLinks();
    setFolderTimes();
}

void Extraction::makeFolders()
{
    for (const std::string &folder : folders_) {
        if (existing_.count(folder))
            continue;
        Fd parent(folderFd(parentOf(folder)));
        // Owner-only until its entries are in; its own mode comes last.
        if (::mkdirat(parent.get(), leafOf(folder).c_str(), 0700) != 0) {
            struct stat st;
            if (errno != EEXIST || ::fstatat(parent.get(), leafOf(folder).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0
                || !S_ISDIR(st.st_mode))
                ioFailure(folder, errno == EEXIST ? EEXIST : errno);
            continue;
        }
        made_.insert(folder);
    }
    for (const Planned &p : plan_) {
        if (p.type == Type::Folder) {
            results_[p.entry] = "extracted";
            ++report_.folders;
        }
    }
}

// What one worker keeps from file to file.
struct Worker {
    std::unique_ptr<WholeReader> whole = std::make_unique<WholeReader>();
    std::vector<unsigned char> buffer;
    std::string parentRel;
    Fd parent; // the folder of its last file
};

void Extraction::report()
{
    if (options_.progress)
        options_.progress(done_.load(), total_);
}

// Files are written by one worker per core; this thread is one of them and alone reports
// progress. The first failure in archive order is the one reported; the other workers stop at
// their next file.
void Extraction::writeFiles()
{
    std::vector<const Planned *> files;
    for (const Planned &p : plan_) {
        if (p.type == Type::File) {
            files.push_back(&p);
            total_ += dir_.entries[p.entry].size;
        }
    }
    report();
    if (files.empty())
        return;
    unsigned threads = options_.threads > 0 ? static_cast<unsigned>(options_.threads) : std::thread::hardware_concurrency();
    threads = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, std::min<std::size_t>(files.size(), 64)));
    wholeLimit_ = std::min(wholeEntryLimit, wholeEntryBudget / threads);
    // Held replacements keep a descriptor each, and their folder's: as many as the system allows.
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
        heldOpenLimit_ = limit.rlim_cur > 512 + 8 * threads ? (limit.rlim_cur - 512 - 8 * threads) / 2 : 0;
    }

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::size_t failedAt = files.size();
    std::exception_ptr failure;
    auto work = [&](bool reporting) {
        try {
            Worker worker;
            for (std::size_t f; !failed && (f = next++) < files.size();) {
                try {
                    writeOne(*files[f], worker, reporting);
                    results_[files[f]->entry] = "extracted";
                } catch (...) {
                    std::lock_guard lock(mutex);
                    results_[files[f]->entry] = "failed";
                    if (f < failedAt) {
                        failedAt = f;
                        failure = std::current_exception();
                    }
                    failed = true;
                }
                if (reporting)
                    report();
            }
        } catch (const std::bad_alloc &) {
            std::lock_guard lock(mutex);
            if (!failure)
                failure = std::make_exception_ptr(Error("Cannot extract " + options_.archiveLabel + ": out of memory"));
            failed = true;
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
        report();
    }
    for (auto &t : pool)
        t.join();
    report();
    if (failure)
        std::rethrow_exception(failure);
    report_.files += files.size() - held_.size();
}

void Extraction::checkStop() const
{
    if (options_.stop && options_.stop->load())
        throw Error("Stopped before the extraction was complete", Error::Kind::Stopped);
}

void Extraction::writeOne(const Planned &p, Worker &worker, bool reporting)
{
    checkStop();
    const std::string parent = parentOf(p.rel);
    if (!worker.parent || worker.parentRel != parent) {
        worker.parent = Fd(folderFd(parent));
        worker.parentRel = parent;
    }
    NewFile file(worker.parent.get(), leafOf(p.rel), 0600, shown(p.rel));
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
    ::fchmod(file.fd(), modeOf(e, false));
    if (e.mtime != 0) {
        const struct timespec times[2] = {{e.mtime, 0}, {e.mtime, 0}};
        ::futimens(file.fd(), times);
    }
    if (!p.exists) {
        file.commit(false);
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
    // Beyond what the system lets us hold open, a replacement goes in at once.
    file.commit(true);
}

void Extraction::commitHeld()
{
    checkStop();
    for (Held &h : held_) {
        h.file.commit(true);
        ++report_.files;
    }
    held_.clear();
}

void Extraction::makeLinks()
{
    for (const Planned &p : plan_) {
        if (p.type != Type::Link)
            continue;
        Fd parent(folderFd(parentOf(p.rel)));
        const std::string leaf = leafOf(p.rel);
        if (p.exists) {
            // A link cannot be made over a name: it is made beside it and renamed over it.
            const std::string temp = ".oz-link-" + std::to_string(::getpid()) + "-" + std::to_string(p.entry);
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
        results_[p.entry] = "extracted";
        ++report_.links;
    }
}

// Folder modes and times last, deepest first, once nothing more is written into them. Only
// folders this extraction made: those that were there keep theirs.
void Extraction::setFolderTimes()
{
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
        if (!made_.count(*it))
            continue;
        Fd folder(openFolderBeneath(root_.get(), *it));
        if (!folder)
            continue;
        const auto planned = byRel_.find(*it);
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

void testArchive(int archiveFd, const Directory &dir, const std::string &password,
                 const std::function<void(std::uint64_t, std::uint64_t)> &progress)
{
    std::uint64_t total = 0, done = 0;
    for (const Entry &e : dir.entries)
        total += e.isFolder() ? 0 : e.size;
    std::vector<unsigned char> buffer(256 * 1024);
    WholeReader whole;
    for (const Entry &e : dir.entries) {
        if (e.isFolder())
            continue;
        try {
            if (e.encrypted() && password.empty())
                throw Error("it is encrypted and no password was given", Error::Kind::NoPassword);
            if (WholeReader::takes(e, wholeEntryLimit)) {
                whole.read(archiveFd, e, password);
                done += e.size;
                if (progress)
                    progress(done, total);
                continue;
            }
            EntryReader reader(archiveFd, e, password);
            std::size_t n;
            while ((n = reader.read(buffer.data(), buffer.size())) > 0) {
                done += n;
                if (progress)
                    progress(done, total);
            }
        } catch (const Error &error) {
            throw Error("\"" + printable(e.name) + "\" is damaged: " + error.what(), error.kind());
        }
    }
}

void checkPassword(int archiveFd, const Directory &dir, const std::string &password)
{
    // The smallest non-empty encrypted file: an empty one has nothing but its check bytes.
    const Entry *probe = nullptr;
    for (const Entry &e : dir.entries) {
        if (!e.encrypted() || e.isFolder() || !methodSupported(e.method) || (e.flags & flag::strong) || e.aesBits < 0)
            continue;
        if (!probe || ((probe->size == 0) != (e.size == 0) ? probe->size == 0 : e.size < probe->size))
            probe = &e;
    }
    if (!probe)
        return;
    if (password.empty())
        throw Error("it is encrypted and no password was given", Error::Kind::NoPassword);
    try {
        EntryReader(archiveFd, *probe, password).verify();
    } catch (const Error &) {
        throw Error("Wrong password", Error::Kind::WrongPassword);
    }
}

} // namespace oz::core
