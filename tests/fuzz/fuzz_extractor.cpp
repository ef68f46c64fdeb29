// What the extractor program reads of itself before anything else: the settings block after its
// image, and the layout of the archive that follows.
#include "core/base/Error.h"
#include "core/format/ZipFormat.h"
#include "receiver/SfxFormat.h"

#include <cstdlib>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::size_t used = 0;
    std::optional<oz::receiver::Settings> settings;
    try {
        settings = oz::receiver::decodeSettings(data, size, used);
    } catch (const oz::core::Error &e) {
        if (e.kind() != oz::core::Error::Kind::Damaged)
            std::abort();
    }
    if (settings) {
        if (used > size)
            std::abort();
        // Whatever decodes survives being written again and read back; a block that does not
        // decode again throws, which ends the run as a finding.
        const std::string again = oz::receiver::encodeSettings(*settings);
        std::size_t usedAgain = 0;
        const oz::receiver::Settings back = oz::receiver::decodeSettings(
            reinterpret_cast<const unsigned char *>(again.data()), again.size(), usedAgain);
        if (usedAgain != again.size() || back.iconName != settings->iconName || back.icon != settings->icon
            || back.runProgram != settings->runProgram || back.runParameters != settings->runParameters
            || back.autoTemp != settings->autoTemp || back.autoExtract != settings->autoExtract)
            std::abort();
    }
    static const int fd = memfd_create("archive", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    try {
        const oz::core::Directory dir = oz::core::readDirectory(fd);
        // What the check lets through lies within the file.
        for (const auto &e : dir.entries)
            if (e.dataStart > size || e.compressedSize > size - e.dataStart)
                std::abort();
    } catch (const oz::core::Error &) {
    }
    return 0;
}
