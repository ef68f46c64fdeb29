// Choosing and opening an archive on the main window, and listing it.
#pragma once

#include "ExtractDesk.h"

#include <QString>

namespace oz::archive {
class ArchiveComponent;
}

namespace oz::extract {

void Mp3_Click(const ExtractDesk &w);    // choose, open and list
void mnuSZF_Click(const ExtractDesk &w); // choose only
// Opens and lists an archive as Mp3_Click does once it is chosen; also how a
// file manager's "open with" reaches the window.
void openArchiveFile(const ExtractDesk &w, const QString &path);
void delmp3_Click(const ExtractDesk &w); // forget the path and the listing

// Refills List1 from an object's entries and sets the count.
void listEntries(const ExtractDesk &w, archive::ArchiveComponent &zip);

} // namespace oz::extract
