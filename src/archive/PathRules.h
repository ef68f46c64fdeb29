// The rules that keep extraction inside its destination folder.
#pragma once

#include <QString>
#include <optional>

namespace oz::archive {

// The safe relative path ('/' separated, no trailing '/') under which an entry
// may be written, or nothing when the name must be refused: empty names,
// absolute names, drive letters, ".." components, NUL characters. Backslashes
// count as separators; "." components and repeated separators are dropped, so
// a name such as "./" gives "", the destination itself.
std::optional<QString> safeEntryPath(const QString &entryName);

// True when a symbolic link stored at the safe path linkPath with the given
// target stays inside the destination once resolved lexically.
bool linkStaysInside(const QString &linkPath, const QString &target);

// The name an entry gets inside the archive for a file at relative path rel
// ('/' separated); with keepFolderInfo, the absolute folder path without its
// root or drive is put in front ("home/ann/photos/" + rel).
QString storedName(const QString &absoluteFolder, const QString &rel, bool keepFolderInfo);

// The folder beside an archive named after it: the path without a final
// ".zip" of any letter case; a name without that ending is kept whole.
QString folderNamedAfter(const QString &archive);

} // namespace oz::archive
