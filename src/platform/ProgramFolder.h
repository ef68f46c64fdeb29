// Where the program finds its own files and keeps its working folders.
#pragma once

#include <QString>

namespace oz::platform {

// The folder of the running executable, in native form without a trailing
// separator (unless it is the root).
QString programFolder();

// The folder that holds tempp and icons: the program folder when it is
// writable, else the per-user data folder (an installed program).
QString writableFolder();

// The working folder tempp and the icons folder, inside writableFolder().
QString workingFolder();
QString iconsFolder();

// The default icon of self-extracting executables.
QString defaultIconPath();

// A file shipped with the program (help, About picture, icons/oz.ico):
// beside the program in the build tree, else in the installed data folder.
QString dataFile(const QString &relative);

// Points every path above at another folder (tests run in temporary folders).
void setProgramFolderForTesting(const QString &folder);

} // namespace oz::platform
