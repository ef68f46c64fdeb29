// Opening folders below a root folder's descriptor so that no path can leave it: not through
// "..", not through a symbolic link, whatever the archive made or the disk already had.
#pragma once

#include <string>
#include <sys/types.h>

namespace oz::core {

// A descriptor of the folder rel ('/' separated, no "..") below root, opened without following
// any symbolic link; -1 with errno set when there is none. rel "" is root itself.
int openFolderBeneath(int root, const std::string &rel);

// Opens (creating with its parents as needed, mode 0777 through the umask) the folder at an
// absolute or relative path; -1 with errno set when that fails.
int openOrMakeFolder(const std::string &path);

// Whether files made in the folder get its default ACL, in place of the umask.
bool hasDefaultAcl(int dirFd);

// The process's umask, read without changing it.
mode_t currentUmask();

// Holds a descriptor and closes it.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

} // namespace oz::core
