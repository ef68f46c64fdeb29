// The settings block of a self-extracting executable, shared by the writer
// (the archive component) and the reader (the extractor program).
//
// Layout of an executable: the extractor program, this block, its trailer,
// then a standard zip archive whose offsets count from the start of the
// file, so that other zip tools read the executable as the zip it is. The
// extractor finds the trailer right before the archive's first record and
// reads the block it measures: a hundred bytes or so, whatever the size of
// the program in front or of the archive behind.
//
// Block, integers little-endian:
//   8 bytes  magic "OZSFX1\r\n"
//   u32      length T of the text part
//   T bytes  "key=value\n" lines (UTF-8; '\\' and newlines escaped)
//   u32      length I of the icon
//   I bytes  the icon file's content
//   u32      CRC-32 of everything above
//
// Trailer:
//   u32      length of the block
//   8 bytes  magic "OZSFXEND"
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace oz::receiver {

struct Settings {
    std::string iconName; // file name of the icon, without folder
    std::string icon;     // its content
    std::string runProgram;
    std::string runParameters;
    int autoTemp = 0;
    int autoExtract = 0;
};

// Which extractor program a self-extracting executable starts with.
enum class Target { Linux, Windows };
// The one rule: a name ending in ".exe", in any letter case, is a Windows program.
Target targetFor(const std::string &fileName);

// The block and its trailer.
std::string encodeSettings(const Settings &settings);

// Reads the block whose trailer ends where the archive on fd starts (archiveStart: the archive's
// first record). Throws core::Error: Damaged with the reason, Io when it cannot be read.
Settings readSettings(int fd, std::uint64_t archiveStart);

// Reads a block from the bytes at data and sets used to its size. Throws core::Error (Damaged).
Settings decodeSettings(const unsigned char *data, std::size_t size, std::size_t &used);

// The most a block may hold, so a damaged length cannot ask for gigabytes.
constexpr std::size_t maxSettingsBytes = 16u << 20;

} // namespace oz::receiver
