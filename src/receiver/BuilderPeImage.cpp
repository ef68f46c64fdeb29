#include "BuilderPeImage.h"
#include "core/base/Error.h"
#include "core/base/FileIo.h"
#include "core/base/LittleEndian.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace oz::receiver {

namespace {

std::uint32_t alignUp(std::uint32_t v, std::uint32_t to)
{
    return to ? (v + to - 1) / to * to : v;
}

constexpr std::uint32_t rtIcon = 3;
constexpr std::uint32_t rtGroupIcon = 14;
constexpr std::uint32_t iconGroup = 1;
constexpr std::size_t sectionHeaderSize = 40;

// The image is the builder's own extractor program: damaged, it is no fault of the user's input.
[[noreturn]] void damagedImage(const std::string &why)
{
    throw core::Error("The Windows extractor program cannot be changed: " + why, core::Error::Kind::System);
}

[[noreturn]] void unusableIcon(const std::string &iconName, const std::string &why)
{
    throw core::Error("The icon " + iconName + " cannot be used: " + why, core::Error::Kind::Unsupported);
}

// The fixed places of a PE32+ image's headers.
struct Headers {
    std::size_t sections = 0; // of the section table
    std::size_t count = 0;
    std::size_t optional = 0;
    bool read(const std::string &s)
    {
        if (s.size() < 0x40 || s[0] != 'M' || s[1] != 'Z')
            return false;
        const std::size_t pe = core::le32At(s, 0x3c);
        if (pe + 24 + 112 > s.size() || s.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
            return false;
        count = core::le16At(s, pe + 6);
        optional = pe + 24;
        if (core::le16At(s, optional) != 0x20b)
            return false;
        // At least up to the directories of resources and relocations, which are read.
        const std::size_t optionalSize = core::le16At(s, pe + 20);
        if (optionalSize < 112 + 6 * 8)
            return false;
        sections = optional + optionalSize;
        return sections + count * sectionHeaderSize <= s.size();
    }
};

void readTree(const std::string &s, std::size_t base, std::uint32_t rva, std::size_t size, PeResources &out)
{
    auto entries = [&](std::size_t dir, auto &&each) -> bool {
        if (dir + 16 > size)
            return false;
        const std::size_t n = std::size_t(core::le16At(s, base + dir + 12)) + core::le16At(s, base + dir + 14);
        if (dir + 16 + 8 * n > size)
            return false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t id = core::le32At(s, base + dir + 16 + 8 * i);
            const std::uint32_t to = core::le32At(s, base + dir + 20 + 8 * i);
            if (id & 0x80000000u)
                return false; // a resource by name: not one of ours
            if (!each(id, to))
                return false;
        }
        return true;
    };
    const bool ok = entries(0, [&](std::uint32_t type, std::uint32_t typeDir) {
        return (typeDir & 0x80000000u)
            && entries(typeDir & 0x7fffffffu, [&](std::uint32_t name, std::uint32_t nameDir) {
                   return (nameDir & 0x80000000u)
                       && entries(nameDir & 0x7fffffffu, [&](std::uint32_t lang, std::uint32_t leaf) {
                              if ((leaf & 0x80000000u) || leaf + 16 > size)
                                  return false;
                              const std::uint32_t dataRva = core::le32At(s, base + leaf);
                              const std::uint32_t dataSize = core::le32At(s, base + leaf + 4);
                              if (dataRva < rva || dataRva - rva + std::uint64_t(dataSize) > size)
                                  return false;
                              out[{type, name, lang}] = s.substr(base + (dataRva - rva), dataSize);
                              return true;
                          });
               });
    });
    if (!ok)
        damagedImage("its resources cannot be read");
}

// The resource section for these resources, placed at rva.
std::string writeTree(const PeResources &resources, std::uint32_t rva)
{
    std::map<std::uint32_t, std::map<std::uint32_t, std::vector<std::uint32_t>>> tree;
    for (const auto &[key, data] : resources)
        tree[std::get<0>(key)][std::get<1>(key)].push_back(std::get<2>(key));
    // Sizes first: every table, then the leaves, then the data.
    std::size_t tables = 16 + 8 * tree.size();
    for (const auto &[type, names] : tree) {
        tables += 16 + 8 * names.size();
        for (const auto &[name, langs] : names)
            tables += 16 + 8 * langs.size();
    }
    const std::size_t leaves = tables;
    std::size_t dataAt = leaves + 16 * resources.size();
    std::string out(dataAt, '\0');
    auto table = [&](std::size_t at, std::size_t count) {
        core::storeLe16(out, at + 14, static_cast<std::uint32_t>(count));
        return at + 16;
    };
    std::size_t next = 16 + 8 * tree.size();
    std::size_t leaf = leaves;
    std::size_t typeEntry = table(0, tree.size());
    for (const auto &[type, names] : tree) {
        core::storeLe32(out, typeEntry, type);
        core::storeLe32(out, typeEntry + 4, static_cast<std::uint32_t>(next) | 0x80000000u);
        typeEntry += 8;
        std::size_t nameEntry = table(next, names.size());
        next += 16 + 8 * names.size();
        for (const auto &[name, langs] : names) {
            core::storeLe32(out, nameEntry, name);
            core::storeLe32(out, nameEntry + 4, static_cast<std::uint32_t>(next) | 0x80000000u);
            nameEntry += 8;
            std::size_t langEntry = table(next, langs.size());
            next += 16 + 8 * langs.size();
            for (const std::uint32_t lang : langs) {
                core::storeLe32(out, langEntry, lang);
                core::storeLe32(out, langEntry + 4, static_cast<std::uint32_t>(leaf));
                langEntry += 8;
                const std::string &data = resources.at({type, name, lang});
                dataAt = alignUp(static_cast<std::uint32_t>(dataAt), 8);
                out.resize(dataAt, '\0');
                out += data;
                core::storeLe32(out, leaf, rva + static_cast<std::uint32_t>(dataAt));
                core::storeLe32(out, leaf + 4, static_cast<std::uint32_t>(data.size()));
                leaf += 16;
                dataAt += data.size();
            }
        }
    }
    return out;
}

// The pictures of an .ico file as RT_ICON resources and the RT_GROUP_ICON that lists them.
void readIcon(const std::string &ico, const std::string &iconName, std::vector<std::string> &pictures,
              std::string &group)
{
    if (ico.size() < 6 || core::le16At(ico, 0) != 0 || core::le16At(ico, 2) != 1)
        unusableIcon(iconName, ico.empty() ? "it is empty" : "it is not a Windows icon (.ico) file");
    const std::size_t count = core::le16At(ico, 4);
    if (count == 0 || 6 + 16 * count > ico.size())
        unusableIcon(iconName, count == 0 ? "it holds no pictures" : "it is cut short");
    group = ico.substr(0, 6);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t e = 6 + 16 * i;
        const std::uint32_t size = core::le32At(ico, e + 8);
        const std::uint32_t at = core::le32At(ico, e + 12);
        const std::string number = "picture " + std::to_string(i + 1);
        if (size < 8 || at > ico.size() || size > ico.size() - at)
            unusableIcon(iconName, number + " is cut short");
        std::string picture = ico.substr(at, size);
        std::uint32_t width = 0, height = 0;
        if (picture.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0 && picture.size() >= 24) {
            // Big-endian in PNG.
            auto be32 = [&](std::size_t p) {
                return static_cast<std::uint32_t>(static_cast<unsigned char>(picture[p])) << 24
                    | static_cast<std::uint32_t>(static_cast<unsigned char>(picture[p + 1])) << 16
                    | static_cast<std::uint32_t>(static_cast<unsigned char>(picture[p + 2])) << 8
                    | static_cast<unsigned char>(picture[p + 3]);
            };
            width = be32(16);
            height = be32(20);
        } else if (picture.size() >= 40 && core::le32At(picture, 0) == 40) {
            width = core::le32At(picture, 4);
            height = core::le32At(picture, 8) / 2; // the colours and the mask
        } else {
            unusableIcon(iconName, number + " is neither a bitmap nor a PNG");
        }
        if (width == 0 || height == 0 || width > 256 || height > 256)
            unusableIcon(iconName,
                         number + " is " + std::to_string(width) + " × " + std::to_string(height)
                             + "; pictures may be up to 256 × 256");
        pictures.push_back(std::move(picture));
        std::string entry = ico.substr(e, 12);
        entry.push_back(static_cast<char>((i + 1) & 0xff));
        entry.push_back(static_cast<char>((i + 1) >> 8));
        group += entry;
    }
}

} // namespace

namespace {

// Where the resources lie, and the base relocations when they follow them: the linker places
// those last, and nothing refers to where they lie but their directory entry, so they can move.
struct Layout {
    Headers h;
    std::size_t rsrc = 0, reloc = 0; // section headers; reloc 0 when there is none behind
    std::uint32_t rsrcRva = 0;
    std::string relocations;

    void read(const std::string &exe)
    {
        if (!h.read(exe) || core::le32At(exe, h.optional + 108) < 6)
            damagedImage("it is not a Windows program");
        // Sections start at powers of two, from 512 to 64 KiB in the file and at least that in
        // memory: a damaged value must not make the image grow to gigabytes.
        const std::uint32_t fileAlign = core::le32At(exe, h.optional + 36),
                            sectionAlign = core::le32At(exe, h.optional + 32);
        auto powerOfTwo = [](std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
        if (!powerOfTwo(fileAlign) || fileAlign < 512 || fileAlign > 65536 || !powerOfTwo(sectionAlign)
            || sectionAlign < fileAlign)
            damagedImage("its headers are damaged");
        rsrcRva = core::le32At(exe, h.optional + 112 + 2 * 8);
        const std::uint32_t relocRva = core::le32At(exe, h.optional + 112 + 5 * 8);
        std::size_t index = h.count;
        for (std::size_t i = 0; i < h.count; ++i)
            if (core::le32At(exe, h.sections + i * sectionHeaderSize + 12) == rsrcRva)
                index = i;
        const bool relocLast = index + 2 == h.count && relocRva != 0
            && core::le32At(exe, h.sections + (index + 1) * sectionHeaderSize + 12) == relocRva;
        if (rsrcRva == 0 || (index + 1 != h.count && !relocLast))
            damagedImage("its resources are not the last part of it");
        rsrc = h.sections + index * sectionHeaderSize;
        reloc = relocLast ? rsrc + sectionHeaderSize : 0;
        for (const std::size_t sh : {rsrc, reloc})
            if (sh && std::uint64_t(core::le32At(exe, sh + 20)) + core::le32At(exe, sh + 16) > exe.size())
                damagedImage("it is cut short");
        // The new resources are written from where the old ones start: nothing else may lie
        // there or behind, the headers least of all.
        const std::uint32_t rsrcRaw = core::le32At(exe, rsrc + 20);
        bool last = rsrcRaw >= h.sections + h.count * sectionHeaderSize;
        for (std::size_t sh = h.sections; sh < h.sections + h.count * sectionHeaderSize; sh += sectionHeaderSize)
            if (sh != rsrc && sh != reloc && core::le32At(exe, sh + 16) != 0
                && std::uint64_t(core::le32At(exe, sh + 20)) + core::le32At(exe, sh + 16) > rsrcRaw)
                last = false;
        if (!last)
            damagedImage("its resources are not the last part of it");
        if (reloc)
            relocations = exe.substr(core::le32At(exe, reloc + 20),
                                     std::min(core::le32At(exe, reloc + 8), core::le32At(exe, reloc + 16)));
    }
};

// Appends a section's content at the file alignment and sets its header; the size of the image's
// initialized data follows the change of its raw size.
void place(std::string &exe, const Layout &l, std::size_t sh, const std::string &content, std::uint32_t rva)
{
    const std::uint32_t fileAlign = core::le32At(exe, l.h.optional + 36);
    const std::uint32_t oldRaw = core::le32At(exe, sh + 16);
    const auto rawAt = static_cast<std::uint32_t>(exe.size());
    exe += content;
    exe.resize(alignUp(static_cast<std::uint32_t>(exe.size()), fileAlign), '\0');
    const auto raw = static_cast<std::uint32_t>(exe.size() - rawAt);
    core::storeLe32(exe, sh + 8, static_cast<std::uint32_t>(content.size()));
    core::storeLe32(exe, sh + 12, rva);
    core::storeLe32(exe, sh + 16, raw);
    core::storeLe32(exe, sh + 20, rawAt);
    if (core::le32At(exe, sh + 36) & 0x40) // initialized data
        core::storeLe32(exe, l.h.optional + 8, core::le32At(exe, l.h.optional + 8) - oldRaw + raw);
    core::storeLe32(exe, l.h.optional + 56,
                    alignUp(rva + static_cast<std::uint32_t>(content.size()), core::le32At(exe, l.h.optional + 32)));
}

} // namespace

void editPeResources(std::string &exe, const std::function<void(PeResources &)> &edit)
{
    Layout l;
    l.read(exe);
    const std::uint32_t rawAt = core::le32At(exe, l.rsrc + 20);
    PeResources resources;
    readTree(exe, rawAt, l.rsrcRva, std::min(core::le32At(exe, l.rsrc + 16), core::le32At(exe, l.rsrc + 8)), resources);
    edit(resources);

    const std::string section = writeTree(resources, l.rsrcRva);
    exe.resize(rawAt);
    place(exe, l, l.rsrc, section, l.rsrcRva);
    core::storeLe32(exe, l.h.optional + 112 + 2 * 8 + 4, static_cast<std::uint32_t>(section.size()));
    if (l.reloc) {
        const std::uint32_t relocRva
            = alignUp(l.rsrcRva + static_cast<std::uint32_t>(section.size()), core::le32At(exe, l.h.optional + 32));
        place(exe, l, l.reloc, l.relocations, relocRva);
        core::storeLe32(exe, l.h.optional + 112 + 5 * 8, relocRva);
    }
}

void checkIcon(const std::string &icon, const std::string &iconName)
{
    std::vector<std::string> pictures;
    std::string group;
    readIcon(icon, iconName, pictures, group);
}

void setPeIcon(std::string &exe, const std::string &icon, const std::string &iconName)
{
    std::vector<std::string> pictures;
    std::string group;
    readIcon(icon, iconName, pictures, group);
    editPeResources(exe, [&](PeResources &resources) {
        std::uint32_t lang = 1033;
        for (auto it = resources.begin(); it != resources.end();) {
            const std::uint32_t type = std::get<0>(it->first);
            if (type == rtGroupIcon)
                lang = std::get<2>(it->first);
            it = (type == rtIcon || type == rtGroupIcon) ? resources.erase(it) : std::next(it);
        }
        for (std::size_t i = 0; i < pictures.size(); ++i)
            resources[{rtIcon, static_cast<std::uint32_t>(i + 1), lang}] = std::move(pictures[i]);
        resources[{rtGroupIcon, iconGroup, lang}] = group;
    });
}

void writePeChecksum(int fd)
{
    const auto cannotRead = [] { throw core::Error("the executable cannot be read back", core::Error::Kind::Io); };
    unsigned char head[0x40];
    std::uint64_t size = 0;
    if (!oz::core::fileSize(fd, size) || !oz::core::readAt(fd, 0, head, sizeof head))
        cannotRead();
    const std::uint64_t at
        = (head[0x3c] | unsigned(head[0x3d]) << 8 | unsigned(head[0x3e]) << 16 | std::uint64_t(head[0x3f]) << 24) + 24
        + 64;
    // The sum of the file's 16-bit words, the checksum itself taken as 0, carries folded back in,
    // plus the file's length: what Windows' CheckSumMappedFile computes.
    std::uint64_t sum = 0;
    std::vector<unsigned char> chunk(1u << 20);
    for (std::uint64_t offset = 0; offset < size; offset += chunk.size()) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - offset));
        std::fill(chunk.begin(), chunk.end(), 0);
        if (!oz::core::readAt(fd, offset, chunk.data(), n))
            cannotRead();
        for (std::size_t i = 0; i < n; i += 2) {
            const std::uint64_t word = offset + i;
            if (word + 2 > at && word < at + 4)
                continue;
            sum += chunk[i] | unsigned(chunk[i + 1]) << 8;
        }
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    sum = (sum & 0xffff) + (sum >> 16);
    const auto checksum = static_cast<std::uint32_t>(sum + size);
    const unsigned char bytes[4]
        = {static_cast<unsigned char>(checksum), static_cast<unsigned char>(checksum >> 8),
           static_cast<unsigned char>(checksum >> 16), static_cast<unsigned char>(checksum >> 24)};
    if (::pwrite(fd, bytes, sizeof bytes, static_cast<off_t>(at)) != sizeof bytes)
        throw core::Error("the executable's checksum cannot be written", core::Error::Kind::Io);
}

} // namespace oz::receiver
