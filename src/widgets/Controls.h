// Small helpers that build controls the way the windows describe them:
// name, caption, tooltip, pixel geometry and font in one call.
#pragma once

#include <QAbstractItemView>
#include <QFont>
#include <QLineEdit>
#include <QRect>
#include <QString>

#include <functional>

class QWidget;
class QPushButton;
class QLabel;
class QGroupBox;
class QCheckBox;
class QListWidget;
class QProgressBar;

namespace oz::widgets {

// The windows' geometry is that of a 96 dpi desktop, and their fonts are sized in points, which
// grow with the desktop's logical dpi (120 with its larger text setting). Lengths grow with the
// fonts, so each window grows as a whole and every text keeps the room it had: the factor is the
// primary screen's logical dpi over 96, 1 on a 96 dpi desktop.
double scale();
int scaled(int length);
QRect scaled(const QRect &r);
QSize scaled(const QSize &s);

QFont makeFont(const QString &family, double points, bool bold = false, bool italic = false);

QPushButton *button(QWidget *parent, const char *name, const QString &caption, QRect geometry,
                    const QString &tooltip = {});
QLabel *label(QWidget *parent, const char *name, const QString &text, QRect geometry);
QLineEdit *textBox(QWidget *parent, const char *name, QRect geometry, bool readOnly = false,
                   const QString &tooltip = {});
QGroupBox *frame(QWidget *parent, const char *name, const QString &caption, QRect geometry);
QCheckBox *checkBox(QWidget *parent, const char *name, const QString &text, QRect geometry);
QListWidget *listBox(QWidget *parent, const char *name, QRect geometry, QAbstractItemView::SelectionMode mode);
// A bar from 0 to 100, at 0.
QProgressBar *progressBar(QWidget *parent, const char *name, QRect geometry);

// Calls the handler on every click on the list, on an entry or not.
void onListClick(QListWidget *list, std::function<void()> handler);

// The tooltip rule of the lists: the first selected entry's text becomes the
// tooltip; with none selected the tooltip keeps its text.
void showFirstSelectedAsTooltip(QListWidget *list);

// Shows a window without making it modal and brings it to the front; a window not shown yet
// opens centred on the window that owns it.
void present(QWidget *window);

// The keys of a dialog: Enter presses the button that has the focus, or else the default one;
// Escape calls cancel. Without a default button Enter is left alone.
void dialogKeys(QWidget *window, QPushButton *defaultButton, std::function<void()> cancel);

// Chains the widgets into the keyboard tab order, first to last.
void setTabChain(const std::vector<QWidget *> &widgets);

// A text box that holds one computed value: whatever changes its text, the
// text is set back to that value at once (counts, the working-folder path).
class PinnedField : public QLineEdit {
    Q_OBJECT
public:
    PinnedField(QWidget *parent, const char *name, QRect geometry, std::function<QString()> value);

    // Runs on every change of the text; sets it back to the value.
    void repin();

signals:
    void changed();

private:
    std::function<QString()> value_;
};

} // namespace oz::widgets
