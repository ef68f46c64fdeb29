#include "FileSystem.h"

#include "archive/Wildcard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

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
            setError(error, QStringLiteral("Cannot delete %1: %2").arg(file, QString::fromLocal8Bit(ec.message().c_str())));
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
    const QString temp = target + QStringLiteral(".ozcopy");
    std::error_code ec;
    fs::copy_file(toPath(source), toPath(temp), fs::copy_options::overwrite_existing, ec);
    if (!ec)
        fs::rename(toPath(temp), toPath(target), ec);
    if (ec) {
        fs::remove(toPath(temp));
        setError(error, QStringLiteral("Cannot copy %1 to %2: %3")
                            .arg(source, target, QString::fromLocal8Bit(ec.message().c_str())));
        return false;
    }
    return true;
}

bool copyFiles(const QString &wildcardSource, const QString &targetFolder, bool overwrite, QString *error)
{
    const QStringList files = matchingFiles(wildcardSource, nullptr);
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

} // namespace oz::platform::FileSystem
