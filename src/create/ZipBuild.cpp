#include "ZipBuild.h"

#include "widgets/Controls.h"
#include "archive/ArchiveComponent.h"
#include "create/OptionsWindow.h"
#include "create/Staging.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/ProgramFolder.h"
#include "platform/Progress.h"
#include "selection/FolderPicker.h"
#include "selection/SelectionList.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>

namespace oz::create {

using archive::ArchiveComponent;
using archive::ArchiveError;
using platform::MsgIcon;

namespace {

void setStatus(const ZipDesk &w, const QString &text)
{
    w.ZipStatus->setText(text);
    platform::logShownText(QStringLiteral("ZipStatus"), text);
}

void notWritten(const ZipDesk &w, const QString &reason)
{
    setStatus(w, QStringLiteral("Error, the Zip archive was not written."));
    platform::showMessage(w.window, QStringLiteral("The Zip archive could not be written: ") + reason,
                          QStringLiteral("Error"), MsgIcon::None);
}

// The menu build copies the chosen folder's files into the working folder before the target is
// known: when the target lies in that folder, its copy (same size and time) is its previous
// version and must not go into the new archive.
void dropStagedTarget(const QString &zdir, const QString &working, const QString &target)
{
    const QFileInfo t(target);
    if (zdir.isEmpty() || !t.isFile() || QDir(t.absolutePath()) != QDir(zdir))
        return;
    const QFileInfo staged(joined(working, t.fileName()));
    if (staged.isFile() && staged.size() == t.size() && staged.lastModified() == t.lastModified())
        QFile::remove(staged.absoluteFilePath());
}

// Checks that something is selected and stages the files the build copies into the working
// folder; false when the build ends here (the user has been told why).
bool stage(const ZipDesk &w, bool button, const QString &zdir, const QString &working)
{
    if (w.FileList->count() == 0 && zdir.isEmpty()) {
        platform::showMessage(w.window, QStringLiteral("File or folder not selected"), QStringLiteral("Warning"),
                              MsgIcon::None);
        return false;
    }

    if (button) {
        platform::FileSystem::deleteFiles(joined(platform::workingFolder(), QStringLiteral("*.*"))); // failures ignored
    } else if (!zdir.isEmpty()) {
        // The folder's top level; with no folder chosen nothing is copied,
        // since "*.*" alone would take the files of the current folder. A folder
        // without files is no failure; a file that cannot be copied is, or the
        // archive would be missing it while the build reported success.
        QString error;
        int matched = 0;
        if (!platform::FileSystem::copyFiles(zdir + QStringLiteral("*.*"), working, true, &error, &matched)
            && matched > 0) {
            notWritten(w, error);
            return false;
        }
    }
    return stageListedFiles(w.window, w.selection.paths(), working);
}

// Writes the configured archive to target and reports the result in the status label and a
// message; a failed write is never shown as a success, and the old file stays.
void writeAndReport(const ZipDesk &w, ArchiveComponent &zip, const QString &target)
{
    zip.SetArchiveFileName(target);
    if (zip.GetEntryCount() == 0) {
        setStatus(w, QStringLiteral("Error, no files added to the Zip archive."));
        w.ZipFile.reset();
        return;
    }

    platform::setProgress(w.ZipProgressBar, 0);
    zip.clearStop();
    try {
        // Stop stands in the free corner right of the bar.
        const auto end = platform::runStoppable(
            w.ZipProgressBar->parentWidget(), {568, 34, 65, 25}, [&] { zip.SaveArchive(); },
            [&] { zip.requestStop(); });
        if (end == platform::WorkEnd::Stopped) {
            // The writer left no partial archive; the staged copies go too.
            platform::FileSystem::deleteFiles(joined(w.Text4->text(), QStringLiteral("*.*")));
            setStatus(w, QStringLiteral("Stopped"));
            return;
        }
    } catch (const ArchiveError &e) {
        // A failed write is never shown as a success; the old file stays.
        notWritten(w, e.reason());
        return;
    }

    // One blank where a sign would stand, as a number printed for people.
    setStatus(
        w, QStringLiteral("Success. ") + u' ' + QString::number(zip.GetEntryCount()) + QStringLiteral(" files zipped"));
    if (platform::FileSystem::fileExists(target)) {
        platform::showMessage(w.window, QStringLiteral("Success! Your new Zip archive is built in ") + target + u' ',
                              QStringLiteral("Orvel Zip"), MsgIcon::None);
    }
}

} // namespace

void buildZip(const ZipDesk &w, BuildFrom from)
{
    const bool button = from == BuildFrom::Button;
    if (button)
        setStatus(w, QString());

    const QString zdir = w.zdir->text();
    const bool haveFiles = w.FileList->count() > 0;
    const QString working = w.Text4->text();
    if (!stage(w, button, zdir, working))
        return;

    w.newZipFile();
    ArchiveComponent &zip = *w.ZipFile;
    platform::CommonDialog &dialog = w.zipDialog1;
    try {
        zip.StartNewArchive(dialog.FileName);

        dialog.Flags = platform::DialogFlags::OverwritePrompt;
        dialog.InitDir = QString();
        dialog.Filter = QStringLiteral(".zip File only (*.zip)|*.zip");
        if (!dialog.ShowSave(w.window))
            return;
        const QString target = dialog.FileName;

        OptionsWindow *options = w.advance();
        if (!button) {
            dropStagedTarget(zdir, working, target);
            zip.AddFilesByPattern(working, 0);
        }

        const QString password = w.pas1->text();
        zip.SetPasswordProtection(password.isEmpty() ? 0 : 1);
        zip.SetPassword(password);

        if (button) {
            archive::PatternList exclusions;
            exclusions.Add(options->ExclusionsText->text());
            zip.SetExclusionList(exclusions);
            addSelection(zip, zdir, haveFiles, options->FilePattern->text(), working,
                         OptionsWindow::value(options->Recurse), *options);
        }

        writeAndReport(w, zip, target);
    } catch (const ArchiveError &e) {
        // From the archive's start on, a failure ends the build; the user is told why, as for
        // a selected file that cannot be read (an unreadable sub-folder, a folder gone).
        qCInfo(lcUi).noquote() << "zip build ended:" << e.reason();
        platform::showMessage(w.window, e.reason(), QStringLiteral("Warning"), MsgIcon::Exclamation);
    }
}

} // namespace oz::create
