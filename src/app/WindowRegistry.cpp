#include "WindowRegistry.h"

#include "widgets/Controls.h"

#include "app/AboutWindow.h"
#include "app/MainWindow.h"
#include "create/OptionsWindow.h"
#include "create/PasswordDialog.h"
#include "extract/PasswordPrompt.h"
#include "sfx/SfxWindow.h"

#include <QEvent>
#include <QLineEdit>

namespace oz::app {

using create::OptionsWindow;
using create::PasswordDialog;

WindowRegistry::WindowRegistry(MainWindow *main) : QObject(main), main_(main) {}

namespace {
const char *const discarded = "ozDiscarded";
}

template <class T, class Make>
T *WindowRegistry::single(QPointer<T> &slot, Make make)
{
    if (!slot || slot->property(discarded).toBool()) {
        slot = make();
        slot->installEventFilter(this);
    }
    return slot;
}

bool WindowRegistry::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Close)
        watched->setProperty(discarded, true);
    return QObject::eventFilter(watched, event);
}

void WindowRegistry::present(QWidget *window)
{
    widgets::present(window);
}

OptionsWindow *WindowRegistry::advance()
{
    return single(advance_,
                  [&] { return new OptionsWindow(OptionsWindow::Kind::Zip, main_, [this] { present(changePW()); }); });
}

OptionsWindow *WindowRegistry::advances1()
{
    return single(advances1_, [&] {
        return new OptionsWindow(OptionsWindow::Kind::Sfx1, main_, [this] { present(s1changePW()); });
    });
}

OptionsWindow *WindowRegistry::advances2()
{
    return single(advances2_, [&] {
        return new OptionsWindow(OptionsWindow::Kind::Sfx2, main_, [this] { present(s2changePW()); });
    });
}

PasswordDialog *WindowRegistry::changePW()
{
    return single(changePW_, [&] {
        return new PasswordDialog("changePW", main_, [this](const QString &pw) { main_->pas1->setText(pw); });
    });
}

// The SFX window's password fields exist only while that window does; a
// password confirmed while it is closed has no field to go to.
PasswordDialog *WindowRegistry::s1changePW()
{
    return single(s1changePW_, [&] {
        return new PasswordDialog("s1changePW", main_, [this](const QString &pw) { main_->setSfxPassword(1, pw); });
    });
}

PasswordDialog *WindowRegistry::s2changePW()
{
    return single(s2changePW_, [&] {
        return new PasswordDialog("s2changePW", main_, [this](const QString &pw) { main_->setSfxPassword(2, pw); });
    });
}

AboutWindow *WindowRegistry::about()
{
    return single(about_, [&] { return new AboutWindow(main_); });
}

} // namespace oz::app

namespace oz::app {

extract::PasswordPrompt *WindowRegistry::password()
{
    return single(password_, [&] { return new extract::PasswordPrompt(main_->extractDesk()); });
}

} // namespace oz::app

namespace oz::app {

sfx::SfxWindow *WindowRegistry::sfx()
{
    return single(sfx_, [&] { return new sfx::SfxWindow(main_, *this); });
}

} // namespace oz::app
