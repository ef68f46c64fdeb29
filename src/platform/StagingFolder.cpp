#include "StagingFolder.h"

#include "FileSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oz::platform {

namespace {

const QString stagePrefix = QStringLiteral("stage-");

// The folder's lock, taken without waiting: -1 when another process holds it.
int lockFolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

StagingFolder::StagingFolder(const QString &parent)
{
    if (!QFileInfo(parent).isDir() && !QDir().mkpath(parent)) {
        error_ = QStringLiteral("Cannot use the working folder ") + parent;
        return;
    }
    ::chmod(QFile::encodeName(parent).constData(), 0700);
    QByteArray name = QFile::encodeName(QDir(parent).filePath(stagePrefix + QStringLiteral("XXXXXX")));
    if (!::mkdtemp(name.data())) { // mode 0700: nobody else may enter
        error_ = QStringLiteral("Cannot use the working folder %1: %2").arg(parent, FileSystem::systemText(errno));
        return;
    }
    path_ = QFile::decodeName(name);
    lock_ = lockFolder(path_);
}

StagingFolder::~StagingFolder()
{
    if (isValid())
        QDir(path_).removeRecursively();
    if (lock_ >= 0)
        ::close(lock_);
}

bool StagingFolder::stage(const QString &source, const QString &name, QString *error)
{
    if (!isValid()) {
        if (error)
            *error = error_;
        return false;
    }
    const QString target = QDir(path_).filePath(name);
    QFile::remove(target);
    const QFileInfo info(source);
    // A link names the file a symbolic link leads to, never the symbolic link itself, whose
    // relative target would lead elsewhere from the staging folder.
    if (info.isFile()
        && ::linkat(AT_FDCWD, QFile::encodeName(source).constData(), AT_FDCWD, QFile::encodeName(target).constData(),
                    AT_SYMLINK_FOLLOW)
            == 0)
        return true;
    return FileSystem::copyFile(source, target, true, error);
}

void clearStaging(const QString &parent)
{
    if (!QFileInfo(parent).isDir())
        return;
    ::chmod(QFile::encodeName(parent).constData(), 0700);
    const QDir dir(parent);
    for (const QFileInfo &entry :
         dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (!entry.isDir() || entry.isSymLink()) {
            QFile::remove(entry.absoluteFilePath());
            continue;
        }
        if (!entry.fileName().startsWith(stagePrefix))
            continue; // not ours
        const int lock = lockFolder(entry.absoluteFilePath());
        if (lock < 0)
            continue; // a build of another window of the program is using it
        QDir(entry.absoluteFilePath()).removeRecursively();
        ::close(lock);
    }
}

} // namespace oz::platform
