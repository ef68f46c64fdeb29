#include "OpenArchive.h"

#include "widgets/Controls.h"
#include "archive/ArchiveComponent.h"
#include "extract/PasswordPrompt.h"
#include "platform/CommonDialog.h"
#include "platform/MessageBox.h"
#include "platform/ViewingFolder.h"

#include <QLineEdit>
#include <QListWidget>

namespace oz::extract {

namespace {
bool chooseArchive(const ExtractDesk &w, const QString &title)
{
    platform::CommonDialog &d = w.Mp3Dialog;
    d.CancelError = true;
    d.Filter = QStringLiteral("zip Files (*.zip)|*.zip");
    d.FileName = QString();
    d.InitDir = QString();
    d.Flags = platform::DialogFlags::HideReadOnly | platform::DialogFlags::FileMustExist
        | platform::DialogFlags::Explorer | platform::DialogFlags::LongNames;
    d.MaxFileSize = 5200;
    d.DialogTitle = title;
    return d.ShowOpen(w.window);
}
} // namespace

void listEntries(const ExtractDesk &w, archive::ArchiveComponent &zip)
{
    w.List1->clear();
    archive::EntrySet set = zip.GetEntries();
    while (set.HasMoreEntries())
        w.List1->addItem(set.GetNextEntry().GetEntryName());
    w.Text6->setText(QString::number(w.List1->count()));
}

void Mp3_Click(const ExtractDesk &w)
{
    if (!chooseArchive(w, QStringLiteral("Select an Zip File ")))
        return;
    openArchiveFile(w, w.Mp3Dialog.FileName);
}

void openArchiveFile(const ExtractDesk &w, const QString &path)
{
    // The archive last chosen, also when it came from the command line: the password prompt
    // reopens it.
    w.Mp3Dialog.FileName = path;
    w.viewing.reset(); // the archive listed before is closed, and what was opened from it goes
    w.mp3text->setText(path);
    w.pas2->setText(QString());
    w.newZipFile();
    w.ZipFile->SetPassword(w.pas2->text());
    try {
        w.ZipFile->OpenZip(path);
    } catch (const archive::ArchiveError &e) {
        // The prompt is for an archive that wants a password; a file that is missing, no
        // archive or damaged gets its reason instead, naming it.
        if (e.kind() == archive::ArchiveError::Kind::Password)
            w.askPassword();
        else
            platform::showMessage(w.window, e.reason(), QStringLiteral("Warning"), platform::MsgIcon::Exclamation);
    }
    listEntries(w, *w.ZipFile);
}

void mnuSZF_Click(const ExtractDesk &w)
{
    if (chooseArchive(w, QStringLiteral("Select an Zip File for Orvel Zip")))
        w.mp3text->setText(w.Mp3Dialog.FileName);
}

void delmp3_Click(const ExtractDesk &w)
{
    w.mp3text->setText(QString());
    w.List1->clear();
    w.viewing.reset();
}

} // namespace oz::extract
