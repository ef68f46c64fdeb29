#include "ExtractPlan.h"

#include "EntryReader.h"
#include "Error.h"
#include "Names.h"

#include <algorithm>

namespace oz::core {

namespace {
// Entries up to this size are checked whole, the larger ones streamed.
constexpr std::uint64_t wholeEntryLimit = 8u << 20;
} // namespace

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

ExtractionPlan::ExtractionPlan(int fd, const Directory &dir, const std::string &destination,
                               const ExtractOptions &options, ExtractReport &report)
    : fd_(fd), dir_(dir), destination_(destination), options_(options), report_(report),
      results_(dir.entries.size(), "skipped")
{
    while (destination_.size() > 1 && (destination_.back() == '/' || destination_.back() == '\\'))
        destination_.pop_back();
}

void ExtractionPlan::run()
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

void ExtractionPlan::ioFailure(const std::string &rel, const std::string &why)
{
    throw Error("Cannot write " + shown(rel) + ": " + why, Error::Kind::Io);
}

void ExtractionPlan::checkStop() const
{
    if (options_.stop && options_.stop->load())
        throw Error("Stopped before the extraction was complete", Error::Kind::Stopped);
}

void ExtractionPlan::foldersMade()
{
    for (const Planned &p : plan_) {
        if (p.type == EntryType::Folder) {
            results_[p.entry] = "extracted";
            ++report_.folders;
        }
    }
}

void ExtractionPlan::record()
{
    for (std::size_t i : superseded_)
        results_[i] = "skipped";
    for (std::size_t i : keep_)
        results_[i] = "kept";
    for (std::size_t i = 0; i < results_.size(); ++i)
        report_.items.push_back({dir_.entries[i].name, results_[i]});
    report_.kept = keep_.size();
}

void ExtractionPlan::refuse(std::size_t entry, const std::string &why, Error::Kind kind)
{
    results_[entry] = "refused";
    throw Error("Refused to extract \"" + printable(dir_.entries[entry].name) + "\" from " + options_.archiveLabel
                    + ": " + why,
                kind);
}

std::string ExtractionPlan::shown(const std::string &rel) const
{
    std::string path = rel.empty() ? destination_ : destination_ + separator_ + rel;
    if (separator_ != '/')
        std::replace(path.begin() + static_cast<std::ptrdiff_t>(destination_.size()), path.end(), '/', separator_);
    return printable(path);
}

void ExtractionPlan::plan()
{
    for (std::size_t i = 0; i < dir_.entries.size(); ++i) {
        const Entry &e = dir_.entries[i];
        const auto safe = safeEntryPath(e);
        if (!safe)
            refuse(i, whyNameRefused(e));
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
        p.rel = localPath(*safe);
        p.type = e.isFolder() ? EntryType::Folder : e.isLink() ? EntryType::Link : EntryType::File;
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
        if (p.type == EntryType::Link)
            p.linkTarget = readLinkTarget(p.entry);
    for (const Planned &p : plan_)
        if (p.type == EntryType::Link && !linkStaysInside(p))
            refuse(p.entry, "it is a link that points outside the destination");
}

// Every folder above an entry must be a folder of the archive or of the disk: never one of
// the archive's files, and never one of its links, which would carry the entry elsewhere.
void ExtractionPlan::checkParents(const Planned &p)
{
    for (std::size_t slash = p.rel.find('/'); slash != std::string::npos; slash = p.rel.find('/', slash + 1)) {
        const std::string above = p.rel.substr(0, slash);
        folders_.insert(above);
        const auto it = byRel_.find(above);
        if (it == byRel_.end())
            continue;
        const Planned &q = plan_[it->second];
        if (q.type == EntryType::Link)
            refuse(p.entry, "it would be written through the link \"" + printable(dir_.entries[q.entry].name) + "\"");
        if (q.type == EntryType::File)
            refuse(p.entry, "the entry \"" + printable(dir_.entries[q.entry].name) + "\" is a file, not a folder");
    }
    if (p.type == EntryType::Folder)
        folders_.insert(p.rel);
}

std::string ExtractionPlan::readLinkTarget(std::size_t i)
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
bool ExtractionPlan::linkStaysInside(const Planned &p)
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

bool ExtractionPlan::resolve(std::vector<std::string> &at, const std::string &target, int &hops)
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
bool ExtractionPlan::linkAt(const std::string &rel, std::string &target)
{
    if (const auto it = byRel_.find(rel); it != byRel_.end()) {
        target = plan_[it->second].linkTarget;
        return plan_[it->second].type == EntryType::Link;
    }
    return rootOpen_ && diskLink(rel, target);
}

void ExtractionPlan::checkDisk()
{
    rootOpen_ = openDestination();
    if (!rootOpen_)
        return; // nothing is there yet, so nothing is in the way
    // Links of the disk take part in the check of the archive's links.
    for (const Planned &p : plan_)
        if (p.type == EntryType::Link && !linkStaysInside(p))
            refuse(p.entry, "it is a link that points outside the destination");
    std::set<std::string> absent;
    for (const std::string &folder : folders_) {
        if (absent.count(parentOf(folder))) {
            absent.insert(folder);
            continue;
        }
        const OnDisk there = onDisk(folder);
        if (there == OnDisk::Nothing) {
            absent.insert(folder);
        } else if (there != OnDisk::Folder) {
            throw Error("Cannot extract into " + shown(folder) + ": it exists and is not a folder",
                        Error::Kind::Refused);
        } else {
            existing_.insert(folder);
        }
    }
    bool replaceAll = false;
    for (Planned &p : plan_) {
        if (p.type == EntryType::Folder || (!parentOf(p.rel).empty() && !existing_.count(parentOf(p.rel))))
            continue;
        const OnDisk there = onDisk(p.rel);
        if (there == OnDisk::Nothing)
            continue;
        if (there == OnDisk::Folder)
            throw Error("Cannot write " + shown(p.rel) + ": a folder of that name is in the way", Error::Kind::Refused);
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

bool ExtractionPlan::decideReplace(const Planned &p, bool &replaceAll)
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
