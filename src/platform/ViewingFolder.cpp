#include "ViewingFolder.h"

#include "FileSystem.h"
#include "core/files/NewFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace oz::platform {

namespace {

const std::string viewStem = "view-";

} // namespace

QString viewingFoldersBase()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

ViewingFolder::ViewingFolder()
{
    const std::string name = core::temporaryName(viewStem + "XXXXXX");
    QByteArray path = QFile::encodeName(QDir(viewingFoldersBase()).filePath(QString::fromStdString(name)));
    if (!::mkdtemp(path.data())) { // mode 0700: nobody else may enter
        error_
            = QStringLiteral("Cannot make a folder in %1: %2").arg(viewingFoldersBase(), FileSystem::systemText(errno));
        return;
    }
    path_ = QFile::decodeName(path);
}

ViewingFolder::~ViewingFolder()
{
    if (isValid())
        QDir(path_).removeRecursively();
}

QString ViewingFolder::newPlace()
{
    if (!isValid())
        return {};
    QString place = QDir(path_).filePath(QString::number(++places_));
    if (::mkdir(QFile::encodeName(place).constData(), 0700) != 0) {
        error_ = QStringLiteral("Cannot make the folder %1: %2").arg(place, FileSystem::systemText(errno));
        return {};
    }
    return place;
}

void removeLeftoverViewingFolders()
{
    const QDir base(viewingFoldersBase());
    const QString prefix = QStringLiteral(".oz-");
    for (const QFileInfo &entry :
         base.entryInfoList({prefix + u'*'}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QByteArray name = QFile::encodeName(entry.fileName());
        // Only ours: a folder, never a link to one, of this user, named as a viewing folder.
        if (entry.isSymLink() || entry.ownerId() != ::getuid()
            || !name.mid(name.indexOf('-', 4) + 1).startsWith(QByteArray::fromStdString(viewStem)))
            continue;
        if (core::isLeftover(name.constData()))
            QDir(entry.absoluteFilePath()).removeRecursively();
    }
}

} // namespace oz::platform
