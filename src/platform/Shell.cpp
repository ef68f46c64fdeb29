#include "Shell.h"

#include "Log.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QProcess>

namespace oz::platform {

namespace {

class RealShell : public ShellBackend {
public:
    bool startDetached(const QString &program, const QStringList &arguments) override
    {
        if (program.isEmpty())
            return false;
        return QProcess::startDetached(program, arguments);
    }
    void openUrl(const QUrl &url) override { QDesktopServices::openUrl(url); }
    bool openFile(const QString &path) override { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }
    void endProgram() override { QCoreApplication::exit(0); }
};

ShellBackend *installedShell = nullptr;

ShellBackend &shellBackend()
{
    static RealShell real;
    return installedShell ? *installedShell : real;
}

} // namespace

void setShellBackend(ShellBackend *b)
{
    installedShell = b;
}

bool startDetached(const QString &program, const QStringList &arguments)
{
    qCInfo(lcUi).noquote() << "start" << program << arguments.join(u' ');
    return shellBackend().startDetached(program, arguments);
}

bool openDocument(const QString &path)
{
#if defined(Q_OS_WIN)
    return startDetached(QStringLiteral("rundll32"), {QStringLiteral("url.dll,FileProtocolHandler"), path});
#elif defined(Q_OS_MACOS)
    return startDetached(QStringLiteral("open"), {path});
#else
    return startDetached(QStringLiteral("xdg-open"), {path});
#endif
}

void openUrl(const QUrl &url)
{
    qCInfo(lcUi).noquote() << "open url" << url.toString();
    shellBackend().openUrl(url);
}

bool openFile(const QString &path)
{
    qCInfo(lcUi).noquote() << "open file" << path;
    return shellBackend().openFile(path);
}

} // namespace oz::platform

namespace oz::platform {

void endProgram()
{
    qCInfo(lcUi) << "end";
    shellBackend().endProgram();
}

} // namespace oz::platform
