// The Windows extractor as a file: its resources, which the writer changes so that Explorer shows
// the icon the user chose and the version of the build, and its header's checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>

namespace oz::receiver {

// The resources of a program image, by type, name and language; the extractor's all have numbers.
using PeResources = std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>, std::string>;

// Reads the resources of the program image in exe, lets edit change them, and writes them back
// as the image's resource section. The resource section must be the image's last but for the
// base relocations, which move behind it. Throws core::Error: System when the image cannot be
// read, as the builder's own program is damaged then, or what edit throws; exe is unchanged
// then.
void editPeResources(std::string &exe, const std::function<void(PeResources &)> &edit);

// Replaces the icon of the program image in exe (group 1, the one its window shows) with the
// pictures of the .ico file in icon, named iconName in messages; the other resources stay as
// they are. Throws core::Error: Unsupported for an icon that cannot be used, System for a
// damaged image.
void setPeIcon(std::string &exe, const std::string &icon, const std::string &iconName);

// Throws core::Error (Unsupported) with the reason unless icon is a .ico file whose pictures a
// Windows program can show: "The icon NAME cannot be used: picture 1 is cut short".
void checkIcon(const std::string &icon, const std::string &iconName);

// Writes the checksum of the PE image header for the whole file open on fd, archive included,
// as Windows computes it. Throws core::Error (Io).
void writePeChecksum(int fd);

} // namespace oz::receiver
