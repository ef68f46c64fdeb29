#include "Staging.h"

#include "archive/ArchiveComponent.h"
#include "create/OptionsWindow.h"
#include "platform/FileSystem.h"
#include "platform/MessageBox.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>

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

bool stageListedFiles(QWidget *window, const QStringList &files, const QString &workingFolder)
{
    auto warn = [window](const QString &text) {
        platform::showMessage(window, text, QStringLiteral("Warning"), platform::MsgIcon::Exclamation);
        return false;
    };
    // The working folder may have been removed by a cleaner while the program ran.
    if (!files.isEmpty() && !QFileInfo(workingFolder).isDir() && !QDir().mkpath(workingFolder))
        return warn(QStringLiteral("Cannot use the working folder ") + workingFolder);
    for (const QString &src : files) {
        const QFileInfo info(src);
        const QString name = src.mid(src.lastIndexOf(QDir::separator()) + 1);
        if (!info.isFile() || !info.isReadable())
            return warn(QStringLiteral("Cannot read the selected file ") + src);
        if (!platform::FileSystem::copyFile(src, joined(workingFolder, name), true))
            return warn(QStringLiteral("Cannot copy the selected file ") + src
                        + QStringLiteral(" to the working folder ") + workingFolder);
    }
    return true;
}

} // namespace oz::create
