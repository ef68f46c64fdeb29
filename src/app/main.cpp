// Orvel Zip: start-up.
#include "app/MainWindow.h"
#include "platform/Log.h"

#include <QApplication>

int main(int argc, char **argv)
{
    oz::platform::installLogHandler();
    QApplication app(argc, argv); // all there is to initialising the common controls
    QApplication::setApplicationName(QStringLiteral("orvelzip"));
    QApplication::setOrganizationName(QStringLiteral("orvelzip"));
    oz::app::MainWindow window;
    window.show();
    return app.exec();
}
