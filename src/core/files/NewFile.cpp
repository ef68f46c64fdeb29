#include "NewFile.h"

#include "Beneath.h"
#include "core/crypto/Crypto.h"
#include "core/base/Error.h"
#include "core/base/FileIo.h"
#include "Temporaries.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oz::core {

namespace {

// The hidden names alive at this moment, for the signal handlers. A slot is taken by a compare
// and swap; the handler reads only slots whose state says they are complete.
struct CleanupSlot {
    std::atomic<int> state{0}; // 0 free, 1 being filled, 2 holds a name
    int dirFd = -1;
    char name[48] = {};
};
constexpr int slotCount = 512;
CleanupSlot slots[slotCount];

int registerName(int dirFd, const std::string &name)
{
    for (int i = 0; i < slotCount; ++i) {
        int expected = 0;
        if (!slots[i].state.compare_exchange_strong(expected, 1))
            continue;
        slots[i].dirFd = dirFd;
        std::snprintf(slots[i].name, sizeof slots[i].name, "%s", name.c_str());
        slots[i].state.store(2);
        return i;
    }
    return -1; // every slot taken: the file is still removed on every path but a signal
}

void unregister(int slot)
{
    if (slot >= 0)
        slots[slot].state.store(0);
}

std::atomic<int> deferring{0};
std::atomic<int> pendingSignal{0};

void onSignal(int signal)
{
    // The first one during an extraction into hidden folders waits for it to stop.
    if (deferring.load() > 0 && pendingSignal.exchange(signal) == 0)
        return;
    for (auto &slot : slots) {
        if (slot.state.load() == 2)
            ::unlinkat(slot.dirFd, slot.name, 0);
    }
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

std::string hiddenName(const char *suffix = ".part")
{
    unsigned char bytes[6];
    if (!randomBytes(bytes, sizeof bytes)) {
        const auto t = static_cast<unsigned long long>(::time(nullptr)) ^ reinterpret_cast<std::uintptr_t>(&bytes);
        std::memcpy(bytes, &t, sizeof bytes);
    }
    char tail[24];
    std::snprintf(tail, sizeof tail, "%02x%02x%02x%02x%02x%02x%s", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                  bytes[5], suffix);
    return temporaryName(tail);
}

// Gives a named temporary its final name without replacing anything there. A hard link fails
// on a taken name; where the file system has no links (vfat), a rename that refuses to replace;
// where that is missing too (FUSE, network mounts), a check and a plain rename.
int linkNamed(int dirFd, const std::string &temp, const std::string &name)
{
    if (::linkat(dirFd, temp.c_str(), dirFd, name.c_str(), 0) == 0) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        return 0;
    }
    if (errno == EEXIST || (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK))
        return -1;
    return renameNoReplace(dirFd, temp, name);
}

// The folder name below dirFd, opened to be read without following a link; null when it cannot be.
DIR *readFolder(int dirFd, const char *name)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (fd >= 0 && !dir)
        ::close(fd);
    return dir;
}

// Empties and removes the folder name below dirFd. Each folder is opened by one part relative
// to its parent's descriptor and without following a link, so nothing outside it is reached,
// whatever was planted inside.
void removeTree(int dirFd, const char *name, int depth)
{
    DIR *dir = depth > 4096 ? nullptr : readFolder(dirFd, name);
    if (!dir)
        return;
    const int fd = ::dirfd(dir);
    // Names removed while the folder is read may hide others from that reading: a second pass.
    for (int pass = 0; pass < 2; ++pass) {
        while (const dirent *d = ::readdir(dir)) {
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0)
                continue;
            if (d->d_type == DT_DIR || (::unlinkat(fd, d->d_name, 0) != 0 && errno == EISDIR))
                removeTree(fd, d->d_name, depth + 1);
        }
        if (::unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno != ENOTEMPTY)
            break;
        ::rewinddir(dir);
    }
    ::closedir(dir);
}

// Links the unnamed file open on fd into dirFd as name. AT_EMPTY_PATH needs a capability most
// users lack; the link through /proc does not.
int linkUnnamed(int fd, int dirFd, const std::string &name)
{
    static std::atomic<bool> emptyPathRefused{false};
    if (!emptyPathRefused) {
        if (::linkat(fd, "", dirFd, name.c_str(), AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT && errno != EPERM)
            return -1;
        emptyPathRefused = true; // not allowed to this user: every later file goes through /proc
    }
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, proc, dirFd, name.c_str(), AT_SYMLINK_FOLLOW);
}

} // namespace

int renameNoReplace(int dirFd, const std::string &from, const std::string &to)
{
    if (::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return -1;
    struct stat st;
    if (::fstatat(dirFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(dirFd, from.c_str(), dirFd, to.c_str());
}

std::string makeTemporaryFolder(int dirFd, mode_t mode)
{
    for (int tries = 0; tries < 16; ++tries) {
        std::string name = hiddenName(".new");
        if (::mkdirat(dirFd, name.c_str(), mode) == 0)
            return name;
        if (errno != EEXIST)
            break;
    }
    return {};
}

SignalsDeferred::SignalsDeferred()
{
    ++deferring;
}

SignalsDeferred::~SignalsDeferred()
{
    if (--deferring == 0) {
        if (const int signal = pendingSignal.exchange(0); signal != 0)
            onSignal(signal);
    }
}

bool signalPending()
{
    return pendingSignal.load(std::memory_order_relaxed) != 0;
}

std::string temporaryName(const std::string &tail)
{
    return temporaryName(static_cast<unsigned long>(::getpid()), tail);
}

bool isLeftover(const char *name)
{
    const unsigned long pid = temporaryOwner(name);
    if (pid == 0 || pid == static_cast<unsigned long>(::getpid()))
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void removeLeftovers(int dirFd)
{
    DIR *dir = readFolder(dirFd, ".");
    if (!dir)
        return;
    while (const dirent *d = ::readdir(dir)) {
        if (!isLeftover(d->d_name))
            continue;
        if (d->d_type == DT_DIR || (::unlinkat(dirFd, d->d_name, 0) != 0 && errno == EISDIR))
            removeTree(dirFd, d->d_name, 0);
    }
    ::closedir(dir);
}

void installCleanupOnSignals()
{
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        ::sigaction(s, &sa, nullptr);
    }
}

NewFile::NewFile(int dirFd, std::string name, mode_t mode, std::string label, Placement placement)
    : dirFd_(dirFd), name_(std::move(name)), label_(label.empty() ? name_ : std::move(label))
{
    if (placement == Placement::Direct) {
        fd_ = ::openat(dirFd, name_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd_ < 0)
            fail(errno);
        direct_ = true;
        return;
    }
    fd_ = ::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd_ >= 0)
        return;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
        fail(errno);
    // No unnamed files here: a hidden name, removed on every way out.
    for (int tries = 0; tries < 16 && fd_ < 0; ++tries) {
        temp_ = hiddenName();
        slot_ = registerName(dirFd, temp_);
        // Writable by its owner whatever its mode: some file systems check the mode on open.
        fd_ = ::openat(dirFd, temp_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, mode | 0600);
        if (fd_ < 0) {
            const int err = errno;
            unregister(slot_);
            slot_ = -1;
            temp_.clear();
            if (err != EEXIST)
                fail(err);
        }
    }
    if (fd_ < 0)
        fail(EEXIST);
}

NewFile::~NewFile()
{
    discard();
}

NewFile::NewFile(NewFile &&o) noexcept
    : dirFd_(o.dirFd_), fd_(o.fd_), name_(std::move(o.name_)), label_(std::move(o.label_)), temp_(std::move(o.temp_)),
      slot_(o.slot_), direct_(o.direct_)
{
    o.direct_ = false;
    o.fd_ = -1;
    o.temp_.clear();
    o.slot_ = -1;
}

NewFile &NewFile::operator=(NewFile &&o) noexcept
{
    if (this != &o) {
        discard();
        dirFd_ = o.dirFd_;
        fd_ = o.fd_;
        name_ = std::move(o.name_);
        label_ = std::move(o.label_);
        temp_ = std::move(o.temp_);
        slot_ = o.slot_;
        direct_ = o.direct_;
        o.direct_ = false;
        o.fd_ = -1;
        o.temp_.clear();
        o.slot_ = -1;
    }
    return *this;
}

void NewFile::fail(int err)
{
    throw Error("Cannot write " + label_ + ": " + systemError(err), Error::Kind::Io);
}

void NewFile::closeFd()
{
    if (fd_ >= 0) {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) {
            const int err = errno;
            discard();
            fail(err);
        }
    }
}

void NewFile::useFolderFd(int dirFd)
{
    dirFd_ = dirFd;
    if (slot_ >= 0) {
        slots[slot_].state.store(1);
        slots[slot_].dirFd = dirFd;
        slots[slot_].state.store(2);
    }
}

void NewFile::discard()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        ::unlinkat(dirFd_, temp_.c_str(), 0);
        temp_.clear();
    }
    if (direct_) {
        ::unlinkat(dirFd_, name_.c_str(), 0);
        direct_ = false;
    }
    unregister(slot_);
    slot_ = -1;
}

void NewFile::park()
{
    if (direct_) {
        closeFd(); // already under its name, in a folder nothing shows yet
        return;
    }
    if (temp_.empty()) {
        for (int tries = 0; tries < 16; ++tries) {
            std::string temp = hiddenName();
            const int slot = registerName(dirFd_, temp);
            if (linkUnnamed(fd_, dirFd_, temp) == 0) {
                temp_ = std::move(temp);
                slot_ = slot;
                break;
            }
            const int err = errno;
            unregister(slot);
            if (err != EEXIST) {
                discard();
                fail(err);
            }
        }
        if (temp_.empty()) {
            discard();
            fail(EEXIST);
        }
    }
    closeFd();
}

void NewFile::commit(bool replace)
{
    if (direct_) {
        closeFd();
        direct_ = false;
        return;
    }
    if (temp_.empty() && fd_ >= 0) {
        // Unnamed: a new name is a single link, which fails when the name is taken.
        if (linkUnnamed(fd_, dirFd_, name_) == 0) {
            closeFd();
            return;
        }
        if (errno != EEXIST || !replace) {
            const int err = errno;
            discard();
            fail(err);
        }
        park();
    }
    closeFd();
    const int rc = replace ? ::renameat(dirFd_, temp_.c_str(), dirFd_, name_.c_str()) : linkNamed(dirFd_, temp_, name_);
    if (rc != 0) {
        const int err = errno;
        discard();
        fail(err);
    }
    temp_.clear();
    unregister(slot_);
    slot_ = -1;
}

void writeFileWhole(const std::string &path, const std::string &content, mode_t mode)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        throw Error("Cannot write " + path + ": " + systemError(errno), Error::Kind::Io);
    NewFile file(dir.get(), slash == std::string::npos ? path : path.substr(slash + 1), mode, path);
    if (!writeAll(file.fd(), content.data(), content.size()))
        throw Error("Cannot write " + path + ": " + systemError(errno), Error::Kind::Io);
    file.commit(true);
}

} // namespace oz::core
