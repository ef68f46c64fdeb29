// Where each entry of an archive lands on the receiver's system, decided before anything is
// written: the extractors plan with it, and the tool shows the builder what a receiver will get.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace oz::core {

struct Directory;

enum class TargetSystem { Posix, Windows };

// A name as NTFS compares it: each UTF-16 unit upper-cased through a table of simple upper-case
// mappings, as its upcase table does. NTFS does not normalise, so neither does this: "é" as one
// character and as "e" with a combining accent stay two names there, and here.
std::u16string ntfsFolded(std::string_view utf8);

// Gives each safe path (Names.h), in archive order, the path it takes on the target system. On
// POSIX systems that is the path itself: names differ there by any byte. On Windows each part is
// made one Windows can hold (windowsPath), and where that name is one Windows would take for a
// name placed before (letter case folded as NTFS does), a file gets a name of its own,
// "a_b (2).txt", so that no entry is lost; folders of one name meet and are shared. The same
// path twice stays the same path: the later entry wins, as everywhere.
class NamePlanner {
public:
    explicit NamePlanner(TargetSystem system) : system_(system) {}
    std::string place(const std::string &safePath, bool folder);

private:
    struct Node {
        std::string leaf;     // as written
        std::string original; // the first part placed here, as the archive spells it
        bool folder = false;
    };
    using Key = std::pair<std::uint32_t, std::u16string>;
    std::uint32_t placePart(std::uint32_t parent, std::string_view part, bool folder, bool &exact);
    std::uint32_t add(std::uint32_t parent, std::string leaf, std::string_view original, bool folder);
    std::string distinct(std::uint32_t parent, const std::string &leaf, bool folder);

    TargetSystem system_;
    std::vector<Node> nodes_;
    std::map<Key, std::uint32_t> byFolded_; // (parent, folded leaf) -> node
    std::map<Key, std::uint32_t> next_;     // (parent, folded leaf) -> next number to try
    std::map<std::pair<std::uint32_t, std::string>, std::uint32_t> renamedFolders_; // by original
};

// The entries whose path on the target system differs from their name: index, path ('/'
// separated). Entries refused for their names are left out; extraction names those.
std::vector<std::pair<std::size_t, std::string>> renamedOn(const Directory &dir, TargetSystem system);

} // namespace oz::core
