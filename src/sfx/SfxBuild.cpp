#include "SfxBuild.h"

#include "widgets/Controls.h"
#include "archive/ArchiveComponent.h"
#include "create/OptionsWindow.h"
#include "create/Staging.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/ProgramFolder.h"
#include "platform/StagingFolder.h"
#include "platform/Progress.h"
#include "selection/SelectionList.h"
#include "sfx/SfxWindow.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QListWidget>

namespace oz::sfx {

using archive::ArchiveComponent;
using archive::ArchiveError;
using create::OptionsWindow;
using platform::MsgIcon;

namespace {

void notBuilt(SfxWindow &w, const QString &reason, const QString &what = QStringLiteral("SFX .exe file"))
{
    platform::showMessage(&w, QStringLiteral("The ") + what + QStringLiteral(" could not be built: ") + reason,
                          QStringLiteral("Error"), MsgIcon::None);
}

// The icon is optional: the default one missing from the program's data builds an executable
// without an icon, and the log says so. An icon the user chose must be there.
QString usableIcon(const QString &icon)
{
    if (icon == platform::defaultIconPath() && !platform::FileSystem::fileExists(icon)) {
        qCInfo(lcUi).noquote() << "no icon: the default icon" << icon << "is missing";
        return QString();
    }
    return icon;
}

// The settings of the executable: model 2 runs a program of the archive after extraction.
void setExecutable(ArchiveComponent &zip, SfxWindow &w, bool two, OptionsWindow *own)
{
    if (two) {
        const int autoTemp = OptionsWindow::value(own->autotemp);
        zip.SetExeAutoTemp(autoTemp);
        zip.SetExeRunParameters(own->parameter->text());
        zip.SetExeAutoExtract(OptionsWindow::value(own->autotemp));
        zip.SetExeIconFile(usableIcon(w.iconlist->text()));
        zip.SetExeRunProgram(w.mp3text->text());
    } else {
        zip.SetExeAutoTemp(0);
        zip.SetExeRunParameters(QString());
        zip.SetExeAutoExtract(0);
        zip.SetExeIconFile(usableIcon(w.iconlist->text()));
        zip.SetExeRunProgram(QString());
    }
    zip.setExeVersionInfo(own->product->text(), own->version->text(), own->company->text());
    zip.setExeSigning(own->signcert->text(), own->signkey->text(), own->signpass->text(), own->timestamp->text());
}

// What the user calls the file made: "SFX .run file" for a .run, "SFX .exe file" for a .exe.
QString madeName(const QString &target)
{
    const QString suffix = QFileInfo(target).suffix();
    return suffix.isEmpty() ? QStringLiteral("SFX file") : QStringLiteral("SFX .") + suffix + QStringLiteral(" file");
}

// Writes the executable off the window's thread: a bar follows the write beside Stop, both
// there only while it runs.
platform::WorkEnd writeStoppable(ArchiveComponent &zip, SfxWindow &w, const QString &target)
{
    QProgressBar bar(&w);
    bar.setObjectName(QStringLiteral("SfxProgressBar"));
    bar.setRange(0, 100);
    bar.setTextVisible(false);
    bar.setGeometry(widgets::scaled(QRect(24, 452, 409, 17)));
    bar.show();
    QObject::connect(&zip, &ArchiveComponent::WriteZipPercentDone, &bar, &QProgressBar::setValue);
    zip.clearStop();
    int written = 0;
    return platform::runStoppable(
        &w, widgets::scaled(QRect(448, 448, 73, 25)), [&] { zip.WriteSelfExtractingExe(target, written); },
        [&] { zip.requestStop(); });
}

// The filter chosen last, for the program's life: who builds Linux programs builds them again.
int chosenFilter = 1;

// Asks for the target and writes the executable there; the name decides the program.
void saveExecutable(ArchiveComponent &zip, SfxWindow &w)
{
    platform::CommonDialog &dialog = w.SaveDialog;
    dialog.Flags = platform::DialogFlags::OverwritePrompt;
    dialog.InitDir = QString();
    // The name decides the program: ".exe" a Windows one, anything else a Linux one.
    dialog.Filter = QStringLiteral(".exe only (*.exe)|*.exe|Linux program (*.run)|*.run");
    dialog.FilterIndex = chosenFilter;
    if (!dialog.ShowSave(&w))
        return;
    chosenFilter = dialog.FilterIndex;
    const QString target = dialog.FileName;
    try {
        if (writeStoppable(zip, w, target) == platform::WorkEnd::Stopped) {
            platform::FileSystem::deleteFiles(create::joined(w.Text4->text(), QStringLiteral("*.*")));
            platform::showMessage(&w, QStringLiteral("Stopped"), QStringLiteral("Orvel Album"), MsgIcon::Information);
            return;
        }
    } catch (const ArchiveError &e) {
        // Judged by the write itself, not by a file at the path: an older
        // file there says nothing about this build.
        notBuilt(w, e.reason(), madeName(target));
        return;
    }
    if (platform::FileSystem::fileExists(target)) {
        platform::showMessage(&w,
                              QStringLiteral("Success! Your new ") + madeName(target) + QStringLiteral(" is built in ")
                                  + target + u' ',
                              QStringLiteral("Orvel Album"), MsgIcon::None);
    }
}

} // namespace

void buildSfx(SfxWindow &w, Model model)
{
    const bool two = model == Model::Two;
    ArchiveComponent zip;
    platform::FileSystem::deleteFiles(
        create::joined(platform::workingFolder(), QStringLiteral("*.*"))); // failures ignored

    const QString zdir = w.zdir->text();
    const bool haveFiles = w.FileList->count() > 0;
    if (!haveFiles && zdir.isEmpty()) {
        platform::showMessage(&w, QStringLiteral("Folders or files not selected!    "), QStringLiteral("Warning"),
                              MsgIcon::Information);
        return;
    }
    if (two && w.mp3text->text().isEmpty()) {
        platform::showMessage(&w, QStringLiteral(" You must select an .exe file in SFX Model 2!    "),
                              QStringLiteral("Warning"), MsgIcon::Information);
        return;
    }

    OptionsWindow *own = two ? w.desk().advances2() : w.desk().advances1();
    // What the build stages goes when it ends, whatever the end.
    platform::StagingFolder staging(w.Text4->text());
    const QString working = staging.path();
    const bool folderTopBare = OptionsWindow::value(own->SaveFullFilenames) == 0;
    if (!create::stageListedFiles(&w, w.selection().paths(), staging, folderTopBare ? zdir : QString()))
        return;

    const QString password = two ? w.pas2->text() : w.pas1->text();
    try {
        setExecutable(zip, w, two, own);
        zip.StartNewArchive(QStringLiteral("notUsed.zip"));
        zip.SetEncryption(password.isEmpty() ? 0 : 1);
        zip.SetEncryptionKeyLength(256);
        zip.SetPassword(password);
        archive::PatternList exclusions;
        exclusions.Add(own->ExclusionsText->text());
        zip.SetExclusionList(exclusions);

        create::addSelection(zip, zdir, haveFiles, own->FilePattern->text(), working, 1, *own);
    } catch (const ArchiveError &e) {
        notBuilt(w, e.reason());
        return;
    }

    saveExecutable(zip, w);
}

} // namespace oz::sfx
