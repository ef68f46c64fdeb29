#include "SfxWindow.h"

#include "widgets/Controls.h"
#include "create/OptionsWindow.h"
#include "platform/FileSystem.h"
#include "platform/ProgramFolder.h"
#include "selection/SelectionList.h"
#include "sfx/SfxBuild.h"

#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace oz::sfx {

using namespace oz::widgets;

namespace {
constexpr int pickerFlags = platform::DialogFlags::HideReadOnly | platform::DialogFlags::FileMustExist
    | platform::DialogFlags::Explorer | platform::DialogFlags::LongNames;
}

SfxWindow::SfxWindow(QWidget *owner, SfxDesk &desk)
    : QWidget(owner, Qt::Window), desk_(desk), folders_(this, desk.sfxFolderPath())
{
    setObjectName(QStringLiteral("SFX"));
    setWindowTitle(QStringLiteral("Orvel Zip - Create SFX: (Self-Extract File) Form"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(scaled(QSize(609, 481)));
    setFont(makeFont(QStringLiteral("Arial"), 9));
    buildSelectionFrame();
    buildModelFrames();
    buildHiddenFields();
    setTabChain({FBrowse,  Createalbum, Command2,    Mp3,      FileRemove, Text4,    Text3, mp3text,
                 Command1, pas2,        Exit,        Command3, iconlist,   FileList, zdir,  Command5,
                 Command4, zipfolder,   iconlistRem, Iconsel,  allClear,   pas1});
    // Once chained: the unseen fields keep their places in the order, Tab passes them by.
    Text3->setFocusPolicy(Qt::NoFocus);
    Text4->setFocusPolicy(Qt::NoFocus);

    selection_ = new selection::SelectionList(this, FileList, Text3);
    selection_->folderDropped = [this](const QString &folder) { zdir->setText(folder + QDir::separator()); };
    SaveDialog.CancelError = true;
    SaveDialog.DialogTitle = QStringLiteral("Save images as a standalone Exe file...");
    SaveDialog.DefaultExt = QStringLiteral("exe"); // the executable's own extension

    connectHandlers();
    Form_Load();
}

// Frame 1: the files, the folder and the icon.
void SfxWindow::buildSelectionFrame()
{
    const QFont arial975 = makeFont(QStringLiteral("Arial"), 9.75);
    const QString removeTip = QStringLiteral("Remove all in the left text box.");
    const QString defaultTip
        = QStringLiteral("This one is system default component, you can  select one to replace it.");

    frame(this, "Frame1", QStringLiteral("  Select folder, files and icon for .Exe fils.   "), {16, 16, 585, 241});
    FBrowse = button(
        this, "FBrowse", QStringLiteral("&Select files..."), {24, 32, 97, 25},
        QStringLiteral(
            "You can select under 80 images for a new album by  ctrl + mouse left key  and shift + mouse left key."));
    FBrowse->setFont(arial975);
    FileList = listBox(this, "FileList", {21, 64, 495, 79}, QAbstractItemView::ExtendedSelection);
    FileList->setFont(makeFont(QStringLiteral("Arial"), 9));
    FileRemove = button(this, "FileRemove", QStringLiteral("&Remove"), {528, 72, 65, 25},
                        QStringLiteral("Remove selected item in the image file list box."));
    allClear = button(this, "allClear", QStringLiteral("&Clear All"), {528, 120, 65, 25},
                      QStringLiteral("Remove all items in image file list box."));
    zipfolder = button(this, "zipfolder", QStringLiteral("Select f&older ..."), {24, 160, 97, 25});
    zdir = textBox(this, "zdir", {125, 161, 392, 24}, true);
    Command4 = button(this, "Command4", QStringLiteral("Rem&ove"), {528, 160, 65, 25}, removeTip);
    auto *label1
        = label(this, "Label1", QStringLiteral(" Select an icon for SFX. (Optional). \n  "), {24, 192, 209, 17});
    label1->setFont(arial975);
    // Its text ends in a line break: from the top, the first line shows whole in the one line
    // of room it has.
    label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label1->setToolTip(
        QStringLiteral("These are optional items, system default items are as below text boxes if you skip Step 2."));
    Iconsel = button(this, "Iconsel", QStringLiteral("Se&lect icon"), {24, 218, 97, 25},
                     QStringLiteral("Click this button to select an icon for album *.exe file."));
    iconlist = textBox(this, "iconlist", {125, 219, 392, 24}, true, defaultTip);
    iconlist->setFont(arial975);
    iconlistRem = button(this, "iconlistRem", QStringLiteral("Rem&ove"), {528, 218, 65, 25}, removeTip);
}

// The two models, each with its build and options buttons.
void SfxWindow::buildModelFrames()
{
    const QFont arial975 = makeFont(QStringLiteral("Arial"), 9.75);
    const QFont arial1125 = makeFont(QStringLiteral("Arial"), 11.25);
    const QString removeTip = QStringLiteral("Remove all in the left text box.");
    frame(this, "Frame2", QStringLiteral("  SFX Model 1:   "), {16, 264, 585, 73});
    Createalbum = button(
        this, "Createalbum", QStringLiteral("&Build SFX File"), {24, 296, 105, 25},
        QStringLiteral("This will save files as xxxx.exe file. Users will not need a Zip program to unzip the files."));
    auto *label5 = label(
        this, "Label5",
        QStringLiteral("This will save files as xxx.exe file. Users will not need a Zip program to unzip the files."),
        {144, 288, 371, 41});
    label5->setFont(arial1125);
    label5->setWordWrap(true);
    Command3 = button(this, "Command3", QStringLiteral("Advance"), {528, 296, 65, 25});

    frame(this, "Frame3", QStringLiteral("  SFX Model 2:   "), {16, 352, 585, 89});
    // Its caption needs a little more than the button below; the box beside it gives it up.
    Mp3 = button(this, "Mp3", QStringLiteral("R&un after Extracted"), {24, 368, 111, 25},
                 QStringLiteral("Selecting an xxx.exe file. This file will run after users extracted this SFX file."));
    mp3text = textBox(this, "mp3text", {140, 368, 381, 24}, false, QStringLiteral("Select a .exe file."));
    mp3text->setFont(arial975);
    Command1 = button(this, "Command1", QStringLiteral("Remo&ve"), {528, 368, 65, 25}, removeTip);
    Command2 = button(this, "Command2", QStringLiteral("Buil&d SFX File"), {24, 408, 105, 25},
                      QStringLiteral("This will popup a ms-dos screen firstly for editing images,then you need to type "
                                     "text to save images as  *.exe file."));
    auto *label6 = label(
        this, "Label6",
        QStringLiteral("This will save as model 1 and run the specific .exe file after users run the build SFX file."),
        {136, 400, 385, 37});
    label6->setFont(arial1125);
    label6->setWordWrap(true);
    Command5 = button(this, "Command5", QStringLiteral("Advance"), {528, 408, 65, 25});
    Exit = button(this, "Exit", QStringLiteral("&Exit"), {528, 448, 65, 25});
}

void SfxWindow::buildHiddenFields()
{
    // Below the client area.
    pas1 = textBox(this, "pas1", {24, 488, 97, 22});
    pas2 = textBox(this, "pas2", {136, 488, 121, 22});
    pas1->setFocusPolicy(Qt::NoFocus);
    pas2->setFocusPolicy(Qt::NoFocus);
    Text3 = new PinnedField(this, "Text3", {272, 488, 41, 24}, [this] { return QString::number(FileList->count()); });
    Text3->setReadOnly(true);
    Text3->setToolTip(QStringLiteral("The text box will show the amount of selected files."));
    Text4 = new PinnedField(this, "Text4", {328, 488, 169, 22}, [] { return platform::workingFolder(); });
    connect(Text4, &PinnedField::changed, Text4, &PinnedField::repin);
}

void SfxWindow::connectHandlers()
{
    connect(FBrowse, &QPushButton::clicked, selection_, &selection::SelectionList::FBrowse_Click);
    connect(FileRemove, &QPushButton::clicked, selection_, &selection::SelectionList::FileRemove_Click);
    connect(allClear, &QPushButton::clicked, selection_, &selection::SelectionList::allClear_Click);
    connect(zipfolder, &QPushButton::clicked, this, [this] { folders_.zipfolder_Click(zdir); });
    connect(Command4, &QPushButton::clicked, this, [this] { selection::FolderPicker::clearFolderBox(zdir); });
    connect(Iconsel, &QPushButton::clicked, this, &SfxWindow::Iconsel_Click);
    connect(iconlistRem, &QPushButton::clicked, this, &SfxWindow::iconlistRem_Click);
    connect(Mp3, &QPushButton::clicked, this, &SfxWindow::Mp3_Click);
    connect(Command1, &QPushButton::clicked, this, &SfxWindow::Command1_Click);
    connect(Command3, &QPushButton::clicked, this, &SfxWindow::Command3_Click);
    connect(Command5, &QPushButton::clicked, this, &SfxWindow::Command5_Click);
    connect(Exit, &QPushButton::clicked, this, &SfxWindow::Exit_Click);
    connect(Createalbum, &QPushButton::clicked, this, &SfxWindow::Createalbum_Click);
    connect(Command2, &QPushButton::clicked, this, &SfxWindow::Command2_Click);
}

void SfxWindow::Form_Load()
{
    // Failures to create either folder are met by the builds when they run.
    if (!platform::FileSystem::folderExists(platform::iconsFolder()))
        platform::FileSystem::createFolder(platform::iconsFolder());
    iconlist->setText(platform::defaultIconPath());
    if (!platform::FileSystem::folderExists(platform::workingFolder()))
        platform::FileSystem::createFolder(platform::workingFolder());
    Text4->setText(platform::workingFolder());
}

void SfxWindow::Iconsel_Click()
{
    iconselect.CancelError = true;
    iconselect.DialogTitle = QStringLiteral("Select an icon File for Orvel Zip");
    iconselect.Filter = QStringLiteral("Icon Files (*.ico)|*.ico");
    iconselect.FileName = QString();
    iconselect.InitDir = platform::iconsFolder();
    iconselect.Flags = pickerFlags;
    iconselect.MaxFileSize = 5200;
    if (iconselect.ShowOpen(this))
        iconlist->setText(iconselect.FileName);
}

void SfxWindow::iconlistRem_Click()
{
    iconlist->clear();
}

void SfxWindow::Mp3_Click()
{
    Mp3Dialog.CancelError = true;
    Mp3Dialog.DialogTitle = QStringLiteral("Select an Exe File ");
    Mp3Dialog.Filter = QStringLiteral("exe Files (*.exe)|*.exe");
    Mp3Dialog.FileName = QString();
    Mp3Dialog.InitDir = QString();
    Mp3Dialog.Flags = pickerFlags;
    Mp3Dialog.MaxFileSize = 5200;
    if (!Mp3Dialog.ShowOpen(this))
        return;
    const QString path = Mp3Dialog.FileName;
    mp3text->setText(path.mid(path.lastIndexOf(QDir::separator()) + 1));
}

void SfxWindow::Command1_Click()
{
    mp3text->clear();
}

void SfxWindow::Command3_Click()
{
    present(desk_.advances1());
}

void SfxWindow::Command5_Click()
{
    present(desk_.advances2());
}

void SfxWindow::Exit_Click()
{
    close(); // unloads the window: its fields go, the options windows keep theirs
}

void SfxWindow::Createalbum_Click()
{
    buildSfx(*this, Model::One);
}

void SfxWindow::Command2_Click()
{
    buildSfx(*this, Model::Two);
}

} // namespace oz::sfx
