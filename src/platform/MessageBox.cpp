#include "MessageBox.h"

#include "Log.h"

#include <QMessageBox>

namespace oz::platform {

namespace {

class QtMessageBackend : public MessageBackend {
public:
    void show(QWidget *parent, const QString &text, const QString &title, MsgIcon icon) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(title);
        box.setText(text);
        box.setStandardButtons(QMessageBox::Ok);
        box.setIcon(icon == MsgIcon::Exclamation       ? QMessageBox::Warning
                        : icon == MsgIcon::Information ? QMessageBox::Information
                                                       : QMessageBox::NoIcon);
        box.exec();
    }
};

MessageBackend *installedMessages = nullptr;

} // namespace

void setMessageBackend(MessageBackend *backend)
{
    installedMessages = backend;
}

QString iconName(MsgIcon icon)
{
    switch (icon) {
    case MsgIcon::Exclamation: return QStringLiteral("exclamation");
    case MsgIcon::Information: return QStringLiteral("information");
    case MsgIcon::None: break;
    }
    return QStringLiteral("none");
}

void showMessage(QWidget *parent, const QString &text, const QString &title, MsgIcon icon)
{
    qCInfo(lcUi).noquote() << "message"
                           << QStringLiteral("title=\"%1\" icon=%2 text=\"%3\"").arg(title, iconName(icon), text);
    static QtMessageBackend real;
    (installedMessages ? *installedMessages : static_cast<MessageBackend &>(real)).show(parent, text, title, icon);
}

} // namespace oz::platform
