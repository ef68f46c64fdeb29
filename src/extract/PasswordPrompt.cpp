#include "PasswordPrompt.h"

#include "widgets/Controls.h"
#include "archive/ArchiveComponent.h"
#include "extract/OpenArchive.h"
#include "platform/CommonDialog.h"
#include "platform/MessageBox.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace oz::extract {

using namespace oz::widgets;

PasswordPrompt::PasswordPrompt(const ExtractDesk &desk) : QWidget(desk.window, Qt::Window), desk_(desk)
{
    setObjectName(QStringLiteral("password"));
    setWindowTitle(QStringLiteral("Orvel Zip"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(scaled(QSize(411, 106)));
    setFont(makeFont(QStringLiteral("Arial"), 9));

    Command1 = button(this, "Command1", QStringLiteral("Enter password"), {16, 24, 105, 25});
    Text1 = textBox(this, "Text1", {144, 24, 185, 25});
    Check1 = checkBox(this, "Check1", QStringLiteral("Mask"), {344, 32, 49, 17});
    Command2 = button(this, "Command2", QStringLiteral("Exit"), {144, 64, 129, 25});
    auto *note = label(this, "Label1",
                       QStringLiteral("The password is case sensitive and the maximum length is 20 characters."),
                       {64, 168, 257, 33});
    note->setFont(makeFont(QStringLiteral("Arial"), 9));
    note->setWordWrap(true);
    Text1->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    setTabChain({Text1, Command1, Command2, Check1});

    connect(Text1, &QLineEdit::textChanged, this, &PasswordPrompt::Text1_Change);
    connect(Check1, &QCheckBox::clicked, this, &PasswordPrompt::Check1_Click);
    connect(Command1, &QPushButton::clicked, this, &PasswordPrompt::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &PasswordPrompt::Command2_Click);
    dialogKeys(this, Command1, [this] { Command2_Click(); });
}

void PasswordPrompt::Text1_Change()
{
    desk_.pas2->setText(Text1->text());
}

void PasswordPrompt::Check1_Click()
{
    if (Check1->checkState() == Qt::Checked) {
        Text1->setEchoMode(QLineEdit::Password);
    } else {
        Check1->setCheckState(Qt::Unchecked);
        Text1->setEchoMode(QLineEdit::Normal);
    }
}

void PasswordPrompt::Command1_Click()
{
    desk_.pas2->setText(Text1->text());
    archive::ArchiveComponent attempt;
    attempt.SetPassword(desk_.pas2->text());
    const QString path = desk_.Mp3Dialog.FileName;
    bool opened = true;
    try {
        attempt.OpenZip(path);
    } catch (const archive::ArchiveError &) {
        opened = false;
        platform::showMessage(this, QStringLiteral("Wrong password!    "), QStringLiteral("Warning"),
                              platform::MsgIcon::Information);
    }
    listEntries(desk_, attempt);
    // The password that opened the archive is the one the extraction
    // commands need; without it an encrypted archive could never be extracted.
    if (opened)
        desk_.reopenZipFile(path, desk_.pas2->text());
}

void PasswordPrompt::Command2_Click()
{
    close();
}

} // namespace oz::extract
