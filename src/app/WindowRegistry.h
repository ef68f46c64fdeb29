// The single-instance windows of the program. Each is created with its
// defaults on first use (hidden until shown), hiding keeps its values, and
// closing it through its frame destroys it, so the next use creates it anew.
#pragma once

#include <QObject>
#include <QPointer>

#include "sfx/SfxDesk.h"

class QWidget;

namespace oz::create {
class OptionsWindow;
class PasswordDialog;
} // namespace oz::create

namespace oz::extract {
class PasswordPrompt;
}
namespace oz::sfx {
class SfxWindow;
}

namespace oz::app {

class AboutWindow;
class MainWindow;

class WindowRegistry : public QObject, public sfx::SfxDesk {
    Q_OBJECT
public:
    explicit WindowRegistry(MainWindow *main);

    MainWindow *main() const { return main_; }

    create::OptionsWindow *advance() override;
    create::OptionsWindow *advances1() override;
    create::OptionsWindow *advances2() override;
    create::PasswordDialog *changePW();
    create::PasswordDialog *s1changePW();
    create::PasswordDialog *s2changePW();
    AboutWindow *about();
    extract::PasswordPrompt *password();
    sfx::SfxWindow *sfx();
    // The SFX window's gFolderPath, which outlives the window.
    QString &sfxFolderPath() override { return sfxFolderPath_; }

    // Shows a window without making it modal and brings it to the front.
    static void present(QWidget *window);

protected:
    // Marks a window closed through its frame as gone at once; Qt deletes it
    // only when the event loop runs again.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    template <class T, class Make>
    T *single(QPointer<T> &slot, Make make);

    MainWindow *main_;
    QPointer<create::OptionsWindow> advance_, advances1_, advances2_;
    QPointer<create::PasswordDialog> changePW_, s1changePW_, s2changePW_;
    QPointer<AboutWindow> about_;
    QPointer<extract::PasswordPrompt> password_;
    QPointer<sfx::SfxWindow> sfx_;
    QString sfxFolderPath_;
};

} // namespace oz::app
