#include "Staging.h"

#include "archive/ArchiveComponent.h"
#include "create/OptionsWindow.h"
#include "platform/FileSystem.h"
#include "platform/MessageBox.h"
#include "platform/StagingFolder.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <optional>
#include <utility>

namespace oz::create {

QString joined(const QString &folder, const QString &name)
{
    return folder + QDir::separator() + name;
}

void addSelection(archive::ArchiveComponent &zip, const QString &zdir, bool haveFiles, const QString &pattern,
                  const QString &workingFolder, int recurseStaged, const OptionsWindow &o)
{
    if (!zdir.isEmpty()) {
        // The folder already ends in a separator.
        zip.AddFilesByPatternFiltered(zdir + pattern, OptionsWindow::value(o.Recurse),
                                      OptionsWindow::value(o.SaveFullFilenames), OptionsWindow::value(o.ArchiveOnly),
                                      OptionsWindow::value(o.IncludeHidden), OptionsWindow::value(o.IncludeSystem));
    }
    if (haveFiles || zdir.isEmpty())
        zip.AddFilesByPattern(joined(workingFolder, pattern), recurseStaged);
}

namespace {

QString nameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(QDir::separator()) + 1);
}

// The first two files that would be stored under one name, or nothing.
std::optional<std::pair<QString, QString>> sameName(const QStringList &files, const QString &sameLevel)
{
    QHash<QString, QString> byName;
    for (const QString &src : files) {
        const QString name = nameOf(src);
        const auto earlier = byName.constFind(name);
        if (earlier != byName.constEnd() && QFileInfo(*earlier) != QFileInfo(src))
            return std::make_pair(*earlier, src);
        byName.insert(name, src);
    }
    if (!sameLevel.isEmpty()) {
        for (const QString &src : files) {
            const QFileInfo there(joined(QDir::cleanPath(sameLevel), nameOf(src)));
            if (there.isFile() && there != QFileInfo(src))
                return std::make_pair(there.absoluteFilePath(), src);
        }
    }
    return std::nullopt;
}

} // namespace

bool stageListedFiles(QWidget *window, const QStringList &files, platform::StagingFolder &staging,
                      const QString &sameLevel)
{
    auto warn = [window](const QString &text) {
        platform::showMessage(window, text, QStringLiteral("Warning"), platform::MsgIcon::Exclamation);
        return false;
    };
    if (!staging.isValid() && !files.isEmpty())
        return warn(staging.error());
    // One of two files of one name would silently replace the other in the archive.
    if (const auto both = sameName(files, sameLevel))
        return warn(QStringLiteral("Two selected files have the same name and would become one entry of the "
                                   "archive:\n%1\n%2\nRemove one of them from the list, or rename it.")
                        .arg(both->first, both->second));
    for (const QString &src : files) {
        const QFileInfo info(src);
        if (!info.isFile() || !info.isReadable())
            return warn(QStringLiteral("Cannot read the selected file ") + src);
        QString error;
        if (!staging.stage(src, nameOf(src), &error))
            return warn(QStringLiteral("Cannot copy the selected file ") + src
                        + QStringLiteral(" to the working folder ") + staging.path());
    }
    return true;
}

} // namespace oz::create
