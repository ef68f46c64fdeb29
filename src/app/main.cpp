// Orvel Zip: start-up.
#include "app/MainWindow.h"
#include "archive/ArchiveComponent.h"
#include "core/NewFile.h"
#include "extract/OpenArchive.h"
#include "platform/Log.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>

int main(int argc, char **argv)
{
    oz::archive::pinTimeZone();
    oz::core::installCleanupOnSignals();
    oz::platform::installLogHandler();
    QApplication app(argc, argv); // all there is to initialising the common controls
    QApplication::setApplicationName(QStringLiteral("orvelzip"));
    QApplication::setOrganizationName(QStringLiteral("orvelzip"));
    oz::app::MainWindow window;
    window.show();
    // "orvelzip ARCHIVE.zip", as a file manager starts it: open that archive
    // once the window is up, so a password prompt comes over it.
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() > 1) {
        const QString archive = QFileInfo(arguments.at(1)).absoluteFilePath();
        QTimer::singleShot(0, &window, [&window, archive] { oz::extract::openArchiveFile(window, archive); });
    }
    return app.exec();
}
