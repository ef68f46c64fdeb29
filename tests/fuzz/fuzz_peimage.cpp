// What the builder of Windows executables reads of files it is given: an .ico file and the
// extractor's program image, whose resources it rewrites with the icon and a version. The input
// is a 16-bit length, that many bytes of icon, then the program image.
#include "core/base/Error.h"
#include "receiver/BuilderPeImage.h"
#include "receiver/PeVersion.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using Kind = oz::core::Error::Kind;

// Runs step; a refusal must be of the kind expected of it and say why.
template <typename Step>
bool refused(Step &&step, std::initializer_list<Kind> kinds)
{
    try {
        step();
        return false;
    } catch (const oz::core::Error &e) {
        if (std::string(e.what()).empty() || std::find(kinds.begin(), kinds.end(), e.kind()) == kinds.end())
            std::abort();
        return true;
    }
}

void rewriteChecked(std::string exe, const std::string &icon)
{
    // A bad icon is the user's, a bad image the builder's own program.
    if (refused([&] { oz::receiver::setPeIcon(exe, icon, "fuzzed.ico"); }, {Kind::Unsupported, Kind::System}))
        return;
    oz::receiver::VersionInfo info;
    info.product = u"Fuzzed \u00e9";
    info.version = u"1.2.3.4";
    info.numbers = {1, 2, 3, 4};
    // What the writer made it reads again: the image it wrote is one it can change once more;
    // an exception here ends the run as a finding.
    oz::receiver::setPeVersion(exe, info);
    oz::receiver::setPeIcon(exe, icon, "fuzzed.ico");
    static const int fd = memfd_create("exe", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, exe.data(), exe.size(), 0) != static_cast<ssize_t>(exe.size()))
        std::abort();
    oz::receiver::writePeChecksum(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t iconSize = std::min<std::size_t>(size - 2, data[0] | std::size_t(data[1]) << 8);
    const std::string icon(reinterpret_cast<const char *>(data + 2), iconSize);
    const std::string exe(reinterpret_cast<const char *>(data + 2 + iconSize), size - 2 - iconSize);
    refused([&] { oz::receiver::checkIcon(icon, "fuzzed.ico"); }, {Kind::Unsupported});
    rewriteChecked(exe, icon);
    // The version alone, on whatever image there is.
    std::string image = exe;
    oz::receiver::VersionInfo info;
    refused([&] { info.numbers = oz::receiver::versionNumbers(std::string(icon.substr(0, 24))); }, {Kind::Unsupported});
    refused([&] { oz::receiver::setPeVersion(image, info); }, {Kind::System});
    return 0;
}
