// The legacy code pages names may be stored in: for each, the character of every byte from 0x80
// and, for the double-byte ones, of every lead and trail byte pair. 0xFFFF marks bytes that are
// no character (for a double-byte page, a lead byte). The tables are made at build time.
#pragma once

#include <cstddef>

namespace oz::core::codepages {

struct Table {
    const char *name;      // "CP866", "KOI8-R", "CP932"
    const char16_t *high;  // 128 entries, for the bytes 0x80 to 0xFF
    const char16_t *pairs; // null, or 126 * 191 entries: lead 0x81 to 0xFE, trail 0x40 to 0xFE
};

extern const Table tables[];
extern const std::size_t tableCount;

} // namespace oz::core::codepages
