// Files that appear under their name only when complete.
//
// A new file is created unnamed in its folder (O_TMPFILE) and linked in under its name once it
// has been written and checked, so that neither a failure nor a kill -9 can leave a partial file
// under a real name or a temporary file behind. Replacing an existing file takes a hidden name
// for an instant and a rename over the old file. Where the file system has no unnamed files
// (FUSE, network mounts, vfat), a hidden named temporary is used, and the signal handlers of
// installCleanupOnSignals remove it on SIGINT, SIGTERM and SIGHUP. Every hidden name carries the
// pid of its process, so that what a kill -9 left behind is recognised and removed by the next
// run that writes into the same folder (removeLeftovers).
//
// A file inside a folder that is itself still hidden (see makeTemporaryFolder) needs none of
// that: it is written under its own name (Placement::Direct), since nothing shows it until the
// folder is renamed into place, and a failed one is removed before that.
#pragma once

#include <string>
#include <sys/types.h>

namespace oz::core {

class NewFile {
public:
    // Unnamed until commit, or at once under its name in a folder nothing shows yet.
    enum class Placement { Unnamed, Direct };

    NewFile() = default;
    // Creates the file that will be called name in the folder open on dirFd (which must stay
    // open until commit). The mode passes through the umask. Messages name the file as label
    // (its name when empty). Direct fails when the name is taken. Throws Error (Io).
    NewFile(int dirFd, std::string name, mode_t mode = 0600, std::string label = {},
            Placement placement = Placement::Unnamed);
    ~NewFile();
    NewFile(NewFile &&other) noexcept;
    NewFile &operator=(NewFile &&other) noexcept;
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    int fd() const { return fd_; }
    // Whether it was made under a hidden name, with owner read and write added to its mode.
    bool hasHiddenName() const { return !temp_.empty(); }
    const std::string &name() const { return name_; }

    // Closes the file and gives it its name; replace allows an existing file (not a folder) of
    // that name to be replaced. Throws Error (Io); the file is then gone.
    void commit(bool replace);
    // Closes the file and keeps it under a hidden name, to be committed later without holding a
    // descriptor open. Throws Error (Io).
    void park();
    // Names the same folder by another descriptor, for a file that outlives the first one.
    void useFolderFd(int dirFd);
    // Drops the file: nothing of it stays.
    void discard();

private:
    void closeFd();
    [[noreturn]] void fail(int err);
    int dirFd_ = -1;
    int fd_ = -1;
    std::string name_;
    std::string label_;
    std::string temp_;    // the hidden name, while the file has one
    int slot_ = -1;       // its place among the names removed on a signal
    bool direct_ = false; // under its own name, removed by discard until committed
};

// Writes content as the file at path (relative to the working folder or absolute), replacing a
// file of that name only once all of it is written: a failure leaves the old file as it was.
// The mode passes through the umask. Throws Error (Io).
void writeFileWhole(const std::string &path, const std::string &content, mode_t mode = 0666);

// A hidden name of this process for a temporary: ".oz-", the pid, a dash, then tail.
std::string temporaryName(const std::string &tail);

// Whether name is a temporaryName of a process that no longer runs (never this one's).
bool isLeftover(const char *name);

// Removes from the folder the temporaries of processes that no longer run: names of
// temporaryName whose pid is gone, files and hidden folders with all they hold (never
// following a link). Those of running processes, this one included, stay.
void removeLeftovers(int dirFd);

// Makes a hidden folder of this process in the folder open on dirFd (mode through the umask)
// and returns its name; empty with errno set when it cannot.
std::string makeTemporaryFolder(int dirFd, mode_t mode = 0700);

// Renames from to to in the folder open on dirFd, failing (EEXIST) rather than replacing what
// is there, also where the file system lacks renameat2's flags.
int renameNoReplace(int dirFd, const std::string &from, const std::string &to);

// Removes the hidden temporary files still named when SIGINT, SIGTERM or SIGHUP arrives, then
// lets the signal take its usual course. Programs call it once at start.
void installCleanupOnSignals();

// While one lives, the first of those signals does not end the process at once: it is kept
// (signalPending) so that an extraction stops at its next piece of data and renames its hidden
// folders into place, and the last one to go lets the signal take its course. A second signal
// ends the process at once, leaving what a kill -9 leaves.
class SignalsDeferred {
public:
    SignalsDeferred();
    ~SignalsDeferred();
    SignalsDeferred(const SignalsDeferred &) = delete;
    SignalsDeferred &operator=(const SignalsDeferred &) = delete;
};
bool signalPending();

} // namespace oz::core
