#include "FileSystem.h"

#include "wildcard/Wildcard.h"
#include "core/files/Beneath.h"
#include "core/base/Error.h"
#include "core/files/NewFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace oz::platform::FileSystem {

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

fs::path toPath(const QString &path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

// Copies in the kernel: a reflink where the file system can share the blocks
// (Btrfs, XFS), else copy_file_range, else sendfile, which also copies between
// file systems of different kinds, where copy_file_range refuses.
bool copyContents(int in, int out)
{
    if (::ioctl(out, FICLONE, in) == 0)
        return true;
    bool ranges = true;
    for (;;) {
        const ssize_t n = ranges ? ::copy_file_range(in, nullptr, out, nullptr, 1u << 30, 0)
                                 : ::sendfile(out, in, nullptr, 1u << 30);
        if (n == 0)
            return true;
        if (n > 0 || errno == EINTR)
            continue;
        if (!ranges || !(errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
            || ::lseek(out, 0, SEEK_CUR) != 0)
            return false;
        ranges = false;
    }
}

// The regular files of a folder whose names match the wildcard.
QStringList matchingFiles(const QString &wildcardPath, QString *folderOut)
{
    const QString unified = QDir::fromNativeSeparators(wildcardPath);
    const qsizetype slash = unified.lastIndexOf(u'/');
    const QString folder = slash < 0 ? QStringLiteral(".") : unified.left(slash + 1);
    const QString mask = slash < 0 ? unified : unified.mid(slash + 1);
    if (folderOut)
        *folderOut = folder;
    QStringList out;
    const QDir dir(folder);
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name)) {
        if (archive::wildcardMatch(mask, info.fileName()))
            out.append(info.absoluteFilePath());
    }
    return out;
}

} // namespace

bool folderExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

bool fileExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isFile();
}

bool deleteFiles(const QString &wildcardPath, QString *error)
{
    const QStringList files = matchingFiles(wildcardPath, nullptr);
    if (files.isEmpty()) {
        setError(error, QStringLiteral("No file matches %1").arg(wildcardPath));
        return false;
    }
    bool ok = true;
    for (const QString &file : files) {
        std::error_code ec;
        if (!fs::remove(toPath(file), ec) || ec) {
            ok = false;
            setError(error,
                     QStringLiteral("Cannot delete %1: %2").arg(file, QString::fromLocal8Bit(ec.message().c_str())));
        }
    }
    return ok;
}

bool copyFile(const QString &source, const QString &target, bool overwrite, QString *error)
{
    const QFileInfo sourceInfo(source);
    if (!sourceInfo.isFile()) {
        setError(error, QStringLiteral("%1 does not exist").arg(source));
        return false;
    }
    if (!overwrite && QFileInfo::exists(target)) {
        setError(error, QStringLiteral("%1 exists already").arg(target));
        return false;
    }
    const QFileInfo targetInfo(target);
    const oz::core::Fd in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    const oz::core::Fd folder(
        ::open(QFile::encodeName(targetInfo.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    int err = !in || ::fstat(in.get(), &st) != 0 || !folder ? errno : 0;
    if (err == 0) {
        try {
            // The copy appears only when complete. It keeps the file's permissions, never
            // set-user, set-group or sticky bits, and its modified time, as the archive built
            // from it should show the file's own date.
            oz::core::NewFile out(folder.get(), QFile::encodeName(targetInfo.fileName()).toStdString());
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            if (!copyContents(in.get(), out.fd()) || ::fchmod(out.fd(), st.st_mode & 0777) != 0
                || ::futimens(out.fd(), times) != 0)
                err = errno;
            else
                out.commit(overwrite);
        } catch (const oz::core::Error &e) {
            setError(error,
                     QStringLiteral("Cannot copy %1 to %2: %3").arg(source, target, QString::fromStdString(e.what())));
            return false;
        }
    }
    if (err != 0) {
        setError(error, QStringLiteral("Cannot copy %1 to %2: %3").arg(source, target, systemText(err)));
        return false;
    }
    return true;
}

bool copyFiles(const QString &wildcardSource, const QString &targetFolder, bool overwrite, QString *error, int *matched)
{
    const QStringList files = matchingFiles(wildcardSource, nullptr);
    if (matched)
        *matched = static_cast<int>(files.size());
    if (files.isEmpty()) {
        setError(error, QStringLiteral("No file matches %1").arg(wildcardSource));
        return false;
    }
    bool ok = true;
    for (const QString &file : files) {
        const QString target = QDir(targetFolder).filePath(QFileInfo(file).fileName());
        ok = copyFile(file, target, overwrite, error) && ok;
    }
    return ok;
}

bool createFolder(const QString &path, QString *error)
{
    if (path.isEmpty() || !QDir().mkdir(path)) {
        setError(error, QStringLiteral("Cannot create the folder %1").arg(path));
        return false;
    }
    return true;
}

QString systemText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace oz::platform::FileSystem
