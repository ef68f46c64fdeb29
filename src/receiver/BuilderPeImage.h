// The Windows extractor as a file: its icon, which the writer replaces with the one the user
// chose so that Explorer shows it.
#pragma once

#include <cstddef>
#include <string>

namespace oz::receiver {

// Replaces the icon of the program image in exe (group 1, the one its window shows) with the
// pictures of the .ico file in icon. The resource section must be the image's last but for the
// base relocations, which move behind it; the other resources stay as they are. Throws
// core::Error (Unsupported) with the reason when the icon cannot be used.
void setPeIcon(std::string &exe, const std::string &icon);

// Writes the checksum of the PE image header for the whole file open on fd, archive included,
// as Windows computes it. Throws core::Error (Io).
void writePeChecksum(int fd);

} // namespace oz::receiver
