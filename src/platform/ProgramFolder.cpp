#include "ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

namespace oz::platform {

namespace {
QString overrideFolder;

QString join(const QString &folder, const QString &name)
{
    const QChar sep = QDir::separator();
    return folder.endsWith(sep) ? folder + name : folder + sep + name;
}

bool writable(const QString &folder)
{
    return ::access(QFile::encodeName(folder).constData(), W_OK) == 0;
}
} // namespace

QString programFolder()
{
    const QString folder = overrideFolder.isEmpty() ? QCoreApplication::applicationDirPath() : overrideFolder;
    return QDir::toNativeSeparators(folder);
}

QString writableFolder()
{
    QString folder = programFolder();
    if (writable(folder))
        return folder;
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(data);
    return QDir::toNativeSeparators(data);
}

QString workingFolder()
{
    return join(writableFolder(), QStringLiteral("tempp"));
}

QString iconsFolder()
{
    return join(writableFolder(), QStringLiteral("icons"));
}

QString defaultIconPath()
{
    if (writableFolder() == programFolder())
        return join(iconsFolder(), QStringLiteral("oz.ico"));
    return dataFile(QStringLiteral("icons/oz.ico"));
}

QString dataFile(const QString &relative)
{
    const QString beside = QDir(programFolder()).filePath(relative);
    if (QFileInfo::exists(beside) || !overrideFolder.isEmpty())
        return QDir::toNativeSeparators(beside);
    const QString installed = QDir(programFolder()).filePath(QStringLiteral("../share/orvelzip/") + relative);
    if (QFileInfo::exists(installed))
        return QDir::toNativeSeparators(QDir::cleanPath(installed));
    return QDir::toNativeSeparators(beside);
}

void setProgramFolderForTesting(const QString &folder)
{
    overrideFolder = folder;
}

} // namespace oz::platform
