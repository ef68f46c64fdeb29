// The main window as opening and extracting archives meet it: the controls they read and write,
// by their names, and what they ask of the window. This room defines it; the main window fills
// it in.
#pragma once

#include <QString>

#include <functional>
#include <memory>

class QLineEdit;
class QListWidget;
class QProgressBar;
class QWidget;

namespace oz::archive {
class ArchiveComponent;
}
namespace oz::platform {
class CommonDialog;
class ViewingFolder;
} // namespace oz::platform
namespace oz::selection {
class FolderPicker;
}

namespace oz::extract {

struct ExtractDesk {
    QWidget *window; // the owner of messages, dialogs and the password prompt
    QLineEdit *DestDir, *mp3text, *pas2;
    QLineEdit *Text6; // the entry count
    QListWidget *List1;
    QProgressBar *ProgressBar1;
    std::unique_ptr<archive::ArchiveComponent> &ZipFile;
    platform::CommonDialog &Mp3Dialog; // the archive chosen last
    selection::FolderPicker &folders;
    std::function<void()> newZipFile;
    // Opens ZipFile again with a password that opened the archive elsewhere.
    std::function<void(const QString &path, const QString &password)> reopenZipFile;
    std::function<void()> askPassword; // shows the password prompt
    // Where the listed archive's entries opened with a double click wait for their viewer; it
    // goes when the archive is closed.
    std::unique_ptr<platform::ViewingFolder> &viewing;
};

} // namespace oz::extract
