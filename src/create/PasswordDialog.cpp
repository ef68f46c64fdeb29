#include "PasswordDialog.h"

#include "widgets/Controls.h"
#include "platform/MessageBox.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace oz::create {

using namespace oz::widgets;

PasswordDialog::PasswordDialog(const char *name, QWidget *owner, std::function<void(const QString &)> writeTarget)
    : QDialog(owner), writeTarget_(std::move(writeTarget))
{
    setObjectName(QString::fromLatin1(name));
    setWindowTitle(QStringLiteral("Set Password(Optional)"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setFont(makeFont(QStringLiteral("Arial"), 9));
    setFixedSize(scaled(QSize(321, 201)));

    auto *l1 = label(this, "lblLabels", QStringLiteral("Type &Password:"), {16, 12, 200, 18});
    txtpw = textBox(this, "txtpw", {16, 32, 289, 22});
    auto *l2 = label(this, "lblLabels", QStringLiteral("Re-Type P&assword:"), {16, 64, 200, 18});
    txtconfirmpw = textBox(this, "txtconfirmpw", {16, 84, 289, 22});
    auto *note = label(this, "Label1",
                       QStringLiteral("The password is case sensitive and the maximum length is 20 characters."),
                       {16, 112, 289, 36});
    note->setWordWrap(true);
    for (QLineEdit *field : {txtpw, txtconfirmpw}) {
        field->setEchoMode(QLineEdit::Password);
        field->setMaxLength(20);
        field->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    }
    l1->setBuddy(txtpw);
    l2->setBuddy(txtconfirmpw);
    auto *ok = button(this, "cmdOK", QStringLiteral("&OK"), {128, 160, 81, 25});
    auto *cancel = button(this, "cmdCancel", QStringLiteral("&Cancel"), {224, 160, 81, 25});
    ok->setDefault(true);
    setTabChain({txtpw, txtconfirmpw, ok, cancel});
    connect(ok, &QPushButton::clicked, this, &PasswordDialog::cmdOK_Click);
    connect(cancel, &QPushButton::clicked, this, &PasswordDialog::cmdCancel_Click);
    dialogKeys(this, ok, [this] { cmdCancel_Click(); });
}

void PasswordDialog::cmdOK_Click()
{
    if (txtpw->text() != txtconfirmpw->text()) {
        platform::showMessage(this, QStringLiteral("Passwords don't match, try again!"), QStringLiteral("Error"),
                              platform::MsgIcon::None);
        txtpw->clear();
        txtconfirmpw->clear();
        txtpw->setFocus();
        return;
    }
    writeTarget_(txtpw->text());
    hide();
}

void PasswordDialog::cmdCancel_Click()
{
    close(); // destroys the dialog; the target keeps its password
}

void PasswordDialog::reject()
{
    close();
}

void PasswordDialog::closeEvent(QCloseEvent *event)
{
    // QDialog would turn the close into reject(), which closes again.
    event->accept();
}

} // namespace oz::create
