// The version resource of the Windows extractor: what Explorer's Properties, the task manager and
// Windows' questions before a download runs show of the program.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace oz::receiver {

struct VersionInfo {
    std::u16string product;                 // ProductName and InternalName
    std::u16string description;             // FileDescription: what the task manager calls the program
    std::u16string version;                 // FileVersion and ProductVersion as the builder wrote them
    std::u16string company;                 // CompanyName; left out when empty
    std::u16string copyright;               // LegalCopyright; left out when empty
    std::u16string fileName;                // OriginalFilename
    std::array<std::uint16_t, 4> numbers{}; // the version as the four numbers Windows compares
};

// The numbers of a version written "1", "1.2", "1.2.3" or "1.2.3.4", each from 0 to 65535; the
// missing ones are 0. Throws core::Error (Unsupported) for any other text.
std::array<std::uint16_t, 4> versionNumbers(const std::string &text);

// The VS_VERSIONINFO resource of info, in US English and UTF-16.
std::string encodeVersionResource(const VersionInfo &info);

// Replaces the version resources of the program image in exe with the one of info. Throws
// core::Error: Unsupported when its texts are too long for the resource, System for a damaged
// image.
void setPeVersion(std::string &exe, const VersionInfo &info);

} // namespace oz::receiver
