#include "ZipBuild.h"

#include "widgets/Controls.h"
#include "archive/ArchiveComponent.h"
#include "create/OptionsWindow.h"
#include "create/Staging.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/Progress.h"
#include "platform/StagingFolder.h"
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

// The menu build stages the chosen folder's files before the target is known: when the target
// lies in that folder, its staged copy (same size and time) is its previous version and must not
// go into the new archive. A staged link to it is left out by the component itself.
void dropStagedTarget(const QString &zdir, const QString &staged, const QString &target)
{
    const QFileInfo t(target);
    if (zdir.isEmpty() || !t.isFile() || QDir(t.absolutePath()) != QDir(zdir))
        return;
    const QFileInfo copy(joined(staged, t.fileName()));
    if (copy.isFile() && copy.size() == t.size() && copy.lastModified() == t.lastModified())
        QFile::remove(copy.absoluteFilePath());
}

// The menu build stages the top level of the chosen folder too; with no folder chosen nothing,
// since "*.*" alone would take the files of the current folder. A file that cannot be staged
// ends the build, or the archive would be missing it while the build reported success.
bool stageFolderTop(const ZipDesk &w, const QString &zdir, platform::StagingFolder &staging)
{
    if (zdir.isEmpty())
        return true;
    for (const QFileInfo &file : QDir(zdir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        QString error;
        if (!staging.stage(file.absoluteFilePath(), file.fileName(), &error)) {
            notWritten(w, error);
            return false;
        }
    }
    return true;
}

// Checks that something is selected and stages the files the build adds from the staging
// folder; false when the build ends here (the user has been told why).
bool stage(const ZipDesk &w, bool button, const QString &zdir, platform::StagingFolder &staging)
{
    if (w.FileList->count() == 0 && zdir.isEmpty()) {
        platform::showMessage(w.window, QStringLiteral("File or folder not selected"), QStringLiteral("Warning"),
                              MsgIcon::None);
        return false;
    }
    if (button)
        platform::FileSystem::deleteFiles(joined(w.Text4->text(), QStringLiteral("*.*"))); // failures ignored
    // Where the folder's top files are stored under their bare names, a listed file of the
    // same name would silently replace one of them.
    const bool folderTopBare = !button || OptionsWindow::value(w.advance()->SaveFullFilenames) == 0;
    if (!stageListedFiles(w.window, w.selection.paths(), staging, folderTopBare ? zdir : QString()))
        return false;
    return button || stageFolderTop(w, zdir, staging);
}

// Writes the configured archive to target and reports the result in the status label and a
// message; a failed write is never shown as a success, and the old file stays.
void writeAndReport(const ZipDesk &w, ArchiveComponent &zip, const QString &target)
{
    zip.SetArchiveFileName(target);
    if (zip.GetEntryCount() == 0) {
        setStatus(w, QStringLiteral("Error, no files added to the Zip archive."));
        return;
    }

    platform::setProgress(w.ZipProgressBar, 0);
    zip.clearStop();
    try {
        // Stop stands in the free corner right of the bar.
        const auto end = platform::runStoppable(
            w.ZipProgressBar->parentWidget(), widgets::scaled(QRect(568, 34, 65, 25)), [&] { zip.SaveArchive(); },
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
        // A password set long ago encrypts every archive since: the message says so.
        const QString encrypted = w.pas1->text().isEmpty()
            ? QString()
            : QStringLiteral("\nIt is encrypted with AES-256: it opens only with the password.");
        platform::showMessage(w.window,
                              QStringLiteral("Success! Your new Zip archive is built in ") + target + u' ' + encrypted,
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
    // Whatever the build ends in, what it staged goes with it.
    platform::StagingFolder staging(w.Text4->text());
    const QString staged = staging.path();
    if (!stage(w, button, zdir, staging))
        return;

    // An object of the build's own: the archive opened for extraction stays the one the
    // extraction commands act on, whatever the build does.
    ArchiveComponent zip;
    QObject::connect(&zip, &ArchiveComponent::WriteZipPercentDone, w.ZipProgressBar,
                     [bar = w.ZipProgressBar](int percent) { platform::setProgress(bar, percent); });
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
            dropStagedTarget(zdir, staged, target);
            zip.AddFilesByPattern(staged, 0);
        }

        const QString password = w.pas1->text();
        zip.SetPasswordProtection(password.isEmpty() ? 0 : 1);
        zip.SetPassword(password);

        if (button) {
            archive::PatternList exclusions;
            exclusions.Add(options->ExclusionsText->text());
            zip.SetExclusionList(exclusions);
            addSelection(zip, zdir, haveFiles, options->FilePattern->text(), staged,
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
