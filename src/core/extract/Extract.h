// Extracting an archive below a folder: every check that can refuse the archive runs before the
// first byte is written, every path is created relative to the destination's descriptor so that
// nothing can leave it, and every file appears under its name only when complete and verified.
//
// What a caller can rely on:
// - Refused before writing: unsafe names, links whose target leaves the destination (resolved
//   through the links this archive makes and those already on disk), entries that would be
//   written through a link or into a file, unsupported methods or encryption, a missing
//   password, and something on disk in the way. The destination is not even created then.
// - When two entries share a name, the later one wins. On Windows, where names differing only
//   in letter case or cleaned of characters Windows refuses would meet, the later gets a name of
//   its own instead ("a_b (2).txt"), and the report lists every name that changed.
// - An entry found damaged only while it is read (CRC, a short stream, authentication) fails
//   alone: every other new file is written, folders and links are finished, and the damaged
//   entries are named in the report and in the Error (Damaged) thrown at the end. Never a
//   partial file nor a temporary stays under any name.
// - Files that were there are replaced only once every entry has checked out: a damaged archive
//   or a failure while writing (disk full) leaves them all as they were. Where more replacements
//   are pending than files can be held open, every entry is read once without writing first.
// - strict keeps all or nothing: every entry is checked before the first is written.
// - Restored modes pass through the umask, folders keep rwx for their owner, and set-user,
//   set-group and sticky bits are never restored.
#pragma once

#include "core/format/ZipFormat.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace oz::core {

struct ExtractOptions {
    std::string archiveLabel; // how messages name the archive
    std::string password;
    enum class Existing { Replace, Keep, Ask };
    Existing existing = Existing::Replace;
    enum class Answer { Replace, Keep, ReplaceAll, Quit };
    // With Existing::Ask, asked for each file already there (its path as shown, and the entry
    // that would replace it, so that a question can compare the two), while planning.
    std::function<Answer(const std::string &path, const Entry &entry)> ask;
    int threads = 0; // 0: one per core
    // Called on the calling thread only, with bytes written and the total.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
    // When it turns true (a signal, say), extraction stops at the next piece of data and throws
    // Error (Stopped): what was complete stays, nothing half-written does.
    const std::atomic<bool> *stop = nullptr;
    // All or nothing: a damaged entry stops the extraction before anything is written.
    bool strict = false;
};

// What became of one entry.
enum class EntryResult {
    Extracted,
    Refused,
    Failed,
    Damaged,
    Skipped,
    Kept, // a file of that name was there already and stays
};

// The word a front end shows for a result, and logs write.
constexpr const char *resultText(EntryResult result)
{
    switch (result) {
    case EntryResult::Extracted: return "extracted";
    case EntryResult::Refused: return "refused";
    case EntryResult::Failed: return "failed";
    case EntryResult::Damaged: return "damaged";
    case EntryResult::Skipped: return "skipped";
    case EntryResult::Kept: return "kept";
    }
    return "";
}

struct ExtractReport {
    struct Item {
        std::string name; // as stored (UTF-8)
        EntryResult result;
    };
    std::vector<Item> items;
    // Names this system cannot hold as stored, and where those entries went instead: the path
    // below the destination, with this system's separator.
    struct Renamed {
        std::string name; // as stored (UTF-8)
        std::string as;
    };
    std::vector<Renamed> renamed;
    std::vector<std::string> damaged; // the names of the damaged entries, in archive order
    std::size_t files = 0, folders = 0, links = 0, kept = 0;
};

// Throws Error; report then holds what was done before the failure.
void extractArchive(int archiveFd, const Directory &dir, const std::string &destination, const ExtractOptions &options,
                    ExtractReport &report);

// Reads every entry completely and checks it, writing nothing. Throws Error.
void testArchive(int archiveFd, const Directory &dir, const std::string &password,
                 const std::function<void(std::uint64_t done, std::uint64_t total)> &progress = {});

// Whether password opens the archive: the smallest encrypted file is decrypted completely (an
// AES one by its code), because the short password checks of both schemes let a wrong password
// through now and then. Throws Error: NoPassword, WrongPassword.
void checkPassword(int archiveFd, const Directory &dir, const std::string &password);

} // namespace oz::core
