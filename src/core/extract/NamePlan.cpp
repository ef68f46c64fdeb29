#include "NamePlan.h"

#include "core/format/Names.h"
#include "core/format/ZipFormat.h"

#include <array>

namespace oz::core {

namespace {

// Simple upper-case mappings of the Basic Multilingual Plane (Unicode 14): code units first to
// last, every stride-th, move by delta.
struct UpperRun {
    char16_t first, last;
    std::uint8_t stride;
    std::int32_t delta;
};

constexpr UpperRun upperRuns[] = {
    {0x0061, 0x007A, 1, -32},    {0x00B5, 0x00B5, 1, 743},   {0x00E0, 0x00FE, 2, -32},    {0x00E1, 0x00F6, 1, -32},
    {0x00F9, 0x00FE, 1, -32},    {0x00FF, 0x00FF, 1, 121},   {0x0101, 0x012F, 2, -1},     {0x0131, 0x0131, 1, -232},
    {0x0133, 0x0137, 2, -1},     {0x013A, 0x0148, 2, -1},    {0x014B, 0x0177, 2, -1},     {0x017A, 0x017E, 2, -1},
    {0x017F, 0x017F, 1, -300},   {0x0180, 0x0180, 1, 195},   {0x0183, 0x0185, 2, -1},     {0x0188, 0x0188, 1, -1},
    {0x018C, 0x018C, 1, -1},     {0x0192, 0x0192, 1, -1},    {0x0195, 0x0195, 1, 97},     {0x0199, 0x0199, 1, -1},
    {0x019A, 0x019A, 1, 163},    {0x019E, 0x019E, 1, 130},   {0x01A1, 0x01A5, 2, -1},     {0x01A8, 0x01A8, 1, -1},
    {0x01AD, 0x01AD, 1, -1},     {0x01B0, 0x01B0, 1, -1},    {0x01B4, 0x01B6, 2, -1},     {0x01B9, 0x01B9, 1, -1},
    {0x01BD, 0x01BD, 1, -1},     {0x01BF, 0x01BF, 1, 56},    {0x01C5, 0x01C5, 1, -1},     {0x01C6, 0x01C6, 1, -2},
    {0x01C8, 0x01C8, 1, -1},     {0x01C9, 0x01C9, 1, -2},    {0x01CB, 0x01CB, 1, -1},     {0x01CC, 0x01CC, 1, -2},
    {0x01CE, 0x01DC, 2, -1},     {0x01DD, 0x01DD, 1, -79},   {0x01DF, 0x01EF, 2, -1},     {0x01F2, 0x01F2, 1, -1},
    {0x01F3, 0x01F3, 1, -2},     {0x01F5, 0x01F5, 1, -1},    {0x01F9, 0x021F, 2, -1},     {0x0223, 0x0233, 2, -1},
    {0x023C, 0x023C, 1, -1},     {0x023F, 0x0240, 1, 10815}, {0x0242, 0x0242, 1, -1},     {0x0247, 0x024F, 2, -1},
    {0x0250, 0x0250, 1, 10783},  {0x0251, 0x0251, 1, 10780}, {0x0252, 0x0252, 1, 10782},  {0x0253, 0x0253, 1, -210},
    {0x0254, 0x0254, 1, -206},   {0x0256, 0x0257, 1, -205},  {0x0259, 0x0259, 1, -202},   {0x025B, 0x025B, 1, -203},
    {0x025C, 0x025C, 1, 42319},  {0x0260, 0x0260, 1, -205},  {0x0261, 0x0261, 1, 42315},  {0x0263, 0x0263, 1, -207},
    {0x0265, 0x0265, 1, 42280},  {0x0266, 0x0266, 1, 42308}, {0x0268, 0x0268, 1, -209},   {0x0269, 0x0269, 1, -211},
    {0x026A, 0x026A, 1, 42308},  {0x026B, 0x026B, 1, 10743}, {0x026C, 0x026C, 1, 42305},  {0x026F, 0x026F, 1, -211},
    {0x0271, 0x0271, 1, 10749},  {0x0272, 0x0272, 1, -213},  {0x0275, 0x0275, 1, -214},   {0x027D, 0x027D, 1, 10727},
    {0x0280, 0x0280, 1, -218},   {0x0282, 0x0282, 1, 42307}, {0x0283, 0x0283, 1, -218},   {0x0287, 0x0287, 1, 42282},
    {0x0288, 0x0288, 1, -218},   {0x0289, 0x0289, 1, -69},   {0x028A, 0x028B, 1, -217},   {0x028C, 0x028C, 1, -71},
    {0x0292, 0x0292, 1, -219},   {0x029D, 0x029D, 1, 42261}, {0x029E, 0x029E, 1, 42258},  {0x0345, 0x0345, 1, 84},
    {0x0371, 0x0373, 2, -1},     {0x0377, 0x0377, 1, -1},    {0x037B, 0x037D, 1, 130},    {0x03AC, 0x03AC, 1, -38},
    {0x03AD, 0x03AF, 1, -37},    {0x03B1, 0x03CB, 2, -32},   {0x03B2, 0x03C1, 1, -32},    {0x03C2, 0x03C2, 1, -31},
    {0x03C4, 0x03CB, 1, -32},    {0x03CC, 0x03CC, 1, -64},   {0x03CD, 0x03CE, 1, -63},    {0x03D0, 0x03D0, 1, -62},
    {0x03D1, 0x03D1, 1, -57},    {0x03D5, 0x03D5, 1, -47},   {0x03D6, 0x03D6, 1, -54},    {0x03D7, 0x03D7, 1, -8},
    {0x03D9, 0x03EF, 2, -1},     {0x03F0, 0x03F0, 1, -86},   {0x03F1, 0x03F1, 1, -80},    {0x03F2, 0x03F2, 1, 7},
    {0x03F3, 0x03F3, 1, -116},   {0x03F5, 0x03F5, 1, -96},   {0x03F8, 0x03F8, 1, -1},     {0x03FB, 0x03FB, 1, -1},
    {0x0430, 0x044F, 1, -32},    {0x0450, 0x045F, 1, -80},   {0x0461, 0x0481, 2, -1},     {0x048B, 0x04BF, 2, -1},
    {0x04C2, 0x04CE, 2, -1},     {0x04CF, 0x04CF, 1, -15},   {0x04D1, 0x052F, 2, -1},     {0x0561, 0x0586, 1, -48},
    {0x10D0, 0x10FA, 1, 3008},   {0x10FD, 0x10FF, 1, 3008},  {0x13F8, 0x13FD, 1, -8},     {0x1C80, 0x1C80, 1, -6254},
    {0x1C81, 0x1C81, 1, -6253},  {0x1C82, 0x1C82, 1, -6244}, {0x1C83, 0x1C84, 1, -6242},  {0x1C85, 0x1C85, 1, -6243},
    {0x1C86, 0x1C86, 1, -6236},  {0x1C87, 0x1C87, 1, -6181}, {0x1C88, 0x1C88, 1, 35266},  {0x1D79, 0x1D79, 1, 35332},
    {0x1D7D, 0x1D7D, 1, 3814},   {0x1D8E, 0x1D8E, 1, 35384}, {0x1E01, 0x1E95, 2, -1},     {0x1E9B, 0x1E9B, 1, -59},
    {0x1EA1, 0x1EFF, 2, -1},     {0x1F00, 0x1F07, 1, 8},     {0x1F10, 0x1F15, 1, 8},      {0x1F20, 0x1F27, 1, 8},
    {0x1F30, 0x1F37, 1, 8},      {0x1F40, 0x1F45, 1, 8},     {0x1F51, 0x1F57, 2, 8},      {0x1F60, 0x1F67, 1, 8},
    {0x1F70, 0x1F71, 1, 74},     {0x1F72, 0x1F75, 1, 86},    {0x1F76, 0x1F77, 1, 100},    {0x1F78, 0x1F79, 1, 128},
    {0x1F7A, 0x1F7B, 1, 112},    {0x1F7C, 0x1F7D, 1, 126},   {0x1F80, 0x1F87, 1, 8},      {0x1F90, 0x1F97, 1, 8},
    {0x1FA0, 0x1FA7, 1, 8},      {0x1FB0, 0x1FB1, 1, 8},     {0x1FB3, 0x1FB3, 1, 9},      {0x1FBE, 0x1FBE, 1, -7205},
    {0x1FC3, 0x1FC3, 1, 9},      {0x1FD0, 0x1FD1, 1, 8},     {0x1FE0, 0x1FE1, 1, 8},      {0x1FE5, 0x1FE5, 1, 7},
    {0x1FF3, 0x1FF3, 1, 9},      {0x214E, 0x214E, 1, -28},   {0x2170, 0x217F, 1, -16},    {0x2184, 0x2184, 1, -1},
    {0x24D0, 0x24E9, 1, -26},    {0x2C30, 0x2C5F, 1, -48},   {0x2C61, 0x2C61, 1, -1},     {0x2C65, 0x2C65, 1, -10795},
    {0x2C66, 0x2C66, 1, -10792}, {0x2C68, 0x2C6C, 2, -1},    {0x2C73, 0x2C73, 1, -1},     {0x2C76, 0x2C76, 1, -1},
    {0x2C81, 0x2CE3, 2, -1},     {0x2CEC, 0x2CEE, 2, -1},    {0x2CF3, 0x2CF3, 1, -1},     {0x2D00, 0x2D25, 1, -7264},
    {0x2D27, 0x2D27, 1, -7264},  {0x2D2D, 0x2D2D, 1, -7264}, {0xA641, 0xA66D, 2, -1},     {0xA681, 0xA69B, 2, -1},
    {0xA723, 0xA72F, 2, -1},     {0xA733, 0xA76F, 2, -1},    {0xA77A, 0xA77C, 2, -1},     {0xA77F, 0xA787, 2, -1},
    {0xA78C, 0xA78C, 1, -1},     {0xA791, 0xA793, 2, -1},    {0xA794, 0xA794, 1, 48},     {0xA797, 0xA7A9, 2, -1},
    {0xA7B5, 0xA7C3, 2, -1},     {0xA7C8, 0xA7CA, 2, -1},    {0xA7D1, 0xA7D1, 1, -1},     {0xA7D7, 0xA7D9, 2, -1},
    {0xA7F6, 0xA7F6, 1, -1},     {0xAB53, 0xAB53, 1, -928},  {0xAB70, 0xABBF, 1, -38864}, {0xFF41, 0xFF5A, 1, -32},
};

const std::array<char16_t, 0x10000> &upcaseTable()
{
    static const std::array<char16_t, 0x10000> table = [] {
        std::array<char16_t, 0x10000> t{};
        for (std::size_t c = 0; c < t.size(); ++c)
            t[c] = static_cast<char16_t>(c);
        for (const UpperRun &r : upperRuns)
            for (std::size_t c = r.first; c <= r.last; c += r.stride)
                t[c] = static_cast<char16_t>(static_cast<std::int32_t>(c) + r.delta);
        return t;
    }();
    return table;
}

// The UTF-16 units of a name; a byte that starts no UTF-8 sequence stands for itself.
std::u16string utf16Units(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t n = b < 0x80 ? 1
            : (b & 0xE0) == 0xC0       ? 2
            : (b & 0xF0) == 0xE0       ? 3
            : (b & 0xF8) == 0xF0       ? 4
                                       : 0;
        char32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
        bool whole = n > 0 && i + n <= s.size();
        for (std::size_t k = 1; whole && k < n; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            whole = (next & 0xC0) == 0x80;
            c = c << 6 | (next & 0x3F);
        }
        if (!whole) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += n;
    }
    return out;
}

// Windows' long paths hold 32,767 UTF-16 units; no name longer or deeper gets a place.
constexpr std::size_t windowsPathUnits = 32767;

} // namespace

std::u16string ntfsFolded(std::string_view utf8)
{
    std::u16string units = utf16Units(utf8);
    const auto &table = upcaseTable();
    for (char16_t &u : units)
        u = table[u];
    return units;
}

std::string NamePlanner::place(const std::string &safePath, bool folder)
{
    if (system_ == TargetSystem::Posix)
        return safePath;
    std::string out;
    std::uint32_t at = UINT32_MAX;
    bool exact = true; // every part so far met one spelled as this name spells it
    std::size_t s = 0;
    for (;;) {
        const std::size_t slash = safePath.find('/', s);
        const bool last = slash == std::string::npos;
        const std::string_view part = std::string_view(safePath).substr(s, last ? std::string::npos : slash - s);
        at = placePart(at, part, folder || !last, exact);
        if (!out.empty())
            out += '/';
        out += nodes_[at].leaf;
        if (last)
            return out;
        s = slash + 1;
    }
}

std::uint32_t NamePlanner::placePart(std::uint32_t parent, std::string_view part, bool folder, bool &exact)
{
    if (folder) {
        const auto renamed = renamedFolders_.find({parent, std::string(part)});
        if (renamed != renamedFolders_.end())
            return renamed->second;
    }
    std::string leaf = windowsPath(std::string(part));
    const auto met = byFolded_.find({parent, ntfsFolded(leaf)});
    if (met == byFolded_.end())
        return add(parent, std::move(leaf), part, folder);
    const Node &there = nodes_[met->second];
    exact = exact && there.original == part;
    // The same name again, or a folder met by another spelling of it: the same place.
    if (exact || (folder && there.folder))
        return met->second;
    const std::uint32_t own = add(parent, distinct(parent, leaf, folder), part, folder);
    if (folder)
        renamedFolders_.emplace(std::make_pair(parent, std::string(part)), own);
    return own;
}

std::uint32_t NamePlanner::add(std::uint32_t parent, std::string leaf, std::string_view original, bool folder)
{
    const auto n = static_cast<std::uint32_t>(nodes_.size());
    byFolded_.emplace(Key{parent, ntfsFolded(leaf)}, n);
    nodes_.push_back({std::move(leaf), std::string(original), folder});
    return n;
}

// "name (2).ext", or the first number after it that no name of the folder takes; a folder's
// name has no extension.
std::string NamePlanner::distinct(std::uint32_t parent, const std::string &leaf, bool folder)
{
    const std::size_t dot = folder ? std::string::npos : leaf.rfind('.');
    const bool split = dot != std::string::npos && dot > 0;
    const std::string stem = split ? leaf.substr(0, dot) : leaf, extension = split ? leaf.substr(dot) : "";
    std::uint32_t &n = next_.try_emplace({parent, ntfsFolded(leaf)}, 2).first->second;
    for (;; ++n) {
        std::string candidate = stem;
        candidate += " (" + std::to_string(n) + ")";
        candidate += extension;
        if (!byFolded_.count({parent, ntfsFolded(candidate)})) {
            ++n;
            return candidate;
        }
    }
}

std::vector<std::pair<std::size_t, std::string>> renamedOn(const Directory &dir, TargetSystem system)
{
    std::vector<std::pair<std::size_t, std::string>> out;
    NamePlanner planner(system);
    for (std::size_t i = 0; i < dir.entries.size(); ++i) {
        const auto safe = safeEntryPath(dir.entries[i]);
        // Extraction refuses these, and a name too long to hold would only cost memory here.
        if (!safe || safe->empty() || (system == TargetSystem::Windows && safe->size() > windowsPathUnits * 3))
            continue;
        std::string path = planner.place(*safe, dir.entries[i].isFolder());
        if (path != *safe)
            out.emplace_back(i, std::move(path));
    }
    return out;
}

} // namespace oz::core
