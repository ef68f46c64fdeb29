// Counts and sentences as both extractors show them.
#pragma once

#include <string>

namespace oz::receiver {

// "1 file", "2 files", "1 entry", "3 entries".
inline std::string counted(std::size_t n, const std::string &one, const std::string &many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

inline std::string files(std::size_t n)
{
    return counted(n, "file", "files");
}

// What --test says of the archive's entries.
// The code page says how names that are not UTF-8 were read, so that a receiver whose names look
// wrong knows which --names to try.
inline std::string intactText(std::size_t n, const std::string &codePage)
{
    const std::string names = codePage.empty() ? std::string() : " (names: " + codePage + ")";
    return (n == 1 ? std::string("The 1 entry is intact") : "All " + std::to_string(n) + " entries are intact") + names
        + ".";
}

// A message of the core, which starts in lower case to follow "error: ", as a sentence.
inline std::string sentence(std::string text)
{
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    if (!text.empty() && text.back() != '.' && text.back() != '?' && text.back() != '!')
        text += '.';
    return text;
}

} // namespace oz::receiver
