#include "widgets/Controls.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>

namespace oz::widgets {

double scale()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->logicalDotsPerInchY() / 96.0 : 1.0;
}

int scaled(int length)
{
    return qRound(length * scale());
}

QRect scaled(const QRect &r)
{
    // Both edges scaled, so neighbours that touched still touch.
    const int left = scaled(r.x()), top = scaled(r.y());
    return {left, top, scaled(r.x() + r.width()) - left, scaled(r.y() + r.height()) - top};
}

QSize scaled(const QSize &s)
{
    return {scaled(s.width()), scaled(s.height())};
}

QFont makeFont(const QString &family, double points, bool bold, bool italic)
{
    QFont f(family);
    f.setPointSizeF(points);
    f.setBold(bold);
    f.setItalic(italic);
    return f;
}

QPushButton *button(QWidget *parent, const char *name, const QString &caption, QRect geometry, const QString &tooltip)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(scaled(geometry));
    if (!tooltip.isEmpty())
        b->setToolTip(tooltip);
    b->setAutoDefault(false);
    return b;
}

QLabel *label(QWidget *parent, const char *name, const QString &text, QRect geometry)
{
    auto *l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(scaled(geometry));
    l->setAttribute(Qt::WA_TranslucentBackground);
    return l;
}

QLineEdit *textBox(QWidget *parent, const char *name, QRect geometry, bool readOnly, const QString &tooltip)
{
    auto *t = new QLineEdit(parent);
    t->setObjectName(QString::fromLatin1(name));
    t->setGeometry(scaled(geometry));
    t->setReadOnly(readOnly);
    if (!tooltip.isEmpty())
        t->setToolTip(tooltip);
    return t;
}

QGroupBox *frame(QWidget *parent, const char *name, const QString &caption, QRect geometry)
{
    auto *g = new QGroupBox(caption, parent);
    g->setObjectName(QString::fromLatin1(name));
    g->setGeometry(scaled(geometry));
    g->lower();
    return g;
}

QCheckBox *checkBox(QWidget *parent, const char *name, const QString &text, QRect geometry)
{
    auto *c = new QCheckBox(text, parent);
    c->setObjectName(QString::fromLatin1(name));
    c->setGeometry(scaled(geometry));
    return c;
}

QListWidget *listBox(QWidget *parent, const char *name, QRect geometry, QAbstractItemView::SelectionMode mode)
{
    auto *l = new QListWidget(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(scaled(geometry));
    l->setSelectionMode(mode);
    return l;
}

QProgressBar *progressBar(QWidget *parent, const char *name, QRect geometry)
{
    auto *b = new QProgressBar(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(scaled(geometry));
    b->setRange(0, 100);
    b->setValue(0);
    b->setTextVisible(false);
    return b;
}

namespace {
class ClickWatcher : public QObject {
public:
    ClickWatcher(QObject *parent, std::function<void()> handler) : QObject(parent), handler_(std::move(handler)) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonRelease)
            handler_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> handler_;
};
} // namespace

void onListClick(QListWidget *list, std::function<void()> handler)
{
    list->viewport()->installEventFilter(new ClickWatcher(list, std::move(handler)));
}

void showFirstSelectedAsTooltip(QListWidget *list)
{
    for (int i = 0; i <= list->count() - 1; ++i) {
        if (list->item(i)->isSelected()) {
            list->setToolTip(list->item(i)->text());
            return;
        }
    }
}

void setTabChain(const std::vector<QWidget *> &widgets)
{
    for (std::size_t i = 1; i < widgets.size(); ++i)
        QWidget::setTabOrder(widgets[i - 1], widgets[i]);
}

PinnedField::PinnedField(QWidget *parent, const char *name, QRect geometry, std::function<QString()> value)
    : QLineEdit(parent), value_(std::move(value))
{
    setObjectName(QString::fromLatin1(name));
    setGeometry(scaled(geometry));
    connect(this, &QLineEdit::textChanged, this, [this] { emit changed(); });
}

void PinnedField::repin()
{
    const QString wanted = value_();
    if (text() != wanted) {
        // Setting the same text again causes no further change.
        QSignalBlocker block(this);
        setText(wanted);
    }
}

void present(QWidget *window)
{
    QWidget *owner = window->parentWidget() ? window->parentWidget()->window() : nullptr;
    if (!window->isVisible() && owner && owner->isVisible()) {
        const QRect frame = window->frameGeometry();
        const QPoint inside = window->geometry().topLeft() - frame.topLeft();
        window->move(owner->frameGeometry().center() - QPoint(frame.width() / 2, frame.height() / 2) + inside);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void dialogKeys(QWidget *window, QPushButton *defaultButton, std::function<void()> cancel)
{
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        if (!defaultButton)
            break;
        defaultButton->setDefault(true);
        auto *enter = new QShortcut(QKeySequence(key), window);
        QObject::connect(enter, &QShortcut::activated, window, [window, defaultButton] {
            auto *focused = qobject_cast<QPushButton *>(window->focusWidget());
            (focused && focused->isVisible() ? focused : defaultButton)->click();
        });
    }
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    QObject::connect(escape, &QShortcut::activated, window, std::move(cancel));
}

} // namespace oz::widgets
