// The set-password dialogs changePW, s1changePW and s2changePW: the password
// typed twice, confirmed into the field of the window whose build uses it.
#pragma once

#include <QDialog>

#include <functional>

class QLineEdit;

namespace oz::create {

class PasswordDialog : public QDialog {
    Q_OBJECT
public:
    PasswordDialog(const char *name, QWidget *owner, std::function<void(const QString &)> writeTarget);

    QLineEdit *txtpw;
    QLineEdit *txtconfirmpw;

public slots:
    void cmdOK_Click();
    void cmdCancel_Click();

protected:
    // Escape presses "&Cancel".
    void reject() override;
    void closeEvent(QCloseEvent *event) override;

private:
    std::function<void(const QString &)> writeTarget_;
};

} // namespace oz::create
