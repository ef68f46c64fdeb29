// Starting programs and opening web pages through the desktop.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace oz::platform {

class ShellBackend {
public:
    virtual ~ShellBackend() = default;
    virtual bool startDetached(const QString &program, const QStringList &arguments) = 0;
    virtual void openUrl(const QUrl &url) = 0;
    // Opens a file with the desktop's default application for its type.
    virtual bool openFile(const QString &path) = 0;
    virtual void endProgram() = 0;
};

// Replaces the real shell (tests); nullptr restores it.
void setShellBackend(ShellBackend *backend);

// Starts a program without waiting for it; false when it could not be started.
bool startDetached(const QString &program, const QStringList &arguments = {});

// Opens a document with the desktop's opener (xdg-open here).
bool openDocument(const QString &path);

void openUrl(const QUrl &url);

// Opens a file with the desktop's default application for its type; false when there is none.
bool openFile(const QString &path);

// Ends the program at once: every window closes and no unload step runs.
void endProgram();

} // namespace oz::platform
