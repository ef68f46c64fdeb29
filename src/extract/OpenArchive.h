// Choosing and opening an archive on the main window, and listing it.
#pragma once

namespace oz::archive {
class ArchiveComponent;
}
namespace oz::app {
class MainWindow;
}

namespace oz::extract {

void Mp3_Click(app::MainWindow &w);    // choose, open and list
void mnuSZF_Click(app::MainWindow &w); // choose only
void delmp3_Click(app::MainWindow &w); // forget the path and the listing

// Refills List1 from an object's entries and sets the count.
void listEntries(app::MainWindow &w, archive::ArchiveComponent &zip);

} // namespace oz::extract
