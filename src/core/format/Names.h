// Entry names: how stored bytes become a name, which names may be written below a folder, and
// how a name is shown on a terminal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace oz::core {

struct Entry;

bool isUtf8(std::string_view bytes);
// Bytes of code page 437, the zip format's default, as UTF-8.
std::string fromCodePage437(std::string_view bytes);

// The relative path ('/' between folders, no trailing '/') under which an entry may be written,
// or nothing when its name must be refused: empty, absolute, with a ".." part or a NUL byte.
// A backslash separates folders only in names made on DOS or Windows; elsewhere it is part of
// the name, as are ':', '*', '?' and the rest. "." parts and repeated separators are dropped,
// so "./" gives "", the destination itself.
std::optional<std::string> safeEntryPath(const Entry &entry);
std::optional<std::string> safeEntryPath(std::string_view name, bool backslashSeparates);
// Why safeEntryPath refuses the entry's name ("its name holds a NUL character"), for messages.
std::string whyNameRefused(const Entry &entry);

// A safe path as Windows can hold it: in each part, characters Windows refuses ('<', '>', ':',
// '"', '\\', '|', '?', '*', control characters) and a trailing dot or blank become '_', and a
// device name (CON, NUL, COM1, "aux.txt", ...) gets a '_' in front, so that no part names a
// stream, a drive or a device.
std::string windowsPath(const std::string &safePath);

// The name with control characters and bytes that are not UTF-8 escaped ("\n", "\x1b"), so that
// printing it on a terminal shows it and never drives the terminal.
std::string printable(std::string_view name);

} // namespace oz::core
