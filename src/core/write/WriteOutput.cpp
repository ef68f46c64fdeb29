#include "WriteOutput.h"

#include "core/base/FileIo.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oz::core::writer {

namespace {

// A new archive gets what the umask allows (and an executable its x bits); one that replaces a
// file keeps that file's permission bits, never set-user or set-group ones.
mode_t targetMode(int folder, const std::string &name, bool executable)
{
    struct stat old;
    if (::fstatat(folder, name.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode))
        return old.st_mode & 0777;
    return (executable ? 0777 : 0666) & ~currentUmask();
}

} // namespace

Target::Target(const WriteJob &job)
{
    const std::size_t slash = job.target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : job.target.substr(0, slash);
    const std::string name = slash == std::string::npos ? job.target : job.target.substr(slash + 1);
    folder = Fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        failed("Cannot write " + job.target, errno);
    // A killed write onto this name may have left its temporary beside it.
    removeLeftovers(folder.get());
    file = NewFile(folder.get(), name, 0600, job.target);
    mode = targetMode(folder.get(), name, job.executable);
    finish = job.finish;
    if (!writeAll(file.fd(), job.prefix.data(), job.prefix.size()))
        failed("Cannot write " + job.target, errno);
}

void Target::commit()
{
    if (finish)
        finish(file.fd());
    if (::fchmod(file.fd(), mode) != 0)
        failed("Cannot write " + file.name(), errno);
    file.commit(true);
}

// An archive with no entries is just the end-of-central-directory record.
void writeEmptyArchive(const WriteJob &job)
{
    Target target(job);
    unsigned char eocd[22] = {'P', 'K', 5, 6};
    const auto at = static_cast<std::uint32_t>(job.prefix.size());
    for (int i = 0; i < 4; ++i)
        eocd[16 + i] = static_cast<unsigned char>(at >> (8 * i));
    if (!writeAll(target.file.fd(), eocd, sizeof eocd))
        failed("Cannot write " + job.target, errno);
    target.commit();
}

} // namespace oz::core::writer
