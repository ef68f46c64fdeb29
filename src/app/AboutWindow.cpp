#include "AboutWindow.h"

#include "widgets/Controls.h"
#include "platform/ProgramFolder.h"
#include "platform/Shell.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>

namespace oz::app {

using namespace oz::widgets;

AboutWindow::AboutWindow(QWidget *owner)
    : QWidget(owner, Qt::Window), picture_(platform::dataFile(QStringLiteral("about.png")))
{
    setObjectName(QStringLiteral("About"));
    setWindowTitle(QStringLiteral("About Orvel Zip"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(widgets::scaled(QSize(312, 164)));
    setFont(makeFont(QStringLiteral("Arial"), 14.25));
    const QString white = QStringLiteral("color: white; background: transparent;");

    Label1 = label(this, "Label1", QStringLiteral("Orvel Zip"), {32, 16, 249, 57});
    Label1->setFont(makeFont(QStringLiteral("Monotype Corsiva"), 36, false, true));
    Label3 = label(this, "Label3", QStringLiteral("Version : " OZ_VERSION), {32, 88, 145, 25});
    Label3->setFont(makeFont(QStringLiteral("Arial"), 9.75, true));
    Label5 = label(this, "Label5", QString::fromLatin1(shownAddress), {32, 120, 225, 25});
    Label5->setCursor(Qt::PointingHandCursor);
    Label5->installEventFilter(this);
    for (QLabel *l : {Label1, Label3, Label5})
        l->setStyleSheet(white);
    dialogKeys(this, nullptr, [this] { close(); });
}

void AboutWindow::Label5_Click()
{
    platform::openUrl(QUrl(QString::fromLatin1(webAddress)));
}

bool AboutWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Label5 && event->type() == QEvent::MouseButtonRelease) {
        Label5_Click();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void AboutWindow::paintEvent(QPaintEvent *)
{
    // Drawn unscaled from the top left: the picture is larger than the window.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(20, 40, 110));
    painter.drawPixmap(0, 0, picture_);
}

} // namespace oz::app
