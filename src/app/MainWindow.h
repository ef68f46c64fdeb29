// frmMain: the main window with its complete control inventory and menus.
#pragma once

#include "platform/CommonDialog.h"
#include "selection/FolderPicker.h"

#include <QMainWindow>
#include <QPointer>

#include <memory>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace oz::archive {
class ArchiveComponent;
}
namespace oz::create {
struct ZipDesk;
}
namespace oz::extract {
struct ExtractDesk;
}
namespace oz::platform {
class ViewingFolder;
}
namespace oz::selection {
class SelectionList;
}

namespace oz::widgets {
class PinnedField;
}

namespace oz::app {

class WindowRegistry;
using widgets::PinnedField;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    WindowRegistry &windows() { return *windows_; }
    selection::SelectionList &selection() { return *selection_; }
    selection::FolderPicker &folders() { return folders_; }

    // Replaces ZipFile with a new component object, its events connected.
    void newZipFile();
    // Opens ZipFile again with a password that opened the archive elsewhere.
    void reopenZipFile(const QString &path, const QString &password);

    // The window as the zip build and the extraction rooms meet it.
    create::ZipDesk zipDesk();
    const extract::ExtractDesk &extractDesk() const { return *extractDesk_; }

    // Writes a confirmed SFX password into the SFX window, when it exists.
    void setSfxPassword(int model, const QString &password);

    // Controls, by their names.
    QWidget *client;
    QGroupBox *Frame1, *Frame2;
    QPushButton *FBrowse, *FileRemove, *allClear, *zipfolder, *Command6, *wwwbook, *Command3;
    QPushButton *Mp3, *delmp3, *Command2, *Command5, *Command4, *cmdSystem;
    QProgressBar *ZipProgressBar, *ProgressBar1;
    QListWidget *FileList, *List1;
    QLineEdit *zdir, *mp3text, *DestDir, *pas1, *pas2;
    PinnedField *Text3, *Text4, *Text6;
    QLabel *ZipStatus, *Label1;
    QWidget *PasswordLock; // shown while a password is in force for new archives

    QAction *mnuSAZFA, *mnuUnzip, *mnuBr13, *mnuExit;
    QAction *mnuSelectFiles, *mnuSZF, *mnuOSF;
    QAction *mnuHelpfile, *mnuHelp_About;

    // The archive component object of the window; none at start.
    std::unique_ptr<archive::ArchiveComponent> ZipFile;
    platform::CommonDialog zipDialog1; // keeps the last archive name while the program runs
    platform::CommonDialog Mp3Dialog;  // the archive chosen last, reopened by the password prompt

public slots:
    void Form_Load();
    void Text4_Change();
    void Command4_Click();
    void mnuExit_Click();
    void mnuOSF_Click();
    void Command3_Click();
    void mnuHelpfile_Click();
    void mnuHelp_About_Click();
    void cmdSystem_Click();

    // Selection of files and folder.
    void FBrowse_Click();
    void mnuSelectFiles_Click();
    void FileList_Click();
    void FileRemove_Click();
    void allClear_Click();
    void Text3_Change();
    void zipfolder_Click();
    void Command6_Click();

    // Zip builds.
    void wwwbook_Click();
    void mnuSAZFA_Click();
    void ZipFile_WriteZipPercentDone(int percentComplete);

    // Opening, listing and extracting.
    void Mp3_Click();
    void mnuSZF_Click();
    void delmp3_Click();
    void List1_Click();
    void List1_DblClick(); // opens the entry with the desktop's application for it
    void Text6_Change();
    void Command2_Click();
    void Command5_Click();
    void mnuBr13_Click();
    void mnuUnzip_Click();
    void DestDir_Change();
    void ZipFile_UnzipPercentDone(int percentDone);

protected:
    void closeEvent(QCloseEvent *event) override; // Form_Unload

private:
    void buildControls();
    void buildZipFrame();
    void buildUnzipFrame();
    void buildHiddenFields();
    void acceptArchiveDrops(); // a file dropped on the lower half opens as the archive
    void connectHandlers();
    void buildMenus();
    void endProgram();

    WindowRegistry *windows_;
    std::unique_ptr<platform::ViewingFolder> viewing_;
    std::unique_ptr<extract::ExtractDesk> extractDesk_;
    selection::SelectionList *selection_ = nullptr;
    QString folderPath_;
    selection::FolderPicker folders_{this, folderPath_};
    QString runTarget_; // SaveDialog's file name: nothing ever assigns it
};

} // namespace oz::app
