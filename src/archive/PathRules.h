// The names the component gives entries and the folders it extracts into.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>

namespace oz::archive {

// The name an entry gets inside the archive for a file at relative path rel
// ('/' separated); with keepFolderInfo, the absolute folder path without its
// root or drive is put in front ("home/ann/photos/" + rel).
QString storedName(const QString &absoluteFolder, const QString &rel, bool keepFolderInfo);

// The folder beside an archive named after it: the path without a final
// ".zip" of any letter case; a name without that ending is kept whole.
QString folderNamedAfter(const QString &archive);

// A file name from the disk as text. Bytes that are not UTF-8 are kept, each as a lone
// surrogate (U+DC80 to U+DCFF), so that bytesOfName gives back exactly the bytes: the file can
// still be opened and its name stored as it is, and two such names never become one.
QString nameFromBytes(std::string_view bytes);
std::string bytesOfName(const QString &name);
// Whether the name holds bytes that are not UTF-8.
bool holdsRawBytes(const QString &name);

} // namespace oz::archive
