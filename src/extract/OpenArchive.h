// Choosing and opening an archive on the main window, and listing it.
#pragma once

#include <QString>

namespace oz::archive {
class ArchiveComponent;
}
namespace oz::app {
class MainWindow;
}

namespace oz::extract {

void Mp3_Click(app::MainWindow &w);    // choose, open and list
void mnuSZF_Click(app::MainWindow &w); // choose only
// Opens and lists an archive as Mp3_Click does once it is chosen; also how a
// file manager's "open with" reaches the window.
void openArchiveFile(app::MainWindow &w, const QString &path);
void delmp3_Click(app::MainWindow &w); // forget the path and the listing

// Refills List1 from an object's entries and sets the count.
void listEntries(app::MainWindow &w, archive::ArchiveComponent &zip);

} // namespace oz::extract
