// The main window as the zip build meets it: the controls it reads and writes, by their names,
// and the few things it asks of the window. The build defines it; the main window fills it in.
#pragma once

#include <QString>

#include <functional>

class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QWidget;

namespace oz::platform {
class CommonDialog;
}
namespace oz::selection {
class SelectionList;
}

namespace oz::create {

class OptionsWindow;

struct ZipDesk {
    QWidget *window; // the owner of messages and dialogs
    QLineEdit *zdir, *pas1;
    QLineEdit *Text4; // the working folder
    QListWidget *FileList;
    QLabel *ZipStatus;
    QProgressBar *ZipProgressBar;
    platform::CommonDialog &zipDialog1;
    selection::SelectionList &selection;
    std::function<OptionsWindow *()> advance; // the zip options window
};

} // namespace oz::create
