#include "ExtractPlan.h"

#include "core/read/EntryReader.h"
#include "core/base/Error.h"
#include "core/format/Names.h"

#include <algorithm>
#include <functional>
#include <set>

namespace oz::core {

namespace {
// No one makes folders this deep; an archive that does costs a walk per part.
constexpr std::size_t maxDepth = 2048;
} // namespace

std::uint32_t FolderTree::add(std::uint32_t parent, std::string_view leaf, std::size_t entry)
{
    if (const std::uint32_t f = find(parent, leaf); f != none)
        return f;
    if ((nodes_.size() + 1) * 2 > table_.size())
        grow();
    const auto f = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back({parent, static_cast<std::uint32_t>(leaf.size()), names_.size(), entry});
    names_.append(leaf);
    table_[slot(parent, leaf)] = f;
    return f;
}

std::uint32_t FolderTree::find(std::uint32_t parent, std::string_view leaf) const
{
    return table_.empty() ? none : table_[slot(parent, leaf)];
}

// The slot that holds the folder, or the free one where it goes.
std::size_t FolderTree::slot(std::uint32_t parent, std::string_view leaf) const
{
    const std::size_t mask = table_.size() - 1;
    std::size_t at = (std::hash<std::string_view>()(leaf) ^ (parent * 0x9E3779B97F4A7C15ull)) & mask;
    for (;; at = (at + 1) & mask) {
        const std::uint32_t f = table_[at];
        if (f == none || (nodes_[f].parent == parent && this->leaf(nodes_[f]) == leaf))
            return at;
    }
}

void FolderTree::grow()
{
    table_.assign(std::max<std::size_t>(64, table_.size() * 2), none);
    for (std::uint32_t f = 0; f < nodes_.size(); ++f)
        table_[slot(nodes_[f].parent, leaf(nodes_[f]))] = f;
}

std::string FolderTree::path(std::uint32_t f) const
{
    std::vector<std::uint32_t> chain;
    std::size_t length = 0;
    for (std::uint32_t at = f; at != none; at = nodes_[at].parent) {
        chain.push_back(at);
        length += nodes_[at].length + 1;
    }
    std::string out;
    out.reserve(length);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!out.empty())
            out += '/';
        out += leaf(nodes_[*it]);
    }
    return out;
}

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
      results_(dir.entries.size(), EntryResult::Skipped)
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
    if ((options_.stop && options_.stop->load()) || stopSignalled())
        throw Error("Stopped before the extraction was complete", Error::Kind::Stopped);
}

void ExtractionPlan::foldersMade()
{
    for (const Planned &p : plan_) {
        if (p.type == EntryType::Folder) {
            results_[p.entry] = EntryResult::Extracted;
            ++report_.folders;
        }
    }
}

void ExtractionPlan::record()
{
    for (std::size_t i : superseded_)
        results_[i] = EntryResult::Skipped;
    for (std::size_t i : keep_)
        results_[i] = EntryResult::Kept;
    for (std::size_t i = 0; i < results_.size(); ++i)
        report_.items.push_back({dir_.entries[i].name, results_[i]});
    report_.kept = keep_.size();
}

void ExtractionPlan::refuse(std::size_t entry, const std::string &why, Error::Kind kind)
{
    results_[entry] = EntryResult::Refused;
    // A name of thousands of bytes is shown by its start: the reason says the rest.
    const std::string &name = dir_.entries[entry].name;
    const std::string named = name.size() > 200 ? printable(name.substr(0, 200)) + "..." : printable(name);
    throw Error("Refused to extract \"" + named + "\" from " + options_.archiveLabel + ": " + why, kind);
}

std::string ExtractionPlan::shownBelow(std::string rel) const
{
    std::replace(rel.begin(), rel.end(), '/', separator_);
    return rel;
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
    NamePlanner names(system_);
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
        checkLength(i, *safe);
        p.rel = names.place(*safe, e.isFolder());
        if (p.rel != *safe) {
            checkLength(i, p.rel);
            report_.renamed.push_back({e.name, shownBelow(p.rel)});
        }
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
    for (Planned &p : plan_)
        placeInFolders(p);
    checkParents();
    for (Planned &p : plan_)
        if (p.type == EntryType::Link)
            p.linkTarget = readLinkTarget(p.entry);
    checkLinks();
}

// What one archive may cost is bounded before anything is kept of it: a name this system could
// not open is refused here rather than found when the files before it are written.
void ExtractionPlan::checkLength(std::size_t entry, const std::string &rel)
{
    if (lengthOf(rel) > pathLimit_)
        refuse(entry, "its name is longer than this system allows (" + std::to_string(pathLimit_) + ")");
    std::size_t depth = 0;
    for (std::size_t s = 0; s <= rel.size(); ++depth) {
        const std::size_t slash = std::min(rel.find('/', s), rel.size());
        if (lengthOf(std::string_view(rel).substr(s, slash - s)) > partLimit_)
            refuse(entry, "a part of its name is longer than this system allows (" + std::to_string(partLimit_) + ")");
        s = slash + 1;
    }
    if (depth > maxDepth)
        refuse(entry, "its name is more than " + std::to_string(maxDepth) + " folders deep");
}

void ExtractionPlan::placeInFolders(Planned &p)
{
    std::uint32_t at = FolderTree::none;
    std::size_t s = 0;
    for (std::size_t slash; (slash = p.rel.find('/', s)) != std::string::npos; s = slash + 1)
        at = folders_.add(at, std::string_view(p.rel).substr(s, slash - s), p.entry);
    p.parent = at;
    if (p.type == EntryType::Folder)
        folders_.add(at, std::string_view(p.rel).substr(s), p.entry);
}

// Every folder above an entry must be a folder of the archive or of the disk: never one of
// the archive's files, and never one of its links, which would carry the entry elsewhere.
void ExtractionPlan::checkParents()
{
    for (const Planned &q : plan_) {
        if (q.type == EntryType::Folder)
            continue;
        const std::uint32_t f = folders_.find(q.parent, leafOf(q.rel));
        if (f == FolderTree::none)
            continue;
        if (q.type == EntryType::Link)
            refuse(folders_.firstEntry(f),
                   "it would be written through the link \"" + printable(dir_.entries[q.entry].name) + "\"");
        refuse(folders_.firstEntry(f),
               "the entry \"" + printable(dir_.entries[q.entry].name) + "\" is a file, not a folder");
    }
}

void ExtractionPlan::checkLinks()
{
    for (const Planned &p : plan_)
        if (p.type == EntryType::Link && !linkStaysInside(p))
            refuse(p.entry, "it is a link that points outside the destination");
}

std::string ExtractionPlan::readLinkTarget(std::size_t i)
{
    const Entry &e = dir_.entries[i];
    if (e.size >= maxLinkTarget)
        refuse(i, "its link target is longer than this system allows (" + std::to_string(maxLinkTarget - 1) + ")");
    std::string target(static_cast<std::size_t>(e.size), '\0');
    try {
        EntryReader reader(fd_, e, options_.password);
        std::size_t got = 0, n;
        while ((n = reader.read(reinterpret_cast<unsigned char *>(target.data()) + got, target.size() - got)) > 0)
            got += n;
        unsigned char more;
        reader.read(&more, 1);
    } catch (const Error &error) {
        results_[i] = EntryResult::Failed;
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
    existing_.assign(folders_.size(), false);
    if (!rootOpen_)
        return; // nothing is there yet, so nothing is in the way
    // Links of the disk take part in the check of the archive's links.
    checkLinks();
    checkFoldersOnDisk();
    bool replaceAll = false;
    for (Planned &p : plan_) {
        if (p.type == EntryType::Folder || (p.parent != FolderTree::none && !existing_[p.parent]))
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
        dropKept();
        // What stays on disk in place of a kept entry (a link of the user's, say) is what the
        // archive's links resolve through.
        checkLinks();
    }
}

void ExtractionPlan::checkFoldersOnDisk()
{
    // Folders come after their parents: below one that is absent, nothing needs a look.
    std::vector<bool> absent(folders_.size(), false);
    for (std::uint32_t f = 0; f < folders_.size(); ++f) {
        const std::uint32_t parent = folders_.parent(f);
        if (parent != FolderTree::none && absent[parent]) {
            absent[f] = true;
            continue;
        }
        const std::string folder = folders_.path(f);
        const OnDisk there = onDisk(folder);
        if (there == OnDisk::Nothing)
            absent[f] = true;
        else if (there != OnDisk::Folder)
            throw Error("Cannot extract into " + shown(folder) + ": it exists and is not a folder",
                        Error::Kind::Refused);
        else
            existing_[f] = true;
    }
}

void ExtractionPlan::dropKept()
{
    std::set<std::size_t> kept(keep_.begin(), keep_.end());
    std::erase_if(plan_, [&](const Planned &p) { return kept.count(p.entry) != 0; });
    byRel_.clear();
    for (std::size_t i = 0; i < plan_.size(); ++i)
        byRel_.emplace(plan_[i].rel, i);
}

bool ExtractionPlan::decideReplace(const Planned &p, bool &replaceAll)
{
    using Existing = ExtractOptions::Existing;
    using Answer = ExtractOptions::Answer;
    if (options_.existing == Existing::Replace)
        return true;
    if (options_.existing == Existing::Keep || !options_.ask)
        return false;
    switch (options_.ask(shown(p.rel), dir_.entries[p.entry])) {
    case Answer::Replace: return true;
    case Answer::Keep: return false;
    case Answer::ReplaceAll: replaceAll = true; return true;
    case Answer::Quit: throw Error("Stopped at your request; nothing was extracted", Error::Kind::Declined);
    }
    return false;
}

void ExtractionPlan::entryDamaged(std::size_t entry, const std::string &why)
{
    std::lock_guard lock(damagedMutex_);
    results_[entry] = EntryResult::Damaged;
    damaged_.push_back({entry, why});
}

void ExtractionPlan::checkFirst()
{
    WholeReader whole;
    std::vector<unsigned char> buffer(256 * 1024);
    for (const Planned &p : plan_) {
        if (p.type != EntryType::File)
            continue;
        checkStop();
        const Entry &e = dir_.entries[p.entry];
        try {
            if (WholeReader::takes(e, WholeReader::wholeLimit)) {
                whole.read(fd_, e, options_.password);
                continue;
            }
            EntryReader reader(fd_, e, options_.password);
            while (reader.read(buffer.data(), buffer.size()) > 0)
                checkStop();
        } catch (const Error &error) {
            if (error.kind() != Error::Kind::Damaged || options_.strict)
                throw Error("Cannot extract \"" + printable(e.name) + "\": " + error.what(), error.kind());
            entryDamaged(p.entry, error.what());
        }
    }
}

void ExtractionPlan::reportDamaged()
{
    if (damaged_.empty())
        return;
    std::sort(damaged_.begin(), damaged_.end());
    // Each with what was found wrong, so that a receiver can tell a cut download from a bad disk.
    std::string names;
    for (const auto &[i, why] : damaged_) {
        report_.damaged.push_back(dir_.entries[i].name);
        names += (names.empty() ? "\"" : ", \"") + printable(dir_.entries[i].name) + "\" (" + why + ")";
    }
    const bool one = damaged_.size() == 1;
    throw Error(std::to_string(damaged_.size()) + (one ? " entry" : " entries") + " of " + options_.archiveLabel
                    + (one ? " is" : " are") + " damaged and " + (one ? "was" : "were") + " not extracted: " + names,
                Error::Kind::Damaged);
}

void testArchive(int archiveFd, const Directory &dir, const std::string &password,
                 const std::function<void(std::uint64_t, std::uint64_t)> &progress)
{
    std::uint64_t total = 0, done = 0;
    for (const Entry &e : dir.entries)
        total += e.isFolder() ? 0 : e.size;
    std::vector<unsigned char> buffer(256 * 1024);
    WholeReader whole;
    // Every entry is read, so that all damaged ones are named at once; anything but damage (a
    // password, a method, the disk) says the same of every entry and ends the test at once.
    std::string damaged;
    std::size_t damagedCount = 0;
    for (const Entry &e : dir.entries) {
        if (e.isFolder())
            continue;
        try {
            if (e.encrypted() && password.empty())
                throw Error("it is encrypted and no password was given", Error::Kind::NoPassword);
            if (WholeReader::takes(e, WholeReader::wholeLimit)) {
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
            const std::string why = "\"" + printable(e.name) + "\" is damaged: " + error.what();
            if (error.kind() != Error::Kind::Damaged)
                throw Error(why, error.kind());
            damaged += (damaged.empty() ? "" : "; ") + why;
            ++damagedCount;
        }
    }
    if (damagedCount > 1)
        throw Error(std::to_string(damagedCount) + " entries are damaged: " + damaged, Error::Kind::Damaged);
    if (damagedCount == 1)
        throw Error(damaged, Error::Kind::Damaged);
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
    } catch (const Error &error) {
        // AES checks the password with its verifier first: a code that fails after it passed
        // means damaged data. Traditional encryption has no such check beyond the CRC.
        if (probe->aesBits > 0 && error.kind() == Error::Kind::Damaged)
            throw Error("\"" + printable(probe->name) + "\" is damaged: " + error.what(), error.kind());
        throw Error("Wrong password", Error::Kind::WrongPassword);
    }
}

} // namespace oz::core
