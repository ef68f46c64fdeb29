#include "TemporaryFolder.h"

#include "core/base/Error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <mutex>
#include <unistd.h>

namespace oz::receiver {

namespace {

std::mutex folderMutex;
std::string folder;

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return std::remove(path);
}

} // namespace

std::string makeTemporaryFolder()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string made = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvelzip-XXXXXX";
    // mkdtemp: a new name, a folder only its owner may enter.
    if (!mkdtemp(made.data()))
        throw core::Error("cannot create a temporary folder: " + core::systemError(errno), core::Error::Kind::Io);
    std::lock_guard lock(folderMutex);
    folder = made;
    return made;
}

bool haveTemporaryFolder()
{
    std::lock_guard lock(folderMutex);
    return !folder.empty();
}

std::string removeTemporaryFolder()
{
    std::lock_guard lock(folderMutex);
    if (!folder.empty())
        nftw(folder.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    folder.clear();
    return {};
}

} // namespace oz::receiver
