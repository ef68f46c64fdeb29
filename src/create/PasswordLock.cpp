#include "PasswordLock.h"

#include "widgets/Controls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>

namespace oz::create {

namespace {

// A padlock drawn at run time: it needs neither a font with symbols nor a picture file.
QPixmap lockPicture()
{
    QPixmap picture(12, 15);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(80, 80, 80), 1.6));
    p.drawArc(QRectF(2.5, 1, 7, 10), 0, 180 * 16); // the shackle
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(196, 140, 16));
    p.drawRoundedRect(QRectF(0.5, 6.5, 11, 8), 1.5, 1.5);
    return picture;
}

} // namespace

QWidget *passwordLock(QWidget *parent, QLineEdit *password, QRect geometry)
{
    auto *lock = new QWidget(parent);
    lock->setObjectName(QStringLiteral("PasswordLock"));
    lock->setGeometry(widgets::scaled(geometry));
    lock->setToolTip(QStringLiteral("A password is set: every new Zip archive is encrypted with AES-256."));
    auto *row = new QHBoxLayout(lock);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    auto *picture = new QLabel(lock);
    picture->setPixmap(lockPicture());
    auto *kind = new QLabel(QStringLiteral("AES-256"), lock);
    kind->setObjectName(QStringLiteral("PasswordKind"));
    kind->setFont(widgets::makeFont(QStringLiteral("Arial"), 9, true));
    row->addWidget(picture);
    row->addWidget(kind);
    row->addStretch();
    auto show = [lock, password] { lock->setVisible(!password->text().isEmpty()); };
    QObject::connect(password, &QLineEdit::textChanged, lock, show);
    show();
    return lock;
}

} // namespace oz::create
