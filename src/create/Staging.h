// Staging for the builds: the listed files are put into a staging folder of the build's own
// under their own names and added from there.
#pragma once

#include <QStringList>

class QWidget;

namespace oz::archive {
class ArchiveComponent;
}
namespace oz::platform {
class StagingFolder;
}

namespace oz::create {

class OptionsWindow;

// Puts each file into the staging folder. False, after telling the user, when a file cannot be
// read, or when two files would become one entry: two listed files of one name, or a listed
// file named like a file at the top of sameLevel (a folder whose top files are archived under
// their bare names; empty for none). Nothing is staged then.
bool stageListedFiles(QWidget *window, const QStringList &files, platform::StagingFolder &staging,
                      const QString &sameLevel = {});

// Adds a build's selection: the chosen folder (when there is one) with the
// pattern and the five folder options of `folderOptions`, then the staged
// files of the working folder (when files were listed, or no folder chosen).
void addSelection(archive::ArchiveComponent &zip, const QString &zdir, bool haveFiles, const QString &pattern,
                  const QString &workingFolder, int recurseStaged, const OptionsWindow &folderOptions);

// The folder followed by the separator and the name.
QString joined(const QString &folder, const QString &name);

} // namespace oz::create
