#include "Extraction.h"

#include "widgets/Controls.h"

#include "archive/ArchiveComponent.h"
#include "archive/PathRules.h"
#include "platform/FileSystem.h"
#include "platform/MessageBox.h"
#include "platform/Progress.h"
#include "platform/ReplaceQuestion.h"
#include "platform/Shell.h"
#include "platform/ViewingFolder.h"
#include "selection/FolderPicker.h"

#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QThread>

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

// Each file that is there already is asked about before anything is written.
archive::ReplaceAnswer askAbout(const ExtractDesk &w, const archive::ExistingFile &f)
{
    const platform::ReplaceChoice c
        = platform::askReplace(w.window, {f.path, f.size, f.modified, f.newSize, f.newModified});
    switch (c) {
    case platform::ReplaceChoice::Replace: return archive::ReplaceAnswer::Replace;
    case platform::ReplaceChoice::ReplaceAll: return archive::ReplaceAnswer::ReplaceAll;
    case platform::ReplaceChoice::Keep: return archive::ReplaceAnswer::Keep;
    case platform::ReplaceChoice::KeepAll: return archive::ReplaceAnswer::KeepAll;
    case platform::ReplaceChoice::Stop: break;
    }
    return archive::ReplaceAnswer::Stop;
}

// The question belongs to the window's thread: the extraction, which runs on its own thread,
// waits there for the answer.
archive::ReplaceAnswer askOnWindowThread(const ExtractDesk &w, const archive::ExistingFile &f)
{
    if (QThread::currentThread() == w.window->thread())
        return askAbout(w, f);
    archive::ReplaceAnswer answer = archive::ReplaceAnswer::Stop;
    QMetaObject::invokeMethod(
        w.window, [&] { answer = askAbout(w, f); }, Qt::BlockingQueuedConnection);
    return answer;
}

// How an extraction ended: done, stopped by the user's answer, or failed with the component's
// reason. One stopped with Stop has been reported already.
struct Outcome {
    enum { Done, Stopped, StoppedMidway, Failed } result = Done;
    QString reason;
};

// Runs an extraction of ZipFile while the windows stay live and Stop can end it, asking before
// a file that is there is replaced. A stop leaves no half-written file.
Outcome extractWith(const ExtractDesk &w, const std::function<void(archive::ArchiveComponent &)> &work)
{
    platform::setProgress(w.ProgressBar1, 0);
    archive::ArchiveComponent &zip = *w.ZipFile;
    zip.setReplaceQuestion([&w](const archive::ExistingFile &f) { return askOnWindowThread(w, f); });
    zip.clearStop();
    try {
        // Stop stands right of the destination, in the free corner above Exit.
        const auto end = platform::runStoppable(
            w.ProgressBar1->parentWidget(), widgets::scaled(QRect(568, 423, 65, 25)), [&] { work(zip); },
            [&] { zip.requestStop(); });
        if (end == platform::WorkEnd::Done)
            return {};
        say(w, QStringLiteral("Stopped"), QStringLiteral("Orvel Zip"), MsgIcon::Information);
        return {Outcome::StoppedMidway, {}};
    } catch (const archive::ArchiveError &e) {
        if (e.kind() == archive::ArchiveError::Kind::Stopped)
            return {Outcome::Stopped, e.reason()};
        return {Outcome::Failed, e.reason()};
    }
}

Outcome extractInto(const ExtractDesk &w, const QString &folder)
{
    return extractWith(w, [&folder](archive::ArchiveComponent &zip) { zip.ExtractToFolder(folder); });
}

// A failure shows the command's message with the reason the component gave on a line of its own
// (the method it cannot read, the unsafe name, the folder it cannot write); a stop says that
// nothing changed. True when the extraction succeeded.
bool reported(const ExtractDesk &w, const Outcome &o, const QString &failure)
{
    if (o.result == Outcome::Done)
        return true;
    if (o.result == Outcome::StoppedMidway)
        return false;
    if (o.result == Outcome::Stopped)
        say(w, QStringLiteral("Stopped: nothing was unzipped, and every file that was there is as it was.    "),
            QStringLiteral("Orvel Zip"), MsgIcon::Information);
    else
        say(w, failure + u'\n' + o.reason, warning, MsgIcon::Information);
    return false;
}

void extractNextToArchive(const ExtractDesk &w, const QString &failure)
{
    if (noArchive(w, QStringLiteral("Error, no zip archive has been opened    ")))
        return;
    const QString destination = destinationNextTo(w.mp3text->text());
    if (destination.isEmpty()) {
        say(w,
            QStringLiteral("No folder to unzip to: the Zip archive's path was removed. Select the Zip File again.    "),
            warning, MsgIcon::Information);
        return;
    }
    if (!reported(w, extractInto(w, destination), failure))
        return;
    if (platform::FileSystem::folderExists(destination))
        say(w, QStringLiteral("Success! Files are unzipped in ") + destination + u' ', QStringLiteral("Orvel Zip"),
            MsgIcon::None);
}

bool isFolderEntry(archive::ArchiveComponent &zip, int row)
{
    archive::EntrySet set = zip.GetEntries();
    archive::ArchiveEntry entry;
    for (int i = 0; i <= row && set.HasMoreEntries(); ++i)
        entry = set.GetNextEntry();
    return entry.isFolder();
}

} // namespace

QString destinationNextTo(const QString &archive)
{
    return archive::folderNamedAfter(archive);
}

void Command2_Click(const ExtractDesk &w)
{
    // A folder name typed into the picker is the destination, made when missing.
    const auto folder = w.folders.pickDestination();
    if (!folder)
        return;
    w.DestDir->setText(w.folders.gFolderPath);
    if (noArchive(w, QStringLiteral("Error, no zip archive has been opened    ")))
        return;
    if (!reported(w, extractInto(w, w.DestDir->text()),
                  QStringLiteral("Failed to open zip archive or you need to set password to unzip it.    ")))
        return;
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
    const QString folder = w.DestDir->text();
    const Outcome outcome = extractInto(w, folder); // the log records an empty folder's refusal too
    if (folder.isEmpty() || outcome.result != Outcome::Done) {
        writeLog();
        if (folder.isEmpty())
            say(w, QStringLiteral("No folder to unzip to: choose one with \"Unzip to folder\" first.    "), warning,
                MsgIcon::Information);
        else
            reported(w, outcome, QStringLiteral("Failed to Open Zip Archive    "));
        return;
    }
    say(w, QStringLiteral("Success! Your Zip archive unzipped to ") + folder + u' ', QStringLiteral("Orvel Zip"),
        MsgIcon::None);
    writeLog();
}

void List1_DblClick(const ExtractDesk &w, int row)
{
    const QListWidgetItem *item = w.List1->item(row);
    if (!item || !w.ZipFile || !w.ZipFile->isOpen())
        return; // nothing listed there, or nothing opened to take it from
    const QString name = item->text();
    if (isFolderEntry(*w.ZipFile, row))
        return; // a folder has nothing to show by itself: it opens nothing
    const QString failure = QStringLiteral("Failed to open ") + name + QStringLiteral(" from the Zip archive.    ");
    if (!w.viewing)
        w.viewing = std::make_unique<platform::ViewingFolder>();
    const QString place = w.viewing->newPlace();
    if (place.isEmpty()) {
        say(w, failure + u'\n' + w.viewing->error(), warning, MsgIcon::Information);
        return;
    }
    QString path;
    const Outcome outcome
        = extractWith(w, [&](archive::ArchiveComponent &zip) { path = zip.ExtractEntry(row, name, place); });
    if (!reported(w, outcome, failure))
        return;
    if (!platform::openFile(path))
        say(w, failure + QStringLiteral("\nNo application is set to open files of its type."), warning,
            MsgIcon::Information);
}

void DestDir_Change(const ExtractDesk &w)
{
    const QString folder = w.DestDir->text();
    if (!folder.isEmpty() && !platform::FileSystem::folderExists(folder))
        platform::FileSystem::createFolder(folder); // extraction makes any missing parents itself
}

} // namespace oz::extract
