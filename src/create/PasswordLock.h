// The sign beside the build buttons that a password is in force: a password set once encrypts
// every archive built after it, and nothing else on the window says so.
#pragma once

#include <QRect>

class QLineEdit;
class QWidget;

namespace oz::create {

// A padlock and "AES-256", shown while the password field holds a password, hidden otherwise.
QWidget *passwordLock(QWidget *parent, QLineEdit *password, QRect geometry);

} // namespace oz::create
