// The folder picker: an open-file dialog in which the user walks into the
// wanted folder and presses Open with a placeholder name; the folder part of
// the returned path is the choice. Each window owns one, with its own
// remembered folder gFolderPath, kept where it outlives the window.
#pragma once

#include "platform/CommonDialog.h"

#include <QString>
#include <optional>

class QLineEdit;
class QWidget;

namespace oz::selection {

class FolderPicker {
public:
    // remembered holds gFolderPath: a window created anew after each closing keeps it outside
    // itself, so that it lasts for the life of the program.
    FolderPicker(QWidget *window, QString &remembered) : gFolderPath(remembered), window_(window) {}

    static constexpr const char *placeholder = "Select Folder and click Open";

    // The text before the last separator, or the path unchanged without one.
    static QString GetFolder(const QString &path);

    // Shows the dialog; the chosen folder ends in a separator and is kept in
    // gFolderPath, the starting folder of the next pick. Nothing when cancelled.
    std::optional<QString> pick();
    // The same, for a folder to write into: a name typed in the dialog that is no file (a
    // folder there, or nothing yet) is itself the chosen folder, to be made by the caller.
    std::optional<QString> pickDestination();

    void zipfolder_Click(QLineEdit *zdir); // choose the folder to zip
    static void clearFolderBox(QLineEdit *zdir);

    QString &gFolderPath;
    platform::CommonDialog unziptofolder;

private:
    QWidget *window_;
};

} // namespace oz::selection
