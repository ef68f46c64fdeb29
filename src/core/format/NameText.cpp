#include "NameText.h"

#include "CodePages.h"
#include "core/base/FileIo.h"
#include "core/base/LittleEndian.h"
#include "Names.h"
#include "ZipFormat.h"

#include <zlib.h>

#include <cstring>
#include <vector>

#ifdef OZ_HAVE_UCHARDET
#include <uchardet/uchardet.h>
#endif

namespace oz::core {

namespace {

constexpr std::uint16_t unicodePathField = 0x7075; // Info-ZIP Unicode Path

const codepages::Table *tableOf(std::string_view name)
{
    for (std::size_t i = 0; i < codepages::tableCount; ++i)
        if (name == codepages::tables[i].name)
            return &codepages::tables[i];
    return nullptr;
}

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes bytes with the table into code points; false at the first byte that is no character.
bool decode(const codepages::Table &t, std::string_view bytes, std::u16string &out)
{
    out.clear();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            continue;
        }
        if (t.high[b - 0x80] != 0xFFFF) {
            out += t.high[b - 0x80];
            continue;
        }
        if (!t.pairs || b < 0x81 || b > 0xFE || i + 1 >= bytes.size())
            return false;
        const auto trail = static_cast<unsigned char>(bytes[i + 1]);
        if (trail < 0x40 || trail > 0xFE || t.pairs[(b - 0x81) * 191 + (trail - 0x40)] == 0xFFFF)
            return false;
        out += t.pairs[(b - 0x81) * 191 + (trail - 0x40)];
        ++i;
    }
    return true;
}

std::string toUtf8(const std::u16string &text)
{
    std::string out;
    out.reserve(text.size() * 3);
    for (const char16_t c : text)
        appendUtf8(out, c);
    return out;
}

} // namespace

std::string codePageNamed(std::string_view name)
{
    std::string key;
    for (const char c : name)
        if (c != '-' && c != '_' && c != ' ')
            key += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (key.rfind("IBM", 0) == 0 || key.rfind("WINDOWS", 0) == 0)
        key = "CP" + key.substr(key[0] == 'I' ? 3 : 7);
    else if (!key.empty() && key.find_first_not_of("0123456789") == std::string::npos)
        key = "CP" + key;
    static const char *const aliases[][2] = {
        {"SHIFTJIS", "CP932"},      {"SJIS", "CP932"},
        {"CP31J", "CP932"},         {"GBK", "CP936"},
        {"GB2312", "CP936"},        {"BIG5", "CP950"},
        {"UHC", "CP949"},           {"EUCKR", "CP949"},
        {"KOI8R", "KOI8-R"},        {"LATIN1", "ISO-8859-1"},
        {"ISO88591", "ISO-8859-1"}, {"LATIN2", "ISO-8859-2"},
        {"ISO88592", "ISO-8859-2"}, {"ISO88595", "ISO-8859-5"},
        {"LATIN9", "ISO-8859-15"},  {"ISO885915", "ISO-8859-15"},
    };
    for (const auto &alias : aliases)
        if (key == alias[0])
            key = alias[1];
    return tableOf(key) ? key : std::string();
}

std::string knownCodePages()
{
    std::string out;
    for (std::size_t i = 0; i < codepages::tableCount; ++i)
        out += (i ? ", " : "") + std::string(codepages::tables[i].name);
    return out;
}

bool decodeCodePage(std::string_view codePage, std::string_view bytes, std::string &out)
{
    const codepages::Table *t = tableOf(codePage);
    std::u16string text;
    if (!t || !decode(*t, bytes, text))
        return false;
    out = toUtf8(text);
    return true;
}

void keepStoredName(Entry &entry, std::string_view stored, const unsigned char *extra, std::size_t extraLength)
{
    entry.storedName.assign(stored);
    entry.unicodeName.clear();
    const unsigned char *x = extra, *end = extra + extraLength;
    while (end - x >= 4) {
        const std::uint16_t id = le16(x), len = le16(x + 2);
        if (len > static_cast<std::size_t>(end - x - 4))
            break;
        // Version 1, then the CRC of the name it stands for: a field left behind by a tool that
        // renamed the entry no longer belongs to it.
        if (id == unicodePathField && len > 5 && x[4] == 1) {
            const std::uint32_t crc = static_cast<std::uint32_t>(
                ::crc32(0, reinterpret_cast<const Bytef *>(stored.data()), static_cast<uInt>(stored.size())));
            const std::string_view name(reinterpret_cast<const char *>(x + 9), len - 5u);
            if (le32(x + 5) == crc && isUtf8(name))
                entry.unicodeName.assign(name);
        }
        x += 4 + len;
    }
    if (!entry.unicodeName.empty())
        entry.name = entry.unicodeName;
    else
        entry.name = (entry.flags & flag::utf8) || isUtf8(stored) ? std::string(stored) : fromCodePage437(stored);
}

namespace {

bool needsCodePage(const Entry &e)
{
    return e.unicodeName.empty() && !(e.flags & flag::utf8) && !isUtf8(e.storedName);
}

// What the detector says of all the names together, when it names a code page that names made
// on DOS or Windows are stored in. Its other answers (Western single-byte pages above all) are
// what it says of nearly any short text with a few high bytes, and do not outweigh the format's
// default.
std::string detectorSays(const std::string &names)
{
#ifdef OZ_HAVE_UCHARDET
    uchardet_t detector = uchardet_new();
    if (!detector)
        return {};
    uchardet_handle_data(detector, names.data(), names.size());
    uchardet_data_end(detector);
    const std::string said = uchardet_get_charset(detector);
    uchardet_delete(detector);
    static const char *const trusted[][2] = {
        {"SHIFT_JIS", "CP932"}, {"GB18030", "CP936"},       {"BIG5", "CP950"},
        {"UHC", "CP949"},       {"EUC-KR", "CP949"},        {"IBM866", "CP866"},
        {"KOI8-R", "KOI8-R"},   {"WINDOWS-1251", "CP1251"}, {"ISO-8859-5", "ISO-8859-5"},
    };
    for (const auto &t : trusted)
        if (said == t[0])
            return t[1];
#else
    (void)names;
#endif
    return {};
}

// Whether the character from bytes (a lead and trail pair) is one of the page's ideographs,
// kana or hangul in its main area, where text of that script lies and other text seldom does.
bool mainScript(std::string_view page, unsigned lead, unsigned trail, char16_t c)
{
    const bool kana = c >= 0x3041 && c <= 0x30FE, hanzi = c >= 0x4E00 && c <= 0x9FFF,
               hangul = c >= 0xAC00 && c <= 0xD7A3;
    if (page == "CP932")
        return (kana && (lead == 0x82 || lead == 0x83))
            || (hanzi && ((lead >= 0x88 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xEA)));
    const bool euc = lead >= 0xA1 && trail >= 0xA1;
    return euc && (hanzi || (page == "CP949" && hangul));
}

// Whether every byte above ASCII in the names forms a character of the page's main script, in
// runs of two or more: a lone such character is what a Western name's accented letter before
// an ASCII letter reads as.
bool looksLike(std::string_view page, const std::vector<std::string_view> &names)
{
    const codepages::Table *t = tableOf(page);
    for (const std::string_view name : names) {
        std::size_t run = 0;
        for (std::size_t i = 0; i <= name.size(); ++i) {
            const auto b = i < name.size() ? static_cast<unsigned char>(name[i]) : 0u;
            if (b < 0x80) {
                if (run == 1)
                    return false;
                run = 0;
                continue;
            }
            if (b < 0x81 || b > 0xFE || i + 1 >= name.size())
                return false;
            const auto trail = static_cast<unsigned char>(name[i + 1]);
            const char16_t c = trail >= 0x40 && trail <= 0xFE ? t->pairs[(b - 0x81) * 191 + (trail - 0x40)] : 0xFFFF;
            if (t->high[b - 0x80] != 0xFFFF || c == 0xFFFF || !mainScript(page, b, trail, c))
                return false;
            ++run;
            ++i;
        }
    }
    return true;
}

// The code page of the names, when it can be told: the detector's answer where every name reads
// in it, else the one East Asian page all of them fit (too few characters for the detector to
// judge is the rule for names, not the exception).
std::string detectCodePage(const std::vector<std::string_view> &names)
{
    std::string joined;
    for (const std::string_view n : names)
        joined.append(n).append("\n");
    std::string page = detectorSays(joined), ignored;
    if (!page.empty()) {
        bool all = true;
        for (const std::string_view n : names)
            all = all && decodeCodePage(page, n, ignored);
        if (all)
            return page;
    }
    page.clear();
    for (const char *candidate : {"CP932", "CP936", "CP949"}) {
        if (looksLike(candidate, names)) {
            if (!page.empty())
                return {};
            page = candidate;
        }
    }
    return page;
}

} // namespace

void decodeNames(Directory &dir, std::string_view codePage)
{
    std::vector<std::string_view> legacy; // names of DOS, Windows and the rest, to detect from
    bool any = false;
    for (const Entry &e : dir.entries) {
        if (!needsCodePage(e))
            continue;
        any = true;
        if (!madeOnUnix(e.madeBy))
            legacy.push_back(e.storedName);
    }
    std::string page(codePage);
    if (page.empty() && !legacy.empty()) {
        page = detectCodePage(legacy);
        if (page.empty())
            page = "CP437";
    }
    dir.codePage = !any ? std::string(allUtf8) : !page.empty() ? page : std::string(keptAsStored);
    for (Entry &e : dir.entries) {
        if (!e.unicodeName.empty()) {
            e.name = e.unicodeName;
        } else if (!needsCodePage(e) || (madeOnUnix(e.madeBy) && codePage.empty())) {
            e.name = e.storedName;
        } else if (!decodeCodePage(page, e.storedName, e.name)) {
            // Not a name of that page after all: the rule it would have had without one.
            e.name = madeOnUnix(e.madeBy) ? e.storedName : fromCodePage437(e.storedName);
        }
    }
}

} // namespace oz::core
