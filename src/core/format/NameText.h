// How the stored bytes of entry names become text: the Unicode Path field where it belongs to
// the name, UTF-8 where the name is UTF-8, and otherwise one code page for the whole archive,
// the user's, a detected one, or the format's default.
#pragma once

#include <string>
#include <string_view>

namespace oz::core {

struct Entry;
struct Directory;

// The code page a user's name stands for ("cp866", "Shift_JIS", "windows-1251" give "CP866",
// "CP932", "CP1251"), or "" when it names none that names can be read in.
std::string codePageNamed(std::string_view name);
// The code pages codePageNamed knows, for messages: "CP437, CP850, ...".
std::string knownCodePages();
// The bytes in that code page as UTF-8; false when a byte or pair is no character of it.
bool decodeCodePage(std::string_view codePage, std::string_view bytes, std::string &out);

// What Directory::codePage says of an archive whose names are all UTF-8, and of one whose names
// made on Unix keep their bytes.
inline constexpr std::string_view allUtf8 = "UTF-8";
inline constexpr std::string_view keptAsStored = "bytes as stored";

// Keeps the name's bytes as the central record stores them and the name of its Unicode Path
// field when that field belongs to those bytes (its CRC matches); gives the entry a first name.
void keepStoredName(Entry &entry, std::string_view stored, const unsigned char *extra, std::size_t extraLength);

// Gives every entry its name, reading the names that are neither UTF-8 nor named by a Unicode
// Path field in one code page: codePage when it is not empty (a name from codePageNamed), else
// the one detected from all those names together when the detection is sure, else CP437 for
// names made on DOS or Windows (the format's default) while names made on Unix keep their bytes,
// as Unix tools do. Records the choice in dir.codePage.
void decodeNames(Directory &dir, std::string_view codePage);

} // namespace oz::core
