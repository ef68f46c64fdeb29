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
// base relocations, which move behind it. False with the reason in error when the image cannot
// be read or edit says so (edit sets error then).
bool editPeResources(std::string &exe, const std::function<bool(PeResources &, std::string &)> &edit,
                     std::string &error);

// Replaces the icon of the program image in exe (group 1, the one its window shows) with the
// pictures of the .ico file in icon; the other resources stay as they are. False with the
// reason in error when the icon cannot be used.
bool setPeIcon(std::string &exe, const std::string &icon, std::string &error);

// Whether icon is a .ico file whose pictures a Windows program can show; false with the reason.
bool checkIcon(const std::string &icon, std::string &error);

// Writes the checksum of the PE image header for the whole file open on fd, archive included,
// as Windows computes it. False with the reason in error.
bool writePeChecksum(int fd, std::string &error);

} // namespace oz::receiver
