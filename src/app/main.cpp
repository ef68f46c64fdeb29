// Orvel Zip: start-up.
#include "app/MainWindow.h"
#include "archive/ArchiveComponent.h"
#include "core/files/NewFile.h"
#include "extract/OpenArchive.h"
#include "platform/Log.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    oz::archive::pinTimeZone();
    oz::core::installCleanupOnSignals();
    oz::platform::installLogHandler();
    QApplication app(argc, argv); // all there is to initialising the common controls
    QApplication::setApplicationName(QStringLiteral("orvelzip"));
    QApplication::setOrganizationName(QStringLiteral("orvelzip"));
    QApplication::setApplicationVersion(QStringLiteral(OZ_VERSION));
    // "orvelzip ARCHIVE.zip", as a file manager starts it; options get their usage text.
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Orvel Zip: build, open and extract zip archives and self-extractors."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("archive"), QStringLiteral("A zip archive to open and list."),
                                 QStringLiteral("[ARCHIVE.zip]"));
    if (!parser.parse(QApplication::arguments())) {
        std::fprintf(stderr, "orvelzip: %s\n\n%s", qPrintable(parser.errorText()), qPrintable(parser.helpText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (parser.positionalArguments().size() > 1) {
        std::fprintf(stderr, "orvelzip: one archive at a time\n\n%s", qPrintable(parser.helpText()));
        return 2;
    }
    oz::app::MainWindow window;
    window.show();
    // The archive opens once the window is up, so that a password prompt comes over it.
    if (!parser.positionalArguments().isEmpty()) {
        const QString archive = QFileInfo(parser.positionalArguments().first()).absoluteFilePath();
        QTimer::singleShot(0, &window,
                           [&window, archive] { oz::extract::openArchiveFile(window.extractDesk(), archive); });
    }
    return app.exec();
}
