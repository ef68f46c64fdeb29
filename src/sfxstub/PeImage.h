// The Windows extractor as a file: where its image ends (its settings block starts there), and
// its icon, which the writer replaces with the one the user chose so that Explorer shows it.
#pragma once

#include <cstddef>
#include <string>

namespace oz::sfx {

// Where the PE image in data ends: the end of its last section. 0 when data is no PE image.
std::size_t peImageEnd(const unsigned char *data, std::size_t size);

// Replaces the icon of the program image in exe (group 1, the one its window shows) with the
// pictures of the .ico file in icon. The resource section must be the image's last; the other
// resources stay as they are. False with the reason in error when the icon cannot be used.
bool setPeIcon(std::string &exe, const std::string &icon, std::string &error);

} // namespace oz::sfx
