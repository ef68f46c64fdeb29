#include "Progress.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <exception>
#include <thread>
#include <vector>

namespace oz::platform {

void setProgress(QProgressBar *bar, double value)
{
    bar->setValue(static_cast<int>(std::lround(value)));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

namespace {

bool isUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::Drop:
    case QEvent::TouchBegin: return true;
    default: return false;
    }
}

// While the work runs: the Stop button takes its clicks, Escape and closing a window ask the
// work to stop, and other input to the windows that were open is dropped. A window that opens
// meanwhile (a question the work asks) takes its input as usual.
class StopGuard : public QObject {
public:
    StopGuard(QPushButton *button, std::function<void()> stop) : button_(button), stop_(std::move(stop))
    {
        for (QWidget *window : QApplication::topLevelWidgets())
            guarded_.emplace_back(window);
    }

    std::vector<QPointer<QWidget>> closing;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == button_ || !watched->isWidgetType() || !guarded(static_cast<QWidget *>(watched)->window()))
            return false;
        auto *widget = static_cast<QWidget *>(watched);
        if (event->type() == QEvent::Close) {
            if (!widget->isWindow())
                return false;
            closing.emplace_back(widget);
            stop_();
            event->ignore();
            return true;
        }
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
            stop_();
            return true;
        }
        return isUserInput(event->type());
    }

private:
    bool guarded(const QWidget *window) const
    {
        return std::any_of(guarded_.begin(), guarded_.end(), [&](const QPointer<QWidget> &g) { return g == window; });
    }

    QPushButton *button_;
    std::function<void()> stop_;
    std::vector<QPointer<QWidget>> guarded_;
};

} // namespace

WorkEnd runStoppable(QWidget *parent, const QRect &place, const std::function<void()> &work,
                     const std::function<void()> &stop)
{
    bool stopAsked = false;
    auto *button = new QPushButton(QStringLiteral("Stop"), parent);
    button->setObjectName(QStringLiteral("Stop"));
    button->setGeometry(place);
    button->setToolTip(QStringLiteral("Stop this work; nothing half-written is left behind. (Esc)"));
    button->raise();
    button->show();
    auto askStop = [&] {
        stopAsked = true;
        button->setEnabled(false);
        stop();
    };
    QObject::connect(button, &QPushButton::clicked, button, askStop);
    StopGuard guard(button, askStop);
    qApp->installEventFilter(&guard);

    QEventLoop loop;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    // The progress events the work queued last are handled before its result is reported.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

    qApp->removeEventFilter(&guard);
    delete button;
    for (const QPointer<QWidget> &window : guard.closing)
        if (window)
            QTimer::singleShot(0, window, &QWidget::close);
    if (failure && stopAsked)
        return WorkEnd::Stopped;
    if (failure)
        std::rethrow_exception(failure);
    return WorkEnd::Done;
}

} // namespace oz::platform
