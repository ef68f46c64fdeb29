// The half of an extraction that is the same on every system: deciding, before anything is
// written, what each entry becomes and whether the archive may be extracted at all. Each system
// derives its writer from ExtractionPlan and answers the few questions about its disk.
#pragma once

#include "Error.h"
#include "Extract.h"

#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace oz::core {

enum class EntryType { File, Folder, Link };

// The largest a link target may be: longer ones are no path any system resolves.
constexpr std::size_t maxLinkTarget = 4096;

struct Planned {
    std::size_t entry = 0; // index in the directory
    std::string rel;       // '/' separated below the destination
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
    // The path an entry's safe name takes on this system's disk.
    virtual std::string localPath(const std::string &rel) const { return rel; }
    virtual void write() = 0;

    std::string shown(const std::string &rel) const;
    [[noreturn]] void ioFailure(const std::string &rel, const std::string &why);
    void checkStop() const;
    // Every folder entry counts as extracted once the writer has made the folders.
    void foldersMade();
    // An entry found damaged while it was read fails alone; any thread may call it.
    void entryDamaged(std::size_t entry);
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
    std::vector<std::string> results_;
    std::vector<Planned> plan_;
    std::unordered_map<std::string, std::size_t> byRel_;
    std::set<std::string> folders_;  // every folder the archive needs, parents before children
    std::set<std::string> existing_; // those of them that were there before
    char separator_ = '/';           // between folders, in the paths messages show
    std::vector<std::size_t> damaged_;
    std::mutex damagedMutex_;

private:
    [[noreturn]] void refuse(std::size_t entry, const std::string &why, Error::Kind kind = Error::Kind::Refused);
    void plan();
    void checkParents(const Planned &p);
    std::string readLinkTarget(std::size_t i);
    bool linkStaysInside(const Planned &p);
    bool resolve(std::vector<std::string> &at, const std::string &target, int &hops);
    bool linkAt(const std::string &rel, std::string &target);
    void checkDisk();
    bool decideReplace(const Planned &p, bool &replaceAll);
    void record();

    bool rootOpen_ = false;
    std::vector<std::size_t> superseded_, keep_;
};

} // namespace oz::core
