// Message boxes: text, title, one OK button and an icon. Each is logged.
#pragma once

#include <QString>

class QWidget;

namespace oz::platform {

enum class MsgIcon { None, Exclamation, Information };

class MessageBackend {
public:
    virtual ~MessageBackend() = default;
    virtual void show(QWidget *parent, const QString &text, const QString &title, MsgIcon icon) = 0;
};

// Replaces the real boxes (tests); nullptr restores them.
void setMessageBackend(MessageBackend *backend);

void showMessage(QWidget *parent, const QString &text, const QString &title, MsgIcon icon);

QString iconName(MsgIcon icon);

} // namespace oz::platform
