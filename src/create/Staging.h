// Staging for the builds: the listed files are copied into the working folder
// under their own names and added from there.
#pragma once

#include <QStringList>

class QWidget;

namespace oz::archive {
class ArchiveComponent;
}

namespace oz::create {

class OptionsWindow;

// Copies each file into the folder; a later file of the same name overwrites
// an earlier one. False, after telling the user, when a file cannot be read.
bool stageListedFiles(QWidget *window, const QStringList &files, const QString &workingFolder);

// Adds a build's selection: the chosen folder (when there is one) with the
// pattern and the five folder options of `folderOptions`, then the staged
// files of the working folder (when files were listed, or no folder chosen).
void addSelection(archive::ArchiveComponent &zip, const QString &zdir, bool haveFiles, const QString &pattern,
                  const QString &workingFolder, int recurseStaged, const OptionsWindow &folderOptions);

// The folder followed by the separator and the name.
QString joined(const QString &folder, const QString &name);

} // namespace oz::create
