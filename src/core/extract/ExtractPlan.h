// The half of an extraction that is the same on every system: deciding, before anything is
// written, what each entry becomes and whether the archive may be extracted at all. Each system
// derives its writer from ExtractionPlan and answers the few questions about its disk.
#pragma once

#include "core/base/Error.h"
#include "Extract.h"
#include "NamePlan.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace oz::core {

enum class EntryType { File, Folder, Link };

// The largest a link target may be, its terminating NUL counted: longer ones are no path any
// system resolves.
constexpr std::size_t maxLinkTarget = 4096;

// Every folder an extraction needs, each once, parents before children. A tree of parts rather
// than a set of paths, so that it grows with the total length of the names, however deep they go.
class FolderTree {
public:
    static constexpr std::uint32_t none = UINT32_MAX; // the destination itself

    // The folder leaf below parent, added when new; entry is the first entry below it.
    std::uint32_t add(std::uint32_t parent, std::string_view leaf, std::size_t entry);
    // The folder leaf below parent, or none.
    std::uint32_t find(std::uint32_t parent, std::string_view leaf) const;
    std::size_t size() const { return nodes_.size(); }
    std::uint32_t parent(std::uint32_t f) const { return nodes_[f].parent; }
    std::size_t firstEntry(std::uint32_t f) const { return nodes_[f].entry; }
    // '/' separated below the destination.
    std::string path(std::uint32_t f) const;

private:
    struct Node {
        std::uint32_t parent;
        std::uint32_t length;
        std::size_t at; // of the leaf in names_
        std::size_t entry;
    };
    std::string_view leaf(const Node &n) const { return std::string_view(names_).substr(n.at, n.length); }
    std::size_t slot(std::uint32_t parent, std::string_view leaf) const;
    void grow();

    std::vector<Node> nodes_;
    std::string names_;                // every leaf, one after the other
    std::vector<std::uint32_t> table_; // open addressing over nodes_, none where free
};

struct Planned {
    std::size_t entry = 0; // index in the directory
    std::string rel;       // '/' separated below the destination
    std::uint32_t parent = FolderTree::none;
    EntryType type = EntryType::File;
    std::string linkTarget;
    bool exists = false; // something of that name is there already and is to be replaced
};

std::string parentOf(const std::string &rel);
std::string leafOf(const std::string &rel);

class ExtractionPlan {
public:
    ExtractionPlan(int fd, const Directory &dir, const std::string &destination, const ExtractOptions &options,
                   ExtractReport &report);
    virtual ~ExtractionPlan() = default;
    ExtractionPlan(const ExtractionPlan &) = delete;
    ExtractionPlan &operator=(const ExtractionPlan &) = delete;

    // Plans, checks the disk, writes; the report holds each entry's result even on failure.
    void run();

protected:
    enum class OnDisk { Nothing, Folder, Other };
    // Opens the destination when it exists (false when nothing is there); throws Error when it
    // is not a folder.
    virtual bool openDestination() = 0;
    // What the opened destination holds at rel, without following links.
    virtual OnDisk onDisk(const std::string &rel) = 0;
    // Whether rel is a link on disk, and its target.
    virtual bool diskLink(const std::string &rel, std::string &target) = 0;
    // The length of a path or a part as this system counts it (bytes here, UTF-16 units on Windows).
    virtual std::size_t lengthOf(std::string_view path) const { return path.size(); }
    virtual void write() = 0;

    std::string shown(const std::string &rel) const;
    // rel with this system's separator.
    std::string shownBelow(std::string rel) const;
    [[noreturn]] void ioFailure(const std::string &rel, const std::string &why);
    void checkStop() const;
    // Whether a signal this system's writer waits for asks it to stop, besides options_.stop.
    virtual bool stopSignalled() const { return false; }
    // Every folder entry counts as extracted once the writer has made the folders.
    void foldersMade();
    // An entry found damaged while it was read fails alone; any thread may call it.
    void entryDamaged(std::size_t entry, const std::string &why);
    // Reads every file of the plan through without writing, marking the damaged ones (with
    // strict, throwing at the first), so that replacements may go in at once.
    void checkFirst();
    bool anyDamaged() const { return !damaged_.empty(); }
    // Once everything else is finished: Error (Damaged) naming every damaged entry, if any.
    void reportDamaged();

    int fd_;
    const Directory &dir_;
    std::string destination_;
    const ExtractOptions &options_;
    ExtractReport &report_;
    std::vector<EntryResult> results_;
    std::vector<Planned> plan_;
    std::unordered_map<std::string, std::size_t> byRel_;
    FolderTree folders_;         // every folder the archive needs
    std::vector<bool> existing_; // by folder: there before
    char separator_ = '/';       // between folders, in the paths messages show
    TargetSystem system_ = TargetSystem::Posix;
    // This system's limits on names below the destination, the whole path and each part:
    // Linux's PATH_MAX (its NUL counted) and NAME_MAX unless a system says otherwise.
    std::size_t pathLimit_ = 4096 - 1, partLimit_ = 255;
    std::vector<std::pair<std::size_t, std::string>> damaged_; // entry, what was wrong
    std::mutex damagedMutex_;

private:
    [[noreturn]] void refuse(std::size_t entry, const std::string &why, Error::Kind kind = Error::Kind::Refused);
    void plan();
    void checkLength(std::size_t entry, const std::string &rel);
    void placeInFolders(Planned &p);
    void checkParents();
    void checkLinks();
    std::string readLinkTarget(std::size_t i);
    bool linkStaysInside(const Planned &p);
    bool resolve(std::vector<std::string> &at, const std::string &target, int &hops);
    bool linkAt(const std::string &rel, std::string &target);
    void checkDisk();
    void checkFoldersOnDisk();
    void dropKept();
    bool decideReplace(const Planned &p, bool &replaceAll);
    void record();

    bool rootOpen_ = false;
    std::vector<std::size_t> superseded_, keep_;
};

} // namespace oz::core
