#include "Extraction.h"

#include "archive/ArchiveComponent.h"
#include "archive/PathRules.h"
#include "platform/FileSystem.h"
#include "platform/MessageBox.h"
#include "platform/Progress.h"
#include "selection/FolderPicker.h"

#include <QLineEdit>
#include <QProgressBar>

namespace oz::extract {

using platform::MsgIcon;

namespace {

const QString warning = QStringLiteral("Warning");

void say(const ExtractDesk &w, const QString &text, const QString &title, MsgIcon icon)
{
    platform::showMessage(w.window, text, title, icon);
}

bool noArchive(const ExtractDesk &w, const QString &text)
{
    if (w.ZipFile)
        return false;
    say(w, text, warning, MsgIcon::Information);
    return true;
}

enum class Extracted { Done, Failed, Stopped };

// Extracts ZipFile into the folder while the windows stay live and Stop can end it; a stopped
// extraction has been reported here ("Stopped") and leaves no half-written file.
Extracted extractInto(const ExtractDesk &w, const QString &folder)
{
    platform::setProgress(w.ProgressBar1, 0);
    archive::ArchiveComponent &zip = *w.ZipFile;
    zip.clearStop();
    try {
        // Stop stands right of the destination, in the free corner above Exit.
        const auto end = platform::runStoppable(
            w.ProgressBar1->parentWidget(), {568, 423, 65, 25}, [&] { zip.ExtractToFolder(folder); },
            [&] { zip.requestStop(); });
        if (end == platform::WorkEnd::Done)
            return Extracted::Done;
        say(w, QStringLiteral("Stopped"), QStringLiteral("Orvel Zip"), MsgIcon::Information);
        return Extracted::Stopped;
    } catch (const archive::ArchiveError &) {
        return Extracted::Failed;
    }
}

// The component refuses an empty folder; the message then says so rather than blaming the
// archive or its password.
QString failureText(const QString &folder, const QString &usual, const QString &noFolder)
{
    return folder.isEmpty() ? noFolder : usual;
}

void extractNextToArchive(const ExtractDesk &w, const QString &failure)
{
    if (noArchive(w, QStringLiteral("Error, no zip archive has been opened    ")))
        return;
    const QString destination = destinationNextTo(w.mp3text->text());
    const Extracted result = extractInto(w, destination);
    if (result == Extracted::Stopped)
        return;
    if (result == Extracted::Failed) {
        say(w,
            failureText(
                destination, failure,
                QStringLiteral(
                    "No folder to unzip to: the Zip archive's path was removed. Select the Zip File again.    ")),
            warning, MsgIcon::Information);
        return;
    }
    if (platform::FileSystem::folderExists(destination))
        say(w, QStringLiteral("Success! Files are unzipped in ") + destination + u' ', QStringLiteral("Orvel Zip"),
            MsgIcon::None);
}

} // namespace

QString destinationNextTo(const QString &archive)
{
    return archive::folderNamedAfter(archive);
}

void Command2_Click(const ExtractDesk &w)
{
    const auto folder = w.folders.pick();
    if (!folder)
        return;
    w.DestDir->setText(w.folders.gFolderPath);
    if (noArchive(w, QStringLiteral("Error, no zip archive has been opened    ")))
        return;
    const Extracted result = extractInto(w, w.DestDir->text());
    if (result == Extracted::Stopped)
        return;
    if (result == Extracted::Failed) {
        say(w, QStringLiteral("Failed to open zip archive or you need to set password to unzip it.    "), warning,
            MsgIcon::Information);
        return;
    }
    say(w, QStringLiteral("Success! Your Zip archive unzipped to ") + w.DestDir->text() + QStringLiteral("     "),
        QStringLiteral("Orvel Zip"), MsgIcon::None);
}

void Command5_Click(const ExtractDesk &w)
{
    extractNextToArchive(
        w, QStringLiteral("Failed to open Non English zip archive or you need to set password to unzip it.    "));
}

void mnuBr13_Click(const ExtractDesk &w)
{
    extractNextToArchive(w, QStringLiteral("Failed to open zip archive    "));
}

void mnuUnzip_Click(const ExtractDesk &w)
{
    if (noArchive(w, QStringLiteral("Error, no Zip archive has been opened    ")))
        return;
    const QString log = QStringLiteral("log.xml");
    auto writeLog = [&] {
        try {
            w.ZipFile->WriteLogFile(log);
        } catch (const archive::ArchiveError &) {
            // The log is a record for later; extraction's result stands without it.
        }
    };
    const Extracted result = extractInto(w, w.DestDir->text());
    if (result == Extracted::Stopped) {
        writeLog();
        return;
    }
    if (result == Extracted::Failed) {
        writeLog();
        say(w,
            failureText(w.DestDir->text(), QStringLiteral("Failed to Open Zip Archive    "),
                        QStringLiteral("No folder to unzip to: choose one with \"Unzip to folder\" first.    ")),
            warning, MsgIcon::Information);
        return;
    }
    say(w, QStringLiteral("Success! Your Zip archive unzipped to ") + w.DestDir->text() + u' ',
        QStringLiteral("Orvel Zip"), MsgIcon::None);
    writeLog();
}

void DestDir_Change(const ExtractDesk &w)
{
    const QString folder = w.DestDir->text();
    if (!folder.isEmpty() && !platform::FileSystem::folderExists(folder))
        platform::FileSystem::createFolder(folder); // extraction makes any missing parents itself
}

} // namespace oz::extract
