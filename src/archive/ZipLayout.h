// Where the entries of a zip archive lie in its file, checked before anything is extracted.
//
// Zip readers trust the central directory: it says where each entry's data starts and how long it
// is. Archives built to exhaust a disk point many central records at one compressed kernel, or
// start one entry inside another's data; others declare data that runs into the directory. A sound
// archive has none of that, so such an archive is refused as a whole rather than half extracted.
//
// Plain C++ on a file descriptor, so that the extractor program shares it with the component.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace oz::ziplayout {

// One central record as the check found it, in directory order.
struct EntrySpan {
    std::uint64_t dataStart = 0;      // first byte after its local header
    std::uint64_t compressedSize = 0;
    std::string name;                 // as stored
};

// Empty when every entry of the archive in the open file lies in a range of its own before the
// central directory; otherwise a sentence part saying what is wrong ("entries "a" and "b"
// overlap"). An archive whose directory cannot be found at all gives an empty answer too: that is
// for the zip reader to report, in its own words. When entries is given, it receives every record
// of a sound archive, and stays empty otherwise.
std::string layoutFault(int fd, std::vector<EntrySpan> *entries = nullptr);

} // namespace oz::ziplayout
