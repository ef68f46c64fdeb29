#include "Beneath.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace oz::core {

Fd::~Fd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

Fd &Fd::operator=(Fd &&o) noexcept
{
    if (this != &o) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

namespace {

// The walk for kernels without openat2: one component at a time, never following a link.
int walkBeneath(int root, const std::string &rel)
{
    int fd = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
    std::size_t start = 0;
    while (fd >= 0 && start < rel.size()) {
        std::size_t end = rel.find('/', start);
        if (end == std::string::npos)
            end = rel.size();
        const std::string part = rel.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            ::close(fd);
            errno = EXDEV;
            return -1;
        }
        const int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        ::close(fd);
        fd = next;
        errno = err;
    }
    return fd;
}

} // namespace

int openFolderBeneath(int root, const std::string &rel)
{
    if (rel.empty())
        return ::fcntl(root, F_DUPFD_CLOEXEC, 0);
    static bool noOpenat2 = false;
    if (!noOpenat2) {
        open_how how{};
        how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        for (;;) {
            const long fd = ::syscall(SYS_openat2, root, rel.c_str(), &how, sizeof how);
            if (fd >= 0)
                return static_cast<int>(fd);
            if (errno == EAGAIN || errno == EINTR)
                continue; // a rename elsewhere raced the lookup
            if (errno != ENOSYS && errno != EPERM)
                return -1;
            break;
        }
        noOpenat2 = true; // seccomp filters and old kernels say no; the walk does the same
    }
    return walkBeneath(root, rel);
}

int openOrMakeFolder(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string prefix = at == std::string::npos ? path : path.substr(0, at);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
            return -1;
        if (at == std::string::npos)
            break;
    }
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool hasDefaultAcl(int dirFd)
{
    return ::fgetxattr(dirFd, "system.posix_acl_default", nullptr, 0) > 0;
}

mode_t currentUmask()
{
    if (FILE *status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "Umask: %o", &mask) == 1) {
                found = true;
                break;
            }
        }
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(mask);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

} // namespace oz::core
