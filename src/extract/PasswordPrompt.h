// The password prompt shown when a chosen archive does not open: it tries the
// typed password on an object of its own and refills the main window's list.
#pragma once

#include "ExtractDesk.h"

#include <QWidget>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace oz::extract {

class PasswordPrompt : public QWidget {
    Q_OBJECT
public:
    // The desk outlives the prompt: it is the main window's.
    explicit PasswordPrompt(const ExtractDesk &desk);

    QPushButton *Command1, *Command2;
    QLineEdit *Text1;
    QCheckBox *Check1;

public slots:
    void Text1_Change();
    void Check1_Click();
    void Command1_Click(); // "Enter password"
    void Command2_Click(); // "Exit"

private:
    const ExtractDesk &desk_;
};

} // namespace oz::extract
