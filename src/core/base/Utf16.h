// Windows speaks UTF-16; the core speaks UTF-8. The two conversions, for the Windows builds.
#pragma once

#include <string>

namespace oz::core {

std::wstring toWide(const std::string &utf8);
std::string fromWide(const std::wstring &wide);

// The path as Windows' long-path form (\\?\C:\..., \\?\UNC\server\...), absolute and with
// backslashes, so that deep trees pass the old limit of 260 characters.
std::wstring longPath(const std::string &utf8);

} // namespace oz::core
