// Where entries opened from an archive for a look wait for the application that shows them: a
// folder of this process below the temporary location, one per archive, that only its owner may
// enter and that goes, with all it holds, when the archive is closed or the program ends. A run
// that was killed cannot remove its own; its folder carries its pid, so the next start can.
#pragma once

#include <QString>

namespace oz::platform {

class ViewingFolder {
public:
    // Makes the folder (mode 0700) below the temporary location.
    ViewingFolder();
    ~ViewingFolder();
    ViewingFolder(const ViewingFolder &) = delete;
    ViewingFolder &operator=(const ViewingFolder &) = delete;

    bool isValid() const { return !path_.isEmpty(); }
    QString path() const { return path_; }
    QString error() const { return error_; }

    // A new empty folder inside, for one entry: an entry opened twice, or two entries of one
    // name, never meet a file the viewer may still have open. Empty, with error(), on failure.
    QString newPlace();

private:
    QString path_;
    QString error_;
    int places_ = 0;
};

// The folder viewing folders are made in: the temporary location (TMPDIR, else /tmp), which
// holds files of any size, unlike the runtime folder of many systems.
QString viewingFoldersBase();

// Removes the viewing folders of runs of the program that no longer run.
void removeLeftoverViewingFolders();

} // namespace oz::platform
