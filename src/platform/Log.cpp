#include "Log.h"

#include <QFile>
#include <QMutex>
#include <QTextStream>

#include <cstdio>

Q_LOGGING_CATEGORY(lcUi, "orvelzip.ui")

namespace oz::platform {

namespace {
QtMessageHandler previousHandler = nullptr;

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static QMutex mutex;
    const QString line
        = QStringLiteral("%1: %2\n").arg(QString::fromLatin1(context.category ? context.category : "default"), message);
    QMutexLocker lock(&mutex);
    std::fputs(line.toLocal8Bit().constData(), stderr);
    static const QString path = qEnvironmentVariable("ORVELZIP_LOG_FILE");
    if (!path.isEmpty()) {
        QFile file(path);
        if (file.open(QIODevice::Append | QIODevice::Text))
            file.write(line.toUtf8());
    }
    if (type == QtFatalMsg && previousHandler)
        previousHandler(type, context, message);
}
} // namespace

void installLogHandler()
{
    previousHandler = qInstallMessageHandler(handler);
}

void logShownText(const QString &control, const QString &text)
{
    qCInfo(lcUi).noquote() << "text" << control << QStringLiteral("\"%1\"").arg(text);
}

} // namespace oz::platform
