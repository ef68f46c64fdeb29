// What the builder of Windows executables reads of files it is given: an .ico file and the
// extractor's program image, whose resources it rewrites with the icon and a version. The input
// is a 16-bit length, that many bytes of icon, then the program image.
#include "receiver/BuilderPeImage.h"
#include "receiver/PeVersion.h"

#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

void rewriteChecked(std::string exe, const std::string &icon)
{
    std::string error;
    if (!oz::receiver::setPeIcon(exe, icon, error)) {
        if (error.empty())
            std::abort(); // a refusal always says why
        return;
    }
    oz::receiver::VersionInfo info;
    info.product = u"Fuzzed \u00e9";
    info.version = u"1.2.3.4";
    info.numbers = {1, 2, 3, 4};
    // What the writer made it reads again: the image it wrote is one it can change once more.
    if (!oz::receiver::setPeVersion(exe, info, error) || !oz::receiver::setPeIcon(exe, icon, error))
        std::abort();
    static const int fd = memfd_create("exe", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, exe.data(), exe.size(), 0) != static_cast<ssize_t>(exe.size())
        || !oz::receiver::writePeChecksum(fd, error))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t iconSize = std::min<std::size_t>(size - 2, data[0] | std::size_t(data[1]) << 8);
    const std::string icon(reinterpret_cast<const char *>(data + 2), iconSize);
    const std::string exe(reinterpret_cast<const char *>(data + 2 + iconSize), size - 2 - iconSize);
    std::string error;
    oz::receiver::checkIcon(icon, error);
    rewriteChecked(exe, icon);
    // The version alone, on whatever image there is.
    std::string image = exe;
    std::array<std::uint16_t, 4> numbers{};
    oz::receiver::versionNumbers(std::string(icon.substr(0, 24)), numbers);
    oz::receiver::VersionInfo info;
    info.numbers = numbers;
    oz::receiver::setPeVersion(image, info, error);
    return 0;
}
