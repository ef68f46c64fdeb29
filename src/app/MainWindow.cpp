#include "MainWindow.h"

#include "app/AboutWindow.h"
#include "widgets/Controls.h"
#include "app/WindowRegistry.h"
#include "archive/ArchiveComponent.h"
#include "create/OptionsWindow.h"
#include "create/PasswordLock.h"
#include "create/ZipBuild.h"
#include "create/ZipDesk.h"
#include "extract/ExtractDesk.h"
#include "extract/Extraction.h"
#include "extract/OpenArchive.h"
#include "extract/PasswordPrompt.h"
#include "platform/FileSystem.h"
#include "platform/MessageBox.h"
#include "platform/ProgramFolder.h"
#include "platform/Progress.h"
#include "platform/Shell.h"
#include "platform/StagingFolder.h"
#include "platform/ViewingFolder.h"
#include "selection/SelectionList.h"
#include "sfx/SfxWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>

namespace oz::app {

using namespace oz::widgets;

using platform::MsgIcon;

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), windows_(new WindowRegistry(this))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Orvel Zip"));
    setWindowIcon(QIcon(platform::dataFile(QStringLiteral("icons/oz.ico"))));
    setFont(makeFont(QStringLiteral("Arial"), 9));
    buildControls();
    buildMenus();
    extractDesk_.reset(new extract::ExtractDesk{
        this, DestDir, mp3text, pas2, Text6, List1, ProgressBar1, ZipFile, Mp3Dialog, folders_,
        [this] { newZipFile(); },
        [this](const QString &path, const QString &password) { reopenZipFile(path, password); },
        [this] { WindowRegistry::present(windows_->password()); }, viewing_});
    // The description's fixed size: the client area and the menu bar above it, never
    // maximised into an empty grey area.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    Form_Load();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(scaled(QSize(649, 505)));
    setCentralWidget(client);
    buildZipFrame();
    buildUnzipFrame();
    buildHiddenFields();

    // Tab order by the indices of the inventory (0 first).
    setTabChain({FBrowse,  wwwbook, Command4,  cmdSystem, Text4,    FileRemove, Text3,    delmp3,
                 FileList, List1,   Mp3,       Command2,  DestDir,  mp3text,    Command5, Text6,
                 pas1,     pas2,    zipfolder, zdir,      allClear, Command3,   Command6});
    // Once chained: the unseen fields keep their places in the order, Tab passes them by.
    for (QWidget *unseen : std::initializer_list<QWidget *>{Text3, Text4, cmdSystem})
        unseen->setFocusPolicy(Qt::NoFocus);

    selection_ = new selection::SelectionList(this, FileList, Text3);
    selection_->folderDropped = [this](const QString &folder) { zdir->setText(folder + QDir::separator()); };
    acceptArchiveDrops();
    zipDialog1.CancelError = true;
    zipDialog1.DialogTitle = QStringLiteral("Save zip file as...");
    zipDialog1.DefaultExt = QStringLiteral("zip");

    connectHandlers();
}

// Frame 1: the files and the folder of a new archive, and its build.
void MainWindow::buildZipFrame()
{
    QWidget *w = client;
    const QFont frameFont = makeFont(QStringLiteral("Arial"), 11.25);
    const QFont arial975 = makeFont(QStringLiteral("Arial"), 9.75);

    Frame1 = frame(w, "Frame1", QStringLiteral("  Folder or file added to the Zip archive   "), {8, 8, 633, 233});
    Frame1->setFont(frameFont);
    FBrowse = button(
        w, "FBrowse", QStringLiteral("&Select files..."), {24, 32, 97, 25},
        QStringLiteral("Selecting files for a new zip file by  ctrl + mouse left key  and shift + mouse left key."));
    FBrowse->setFont(arial975);
    ZipProgressBar = progressBar(w, "ZipProgressBar", {128, 40, 433, 17});
    FileList = listBox(w, "FileList", {24, 64, 537, 94}, QAbstractItemView::ExtendedSelection);
    FileList->setStyleSheet(QStringLiteral("QListWidget#FileList { background-color: rgb(241, 245, 245); }"));
    FileRemove = button(w, "FileRemove", QStringLiteral("&Remove"), {568, 72, 65, 25},
                        QStringLiteral("Remove selected item in the file list box."));
    allClear = button(w, "allClear", QStringLiteral("&Clear All"), {568, 128, 65, 25},
                      QStringLiteral("Remove all items in file list box."));
    zipfolder = button(w, "zipfolder", QStringLiteral("Select f&older ..."), {24, 172, 97, 25});
    zdir = textBox(w, "zdir", {128, 173, 432, 24}, true);
    Command6 = button(w, "Command6", QStringLiteral("&Remove"), {568, 172, 65, 25});
    // Wider than its neighbours: its caption needs the room with the fonts of today's desktops,
    // as the status label beside it does for its longest line.
    wwwbook = button(w, "wwwbook", QStringLiteral("Save &Zip File As..."), {24, 208, 113, 25});
    wwwbook->setFont(makeFont(QStringLiteral("Arial"), 9));
    ZipStatus = label(w, "ZipStatus", QStringLiteral(" "), {176, 214, 300, 17});
    ZipStatus->setFont(makeFont(QStringLiteral("MS Sans Serif"), 9.75, true));
    ZipStatus->setStyleSheet(QStringLiteral("color: red;"));
    Command3 = button(w, "Command3", QStringLiteral("Advance"), {568, 208, 65, 25});
}

// Frame 2: the archive to open, its entries, and where they go.
void MainWindow::buildUnzipFrame()
{
    QWidget *w = client;
    const QFont frameFont = makeFont(QStringLiteral("Arial"), 11.25);
    const QFont arial975 = makeFont(QStringLiteral("Arial"), 9.75);
    const QString countTip = QStringLiteral("The text box will show the amount of selected files.");

    Frame2 = frame(w, "Frame2", QStringLiteral("  Select the Zip archive to be unzipped   "), {8, 248, 633, 249});
    Frame2->setFont(frameFont);
    Mp3 = button(w, "Mp3", QStringLiteral("S&elect Zip File"), {24, 273, 97, 25},
                 QStringLiteral("Click this button to select an zip archive to be unzipped."));
    mp3text = textBox(w, "mp3text", {128, 273, 432, 24}, true,
                      QStringLiteral("This one is system default component, you can  select one to replace it."));
    mp3text->setFont(arial975);
    delmp3 = button(w, "delmp3", QStringLiteral("Re&move"), {568, 272, 65, 25},
                    QStringLiteral("Remove all in the left text box."));
    Text6 = new PinnedField(w, "Text6", {24, 305, 41, 24}, [this] { return QString::number(List1->count()); });
    Text6->setReadOnly(true);
    Text6->setFont(arial975);
    Text6->setToolTip(countTip);
    Label1 = label(w, "Label1", QStringLiteral("File unzipped"), {72, 312, 81, 17});
    Label1->setFont(arial975);
    List1 = listBox(w, "List1", {24, 336, 537, 79}, QAbstractItemView::SingleSelection);
    Command2 = button(w, "Command2", QStringLiteral("&Unzip to folder ............."), {24, 423, 145, 25});
    DestDir = textBox(w, "DestDir", {184, 424, 377, 22}, true);
    Command5 = button(w, "Command5", QStringLiteral("U&nzip to current folder"), {24, 456, 145, 25});
    ProgressBar1 = progressBar(w, "ProgressBar1", {184, 464, 377, 17});
    Command4 = button(w, "Command4", QStringLiteral("E&xit"), {568, 456, 65, 25}, QStringLiteral("Exit this program."));
}

void MainWindow::buildHiddenFields()
{
    QWidget *w = client;
    const QFont arial975 = makeFont(QStringLiteral("Arial"), 9.75);
    const QString countTip = QStringLiteral("The text box will show the amount of selected files.");

    // Hidden fields: below the visible client area, out of the keyboard's way: Tab passes
    // them by and no access key reaches them, since nobody sees where the focus went.
    Text3 = new PinnedField(w, "Text3", {24, 520, 41, 24}, [this] { return QString::number(FileList->count()); });
    Text3->setReadOnly(true);
    Text3->setFont(arial975);
    Text3->setToolTip(countTip);
    Text4 = new PinnedField(w, "Text4", {80, 520, 169, 22}, [] { return platform::workingFolder(); });
    Text4->setFont(arial975);
    pas1 = textBox(w, "pas1", {264, 520, 97, 22});
    pas2 = textBox(w, "pas2", {376, 520, 121, 22});
    // Right of the status label, clear of the description's controls.
    PasswordLock = create::passwordLock(w, pas1, {482, 212, 79, 20});
    // Typing into an unseen password field would silently change a password.
    pas1->setFocusPolicy(Qt::NoFocus);
    pas2->setFocusPolicy(Qt::NoFocus);
    cmdSystem = button(w, "cmdSystem", QStringLiteral("Ru&n "), {512, 520, 65, 25},
                       QStringLiteral("Run album *.exe file you just build."));
    // Alt+N is "U&nzip to current folder"'s: the caption the user sees decides.
    cmdSystem->setShortcut(QKeySequence());
}

void MainWindow::connectHandlers()
{
    connect(Text4, &PinnedField::changed, this, &MainWindow::Text4_Change);
    connect(FBrowse, &QPushButton::clicked, this, &MainWindow::FBrowse_Click);
    connect(FileRemove, &QPushButton::clicked, this, &MainWindow::FileRemove_Click);
    connect(allClear, &QPushButton::clicked, this, &MainWindow::allClear_Click);
    connect(zipfolder, &QPushButton::clicked, this, &MainWindow::zipfolder_Click);
    connect(Command6, &QPushButton::clicked, this, &MainWindow::Command6_Click);
    connect(wwwbook, &QPushButton::clicked, this, &MainWindow::wwwbook_Click);
    connect(Text6, &PinnedField::changed, this, &MainWindow::Text6_Change);
    connect(Mp3, &QPushButton::clicked, this, &MainWindow::Mp3_Click);
    connect(delmp3, &QPushButton::clicked, this, &MainWindow::delmp3_Click);
    connect(Command2, &QPushButton::clicked, this, &MainWindow::Command2_Click);
    connect(Command5, &QPushButton::clicked, this, &MainWindow::Command5_Click);
    connect(DestDir, &QLineEdit::textChanged, this, &MainWindow::DestDir_Change);
    onListClick(List1, [this] { List1_Click(); });
    connect(List1, &QListWidget::itemDoubleClicked, this, &MainWindow::List1_DblClick);
    connect(Command4, &QPushButton::clicked, this, &MainWindow::Command4_Click);
    connect(Command3, &QPushButton::clicked, this, &MainWindow::Command3_Click);
    connect(cmdSystem, &QPushButton::clicked, this, &MainWindow::cmdSystem_Click);
}

void MainWindow::buildMenus()
{
    auto item = [](QMenu *menu, const char *name, const QString &caption) {
        QAction *a = menu->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    auto separator
        = [](QMenu *menu, const char *name) { menu->addSeparator()->setObjectName(QString::fromLatin1(name)); };

    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mnufile_exit"));
    mnuSAZFA = item(file, "mnuSAZFA", QStringLiteral("Save &Zip File As..."));
    separator(file, "mnuBr11");
    mnuUnzip = item(file, "mnuUnzip", QStringLiteral("&Unzip"));
    separator(file, "mnuBr12");
    mnuBr13 = item(file, "mnuBr13", QStringLiteral("&Unzip to current folder"));
    separator(file, "mnuBr14");
    mnuExit = item(file, "mnuExit", QStringLiteral("E&xit"));

    QMenu *action = menuBar()->addMenu(QStringLiteral("&Action"));
    action->setObjectName(QStringLiteral("mnuAction"));
    mnuSelectFiles = item(action, "mnuSelectFiles", QStringLiteral("&Select Files"));
    separator(action, "mnuBr21");
    mnuSZF = item(action, "mnuSZF", QStringLiteral("S&elect Zip File"));
    separator(action, "mnuBr22");
    mnuOSF = item(action, "mnuOSF", QStringLiteral("O&pen SFX Form"));

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelpfile = item(help, "mnuHelpfile", QStringLiteral("&Help"));
    mnuHelpfile->setShortcut(Qt::Key_F1);
    mnuHelpfile->setShortcutContext(Qt::ApplicationShortcut);
    separator(help, "mnuBr4");
    mnuHelp_About = item(help, "mnuHelp_About", QStringLiteral("&About Orvel Zip"));

    connect(mnuSAZFA, &QAction::triggered, this, &MainWindow::mnuSAZFA_Click);
    connect(mnuSelectFiles, &QAction::triggered, this, &MainWindow::mnuSelectFiles_Click);
    connect(mnuUnzip, &QAction::triggered, this, &MainWindow::mnuUnzip_Click);
    connect(mnuBr13, &QAction::triggered, this, &MainWindow::mnuBr13_Click);
    connect(mnuSZF, &QAction::triggered, this, &MainWindow::mnuSZF_Click);
    connect(mnuExit, &QAction::triggered, this, &MainWindow::mnuExit_Click);
    connect(mnuOSF, &QAction::triggered, this, &MainWindow::mnuOSF_Click);
    connect(mnuHelpfile, &QAction::triggered, this, &MainWindow::mnuHelpfile_Click);
    connect(mnuHelp_About, &QAction::triggered, this, &MainWindow::mnuHelp_About_Click);
}

void MainWindow::Form_Load()
{
    const QString working = platform::workingFolder();
    if (!platform::FileSystem::folderExists(working)) {
        QString error;
        if (!platform::FileSystem::createFolder(working, &error))
            qWarning("%s", qPrintable(error)); // the builds meet the missing folder when they run
    }
    platform::clearStaging(working); // what a build that never ended left there
    platform::removeLeftoverViewingFolders();
    Text4->setText(working);

    create::OptionsWindow *options = windows_->advance();
    options->Recurse->setChecked(true);
    options->SaveFullFilenames->setChecked(false);
    options->ArchiveOnly->setChecked(false);
    options->IncludeHidden->setChecked(false);
    options->IncludeSystem->setChecked(false);
}

void MainWindow::Text4_Change()
{
    Text4->repin();
}

void MainWindow::endProgram()
{
    // Ends at once: no other window's unload step runs and nothing is saved. Entries opened for
    // a look are no file the user saved: they go.
    viewing_.reset();
    platform::endProgram();
}

void MainWindow::Command4_Click()
{
    endProgram();
}

void MainWindow::mnuExit_Click()
{
    endProgram();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    event->accept();
    endProgram();
}

void MainWindow::mnuOSF_Click()
{
    WindowRegistry::present(windows_->sfx());
}

void MainWindow::setSfxPassword(int model, const QString &password)
{
    // Writing into the SFX window's field creates that window, hidden, when it is closed, as
    // any use of a single-instance window does: the password is then in force when it opens.
    sfx::SfxWindow *window = windows_->sfx();
    (model == 1 ? window->pas1 : window->pas2)->setText(password);
}

void MainWindow::Command3_Click()
{
    WindowRegistry::present(windows_->advance());
}

void MainWindow::mnuHelpfile_Click()
{
    const QString help = platform::dataFile(QStringLiteral("orvelziphelp.html"));
    if (!platform::openDocument(help))
        platform::showMessage(this, QStringLiteral("Readme File cannot be found!"), QStringLiteral("Message"),
                              MsgIcon::Exclamation);
}

void MainWindow::mnuHelp_About_Click()
{
    WindowRegistry::present(windows_->about());
}

void MainWindow::cmdSystem_Click()
{
    if (!platform::startDetached(runTarget_))
        platform::showMessage(this, QStringLiteral("File is not there!   "), QStringLiteral("Warning"),
                              MsgIcon::Information);
}

create::ZipDesk MainWindow::zipDesk()
{
    return {this,      zdir,           pas1,       Text4,       FileList,
            ZipStatus, ZipProgressBar, zipDialog1, *selection_, [this] { return windows_->advance(); }};
}

void MainWindow::newZipFile()
{
    ZipFile = std::make_unique<archive::ArchiveComponent>();
    connect(ZipFile.get(), &archive::ArchiveComponent::WriteZipPercentDone, this,
            &MainWindow::ZipFile_WriteZipPercentDone);
    connect(ZipFile.get(), &archive::ArchiveComponent::UnzipPercentDone, this, &MainWindow::ZipFile_UnzipPercentDone);
}

void MainWindow::reopenZipFile(const QString &path, const QString &password)
{
    if (!ZipFile)
        return;
    ZipFile->SetPassword(password);
    try {
        ZipFile->OpenZip(path);
    } catch (const archive::ArchiveError &) {
        // It opened a moment ago; if it no longer does, extraction says so.
    }
}

void MainWindow::FBrowse_Click()
{
    selection_->FBrowse_Click();
}

void MainWindow::mnuSelectFiles_Click()
{
    selection_->FBrowse_Click();
}

void MainWindow::FileList_Click()
{
    selection_->FileList_Click();
}

void MainWindow::FileRemove_Click()
{
    selection_->FileRemove_Click();
}

void MainWindow::allClear_Click()
{
    selection_->allClear_Click();
}

void MainWindow::Text3_Change()
{
    selection_->Text3_Change();
}

void MainWindow::zipfolder_Click()
{
    folders_.zipfolder_Click(zdir);
}

void MainWindow::Command6_Click()
{
    selection::FolderPicker::clearFolderBox(zdir);
}

void MainWindow::wwwbook_Click()
{
    create::buildZip(zipDesk(), create::BuildFrom::Button);
}

void MainWindow::mnuSAZFA_Click()
{
    create::buildZip(zipDesk(), create::BuildFrom::Menu);
}

void MainWindow::ZipFile_WriteZipPercentDone(int percentComplete)
{
    platform::setProgress(ZipProgressBar, percentComplete);
}

void MainWindow::Mp3_Click()
{
    extract::Mp3_Click(extractDesk());
}

void MainWindow::mnuSZF_Click()
{
    extract::mnuSZF_Click(extractDesk());
}

void MainWindow::delmp3_Click()
{
    extract::delmp3_Click(extractDesk());
}

void MainWindow::List1_Click()
{
    showFirstSelectedAsTooltip(List1);
}

void MainWindow::List1_DblClick()
{
    extract::List1_DblClick(extractDesk(), List1->currentRow());
}

void MainWindow::Text6_Change()
{
    Text6->repin();
}

void MainWindow::Command2_Click()
{
    extract::Command2_Click(extractDesk());
}

void MainWindow::Command5_Click()
{
    extract::Command5_Click(extractDesk());
}

void MainWindow::mnuBr13_Click()
{
    extract::mnuBr13_Click(extractDesk());
}

void MainWindow::mnuUnzip_Click()
{
    extract::mnuUnzip_Click(extractDesk());
}

void MainWindow::DestDir_Change()
{
    extract::DestDir_Change(extractDesk());
}

void MainWindow::ZipFile_UnzipPercentDone(int percentDone)
{
    platform::setProgress(ProgressBar1, percentDone);
}

namespace {

// A file dropped on the lower half of the window: the archive to open.
class ArchiveDrop : public QObject {
public:
    ArchiveDrop(QWidget *area, int top, std::function<void(const QString &)> open)
        : QObject(area), top_(top), open_(std::move(open))
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
            return QObject::eventFilter(watched, event);
        auto *drop = static_cast<QDropEvent *>(event);
        const QString path = fileOf(drop);
        if (path.isEmpty() || drop->position().y() < top_) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        if (type == QEvent::Drop)
            open_(path);
        return true;
    }

private:
    static QString fileOf(const QDropEvent *drop)
    {
        const QMimeData *data = drop->mimeData();
        if (!data || !data->hasUrls() || data->urls().size() != 1 || !data->urls().first().isLocalFile())
            return QString();
        const QFileInfo info(data->urls().first().toLocalFile());
        return info.isFile() ? QDir::toNativeSeparators(info.absoluteFilePath()) : QString();
    }

    int top_;
    std::function<void(const QString &)> open_;
};

} // namespace

void MainWindow::acceptArchiveDrops()
{
    client->setAcceptDrops(true);
    client->installEventFilter(new ArchiveDrop(
        client, Frame2->y(), [this](const QString &path) { extract::openArchiveFile(extractDesk(), path); }));
}

} // namespace oz::app
