// The names the component gives entries and the folders it extracts into.
#pragma once

#include <QString>
#include <optional>

namespace oz::archive {

// The name an entry gets inside the archive for a file at relative path rel
// ('/' separated); with keepFolderInfo, the absolute folder path without its
// root or drive is put in front ("home/ann/photos/" + rel).
QString storedName(const QString &absoluteFolder, const QString &rel, bool keepFolderInfo);

// The folder beside an archive named after it: the path without a final
// ".zip" of any letter case; a name without that ending is kept whole.
QString folderNamedAfter(const QString &archive);

} // namespace oz::archive
