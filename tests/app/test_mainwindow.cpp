// The main window as a user meets it: its controls, menus, start-up and end,
// help, About and Run.
#include "app/AboutWindow.h"
#include "widgets/Controls.h"
#include "app/WindowRegistry.h"
#include "app/MainWindow.h"
#include "create/OptionsWindow.h"
#include "create/PasswordDialog.h"
#include "extract/PasswordPrompt.h"
#include "sfx/SfxWindow.h"
#include "support/Fixtures.h"
#include "support/StandIns.h"

#include <QAction>
#include <QRegularExpression>
#include <QAbstractButton>
#include <QCheckBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTest>

#include <map>

using namespace oz;
using namespace oz::test;

namespace {

struct Row {
    QString window, name, caption, tooltip;
    QRect at;
};

QWidget *windowNamed(app::MainWindow &w, const QString &name)
{
    app::WindowRegistry &r = w.windows();
    const std::map<QString, QWidget *> windows{{"frmMain", &w},
                                               {"about", r.about()},
                                               {"advance", r.advance()},
                                               {"advances1", r.advances1()},
                                               {"advances2", r.advances2()},
                                               {"changePW", r.changePW()},
                                               {"password", r.password()},
                                               {"sfx", r.sfx()}};
    const auto found = windows.find(name);
    return found == windows.end() ? nullptr : found->second;
}

QString textOf(QWidget *w)
{
    if (auto *b = qobject_cast<QPushButton *>(w))
        return b->text();
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    if (auto *g = qobject_cast<QGroupBox *>(w))
        return g->title();
    if (auto *e = qobject_cast<QLineEdit *>(w))
        return e->text();
    if (auto *c = qobject_cast<QCheckBox *>(w))
        return c->text();
    return {};
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    // The help names every button, check box, menu item and window a user meets, by its caption.
    void helpDescribesEveryControl()
    {
        StandIns standIns;
        app::MainWindow w;
        QString help = QString::fromUtf8(readFile(QStringLiteral(OZ_RESOURCES "/orvelziphelp.html")));
        help.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
        help.replace(QStringLiteral("&rarr;"), QStringLiteral("\u2192"));
        help = help.simplified();
        auto captionOf = [](QString text) { return text.remove(u'&').simplified(); };
        QStringList captions;
        std::vector<QWidget *> windows{&w,
                                       w.windows().advance(),
                                       w.windows().advances2(),
                                       w.windows().changePW(),
                                       w.windows().password(),
                                       w.windows().sfx()};
        for (QWidget *window : windows) {
            captions << captionOf(window->windowTitle());
            for (auto *b : window->findChildren<QAbstractButton *>())
                if (b->isVisibleTo(window) || b->y() < window->height())
                    captions << captionOf(b->text());
            for (auto *l : window->findChildren<QLabel *>())
                if (l->buddy())
                    captions << captionOf(l->text()).remove(u':');
        }
        for (QAction *a : w.menuBar()->findChildren<QAction *>())
            if (!a->isSeparator())
                captions << captionOf(a->text());
        captions.removeAll(QString());
        captions.removeDuplicates();
        QStringList missing;
        for (const QString &c : captions)
            if (!help.contains(c, Qt::CaseInsensitive))
                missing << c;
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(" | ")));
        QVERIFY2(captions.size() > 30, qPrintable(captions.join(" | ")));
    }

    // Options of the program get a usage text; they are never taken for an archive's name.
    void programOptions()
    {
        const ToolResult help = runTool(QStringLiteral(OZ_BUILD_PROGRAM), {"--help"});
        QCOMPARE(help.exitCode, 0);
        QVERIFY2(help.output.contains("Usage:") && help.output.contains("ARCHIVE.zip"), help.output.constData());
        const ToolResult version = runTool(QStringLiteral(OZ_BUILD_PROGRAM), {"--version"});
        QCOMPARE(version.exitCode, 0);
        QVERIFY(version.output.contains(QByteArray(OZ_TEST_VERSION)));
        const ToolResult unknown = runTool(QStringLiteral(OZ_BUILD_PROGRAM), {"--frobnicate"});
        QCOMPARE(unknown.exitCode, 2);
        QVERIFY(unknown.output.contains("frobnicate"));
    }

    // The one check of where each window's controls stand and what they say; everything else
    // in these tests is about what the controls do. A row without a name is the window itself:
    // its title and size.
    void inventory_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<QRect>("geometry");
        const QString selectFiles
            = "Selecting files for a new zip file by  ctrl + mouse left key  and shift + mouse left key.";
        const QString count = "The text box will show the amount of selected files.";
        const QString removeAll = "Remove all in the left text box.";
        const QString exclude = "Enter a wildcarded filename for files you wish to exclude. Ex: ";
        const Row rows[] = {
            {"frmMain", "", "Orvel Zip", "", {0, 0, 649, 505}},
            {"frmMain", "Frame1", "  Folder or file added to the Zip archive   ", "", {8, 8, 633, 233}},
            {"frmMain", "FBrowse", "&Select files...", selectFiles, {24, 32, 97, 25}},
            {"frmMain", "FileRemove", "&Remove", "Remove selected item in the file list box.", {568, 72, 65, 25}},
            {"frmMain", "allClear", "&Clear All", "Remove all items in file list box.", {568, 128, 65, 25}},
            {"frmMain", "zipfolder", "Select f&older ...", "", {24, 172, 97, 25}},
            {"frmMain", "zdir", "", "", {128, 173, 432, 24}},
            {"frmMain", "Command6", "&Remove", "", {568, 172, 65, 25}},
            {"frmMain", "wwwbook", "Save &Zip File As...", "", {24, 208, 113, 25}},
            {"frmMain", "ZipStatus", " ", "", {176, 214, 300, 17}},
            {"frmMain", "Command3", "Advance", "", {568, 208, 65, 25}},
            {"frmMain", "Frame2", "  Select the Zip archive to be unzipped   ", "", {8, 248, 633, 249}},
            {"frmMain",
             "Mp3",
             "S&elect Zip File",
             "Click this button to select an zip archive to be unzipped.",
             {24, 273, 97, 25}},
            {"frmMain",
             "mp3text",
             "",
             "This one is system default component, you can  select one to replace it.",
             {128, 273, 432, 24}},
            {"frmMain", "delmp3", "Re&move", removeAll, {568, 272, 65, 25}},
            {"frmMain", "Text6", "", count, {24, 305, 41, 24}},
            {"frmMain", "Label1", "File unzipped", "", {72, 312, 81, 17}},
            {"frmMain", "List1", "", "", {24, 336, 537, 79}},
            {"frmMain", "Command2", "&Unzip to folder .............", "", {24, 423, 145, 25}},
            {"frmMain", "DestDir", "", "", {184, 424, 377, 22}},
            {"frmMain", "Command5", "U&nzip to current folder", "", {24, 456, 145, 25}},
            {"frmMain", "ProgressBar1", "", "", {184, 464, 377, 17}},
            {"frmMain", "Command4", "E&xit", "Exit this program.", {568, 456, 65, 25}},
            {"frmMain", "cmdSystem", "Ru&n ", "Run album *.exe file you just build.", {512, 520, 65, 25}},

            {"about", "", "About Orvel Zip", "", {0, 0, 312, 164}},
            {"about", "Label1", "Orvel Zip", "", {32, 16, 249, 57}},
            {"about", "Label3", "Version : " OZ_TEST_VERSION, "", {32, 88, 145, 25}},

            {"advance", "", "Advance Zip archive", "", {0, 0, 489, 273}},
            {"advance",
             "Frame1",
             "Enter a wildcarded filename for files you wish to include. Ex: *.*",
             "",
             {8, 8, 473, 57}},
            {"advance", "Label1", "File name or pattern:", "", {20, 32, 130, 20}},
            {"advance", "FilePattern", "*.*", "", {156, 30, 200, 22}},
            {"advance", "Frame2", exclude + "*.wav", "", {8, 72, 473, 57}},
            {"advance", "ExclusionsText", "", "", {156, 94, 120, 22}},
            {"advance", "Frame3", "Folders", "", {8, 136, 200, 89}},
            {"advance", "Recurse", "", "", {20, 160, 17, 17}},
            {"advance", "Label2", "Include subdirs", "", {42, 158, 150, 20}},
            {"advance", "SaveFullFilenames", "", "", {20, 192, 17, 17}},
            {"advance", "Label3", "Save extra folder info", "", {42, 190, 150, 20}},
            {"advance", "Frame4", "Attributes", "", {216, 136, 265, 89}},
            {"advance", "ArchiveOnly", "", "", {228, 158, 17, 17}},
            {"advance", "Label4", "Include only if archive attribute is set", "", {250, 156, 225, 20}},
            {"advance", "IncludeSystem", "", "", {228, 180, 17, 17}},
            {"advance", "Label5", "Include system files", "", {250, 178, 225, 20}},
            {"advance", "IncludeHidden", "", "", {228, 202, 17, 17}},
            {"advance", "Label6", "Include hidden files", "", {250, 200, 225, 20}},
            {"advance", "Command1", "&OK", "", {300, 236, 81, 25}},
            {"advance", "zippas", "Set &Password", "", {392, 236, 89, 25}},
            // The SFX windows are wider by a column for the Windows program's version and signature.
            {"advances1", "", "Advance SFX archive", "", {0, 0, 778, 273}},
            {"advances1", "Frame2", exclude + "*.mpg", "", {8, 72, 473, 57}},
            {"advances2", "", "Advance SFX archive", "", {0, 0, 778, 353}},
            {"advances2", "Frame2", exclude + "*.wav", "", {8, 72, 473, 57}},
            {"advances2",
             "Frame5",
             "Specific extract to temp or specific directory and parameter for .exe file",
             "",
             {8, 232, 473, 81}},
            {"advances2", "autotemp", "Auto extract to temp directory", "", {20, 254, 260, 20}},
            {"advances2", "Label8", "Parameter : ", "", {20, 282, 80, 20}},
            {"advances2", "parameter", "", "", {104, 280, 360, 22}},
            {"advances2", "Command1", "&OK", "", {300, 320, 81, 25}},
            {"advances2", "zippas", "Set &Password", "", {392, 320, 89, 25}},

            {"changePW", "", "Set Password(Optional)", "", {0, 0, 321, 201}},
            {"changePW", "lblLabels", "Type &Password:", "", {16, 12, 200, 18}},
            {"changePW", "txtpw", "", "", {16, 32, 289, 22}},
            {"changePW", "txtconfirmpw", "", "", {16, 84, 289, 22}},
            {"changePW",
             "Label1",
             "The password is case sensitive and the maximum length is 20 characters.",
             "",
             {16, 112, 289, 36}},
            {"changePW", "cmdOK", "&OK", "", {128, 160, 81, 25}},
            {"changePW", "cmdCancel", "&Cancel", "", {224, 160, 81, 25}},

            {"password", "", "Orvel Zip", "", {0, 0, 411, 106}},
            {"password", "Command1", "Enter password", "", {16, 24, 105, 25}},
            {"password", "Text1", "", "", {144, 24, 185, 25}},
            {"password", "Check1", "Mask", "", {344, 32, 49, 17}},
            {"password", "Command2", "Exit", "", {144, 64, 129, 25}},

            {"sfx", "", "Orvel Zip - Create SFX: (Self-Extract File) Form", "", {0, 0, 609, 481}},
            {"sfx", "Frame1", "  Select folder, files and icon for .Exe fils.   ", "", {16, 16, 585, 241}},
            {"sfx",
             "FBrowse",
             "&Select files...",
             "You can select under 80 images for a new album by  ctrl + mouse left key  and shift + mouse left key.",
             {24, 32, 97, 25}},
            {"sfx", "FileList", "", "", {21, 64, 495, 79}},
            {"sfx", "FileRemove", "&Remove", "Remove selected item in the image file list box.", {528, 72, 65, 25}},
            {"sfx", "allClear", "&Clear All", "Remove all items in image file list box.", {528, 120, 65, 25}},
            {"sfx", "zipfolder", "Select f&older ...", "", {24, 160, 97, 25}},
            {"sfx", "zdir", "", "", {125, 161, 392, 24}},
            {"sfx", "Command4", "Rem&ove", removeAll, {528, 160, 65, 25}},
            {"sfx",
             "Label1",
             " Select an icon for SFX. (Optional). \n  ",
             "These are optional items, system default items are as below text boxes if you skip Step 2.",
             {24, 192, 209, 17}},
            {"sfx",
             "Iconsel",
             "Se&lect icon",
             "Click this button to select an icon for album *.exe file.",
             {24, 218, 97, 25}},
            {"sfx", "iconlistRem", "Rem&ove", removeAll, {528, 218, 65, 25}},
            {"sfx", "Frame2", "  SFX Model 1:   ", "", {16, 264, 585, 73}},
            {"sfx",
             "Createalbum",
             "&Build SFX File",
             "This will save files as xxxx.exe file. Users will not need a Zip program to unzip the files.",
             {24, 296, 105, 25}},
            {"sfx",
             "Label5",
             "This will save files as xxx.exe file. Users will not need a Zip program to unzip the files.",
             "",
             {144, 288, 371, 41}},
            {"sfx", "Command3", "Advance", "", {528, 296, 65, 25}},
            {"sfx", "Frame3", "  SFX Model 2:   ", "", {16, 352, 585, 89}},
            {"sfx",
             "Mp3",
             "R&un after Extracted",
             "Selecting an xxx.exe file. This file will run after users extracted this SFX file.",
             {24, 368, 111, 25}},
            {"sfx", "mp3text", "", "Select a .exe file.", {140, 368, 381, 24}},
            {"sfx", "Command1", "Remo&ve", removeAll, {528, 368, 65, 25}},
            {"sfx",
             "Command2",
             "Buil&d SFX File",
             "This will popup a ms-dos screen firstly for editing images,then you need to type text to save images "
             "as  *.exe file.",
             {24, 408, 105, 25}},
            {"sfx",
             "Label6",
             "This will save as model 1 and run the specific .exe file after users run the build SFX file.",
             "",
             {136, 400, 385, 37}},
            {"sfx", "Command5", "Advance", "", {528, 408, 65, 25}},
            {"sfx", "Exit", "&Exit", "", {528, 448, 65, 25}},
        };
        for (const Row &r : rows)
            QTest::newRow(qPrintable(r.window + "/" + (r.name.isEmpty() ? QStringLiteral("window") : r.name)))
                << r.window << r.name << r.caption << r.tooltip << r.at;
    }
    void inventory()
    {
        QFETCH(QString, window);
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QString, tooltip);
        QFETCH(QRect, geometry);
        StandIns standIns;
        app::MainWindow w;
        QWidget *shown = windowNamed(w, window);
        QVERIFY2(shown, qPrintable(window));
        if (name.isEmpty()) {
            QCOMPARE(shown->windowTitle(), caption);
            QCOMPARE(shown == &w ? w.client->size() : shown->size(), geometry.size());
            return;
        }
        auto *control = shown->findChild<QWidget *>(name);
        QVERIFY2(control, qPrintable(name));
        QCOMPARE(textOf(control), caption);
        QCOMPARE(control->toolTip(), tooltip);
        QCOMPARE(control->geometry(), geometry);
    }

    // The window keeps its size: nothing to maximise into, the unseen fields below its edge and
    // out of the keyboard's way.
    void windowKeepsItsSize()
    {
        StandIns standIns;
        app::MainWindow w;
        w.show();
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        for (QWidget *hidden : std::initializer_list<QWidget *>{w.Text3, w.Text4, w.pas1, w.pas2, w.cmdSystem})
            QVERIFY2(hidden->y() >= 505, qPrintable(hidden->objectName()));
        QCOMPARE(w.pas1->focusPolicy(), Qt::NoFocus);
        QCOMPARE(w.pas2->focusPolicy(), Qt::NoFocus);
        QCOMPARE(w.FileList->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(w.List1->selectionMode(), QAbstractItemView::SingleSelection);
    }

    void menus()
    {
        StandIns standIns;
        app::MainWindow w;
        QStringList seen;
        for (QAction *menuAction : w.menuBar()->actions()) {
            seen << menuAction->menu()->objectName() + "=" + menuAction->text();
            for (QAction *a : menuAction->menu()->actions())
                seen << a->objectName() + "=" + (a->isSeparator() ? QStringLiteral("-") : a->text());
        }
        QCOMPARE(seen,
                 QStringList({"mnufile_exit=&File", "mnuSAZFA=Save &Zip File As...", "mnuBr11=-", "mnuUnzip=&Unzip",
                              "mnuBr12=-", "mnuBr13=&Unzip to current folder", "mnuBr14=-", "mnuExit=E&xit",
                              "mnuAction=&Action", "mnuSelectFiles=&Select Files", "mnuBr21=-",
                              "mnuSZF=S&elect Zip File", "mnuBr22=-", "mnuOSF=O&pen SFX Form", "mnuHelp=&Help",
                              "mnuHelpfile=&Help", "mnuBr4=-", "mnuHelp_About=&About Orvel Zip"}));
        QCOMPARE(w.mnuHelpfile->shortcut(), QKeySequence(Qt::Key_F1));
    }

    void tabOrderFollowsTheInventory()
    {
        StandIns standIns;
        app::MainWindow w;
        QStringList order;
        QWidget *at = w.FBrowse;
        do {
            if (at->focusPolicy() & Qt::TabFocus)
                order << at->objectName();
            at = at->nextInFocusChain();
        } while (at != w.FBrowse && order.size() < 40);
        // The unseen fields are passed by.
        QCOMPARE(order.mid(0, 18),
                 QStringList({"FBrowse", "wwwbook", "Command4", "FileRemove", "delmp3", "FileList", "List1", "Mp3",
                              "Command2", "DestDir", "mp3text", "Command5", "Text6", "zipfolder", "zdir", "allClear",
                              "Command3", "Command6"}));
    }

    void startUpMakesTheWorkingFolder()
    {
        StandIns standIns;
        const QString tempp = standIns.programFolder() + "/tempp";
        QVERIFY(!QFileInfo::exists(tempp));
        {
            app::MainWindow w;
            QVERIFY(QFileInfo(tempp).isDir());
            QCOMPARE(w.Text4->text(), tempp);
            writeFile(tempp + "/kept.txt", "staged earlier");
        }
        // What a build left there is gone at the next start: staged copies never outlive it.
        app::MainWindow second;
        QVERIFY(QFileInfo(tempp).isDir());
        QVERIFY(!QFileInfo::exists(tempp + "/kept.txt"));
        QCOMPARE(second.Text4->text(), tempp);
    }

    void startUpSetsTheZipOptions()
    {
        StandIns standIns;
        app::MainWindow w;
        create::OptionsWindow *advance = w.windows().advance();
        QVERIFY(!advance->isVisible()); // created hidden
        QVERIFY(advance->Recurse->isChecked());
        QVERIFY(!advance->SaveFullFilenames->isChecked());
        QVERIFY(!advance->ArchiveOnly->isChecked());
        QVERIFY(!advance->IncludeHidden->isChecked());
        QVERIFY(!advance->IncludeSystem->isChecked());
    }

    void pinnedFieldsReturnToTheirValue()
    {
        StandIns standIns;
        app::MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        const QString tempp = w.Text4->text();
        w.Text4->setFocus();
        QTest::keyClicks(w.Text4, "typed");
        QCOMPARE(w.Text4->text(), tempp);
        w.Text4->setText("/elsewhere");
        QCOMPARE(w.Text4->text(), tempp);
        w.Text6->setText("42");
        QCOMPARE(w.Text6->text(), QStringLiteral("0"));
        w.Text3->setText("7");
        QCOMPARE(w.Text3->text(), QStringLiteral("0"));
    }

    void theProgramEnds_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("Exit button") << 0;
        QTest::newRow("Exit menu item") << 1;
        QTest::newRow("closing the window") << 2;
    }
    void theProgramEnds()
    {
        QFETCH(int, way);
        StandIns standIns;
        app::MainWindow w;
        w.show();
        openOptions(w);
        if (way == 0)
            w.Command4->click();
        else if (way == 1)
            w.mnuExit->trigger();
        else
            w.close();
        QCOMPARE(standIns.shell.ends, 1);
        QVERIFY(standIns.messages.shown.empty());
    }

    void helpOpensTheHelpFile()
    {
        StandIns standIns;
        app::MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_F1);
        QCOMPARE(standIns.shell.starts.size(), std::size_t(1));
        QCOMPARE(standIns.shell.starts[0].program, QStringLiteral("xdg-open"));
        QCOMPARE(standIns.shell.starts[0].arguments, QStringList({standIns.programFolder() + "/orvelziphelp.html"}));
        w.mnuHelpfile->trigger();
        QCOMPARE(standIns.shell.starts.size(), std::size_t(2));
        QVERIFY(standIns.messages.shown.empty()); // a missing file is the opener's to report

        standIns.shell.canStart = false;
        w.mnuHelpfile->trigger();
        QCOMPARE(standIns.messages.texts(), QStringList({"Readme File cannot be found!"}));
        QCOMPARE(standIns.messages.shown[0].title, QStringLiteral("Message"));
        QCOMPARE(standIns.messages.shown[0].icon, platform::MsgIcon::Exclamation);
    }

    void aboutWindow()
    {
        StandIns standIns;
        app::MainWindow w;
        w.mnuHelp_About->trigger();
        app::AboutWindow *about = w.windows().about();
        QVERIFY(about->isVisible());
        QCOMPARE(about->windowTitle(), QStringLiteral("About Orvel Zip"));
        QCOMPARE(about->size(), QSize(312, 164));
        QCOMPARE(about->Label1->text(), QStringLiteral("Orvel Zip"));
        QCOMPARE(about->Label3->text(), QStringLiteral("Version : " OZ_TEST_VERSION));
        w.mnuHelp_About->trigger();
        QCOMPARE(w.windows().about(), about); // the same window again
        QTest::mouseClick(about->Label5, Qt::LeftButton);
        QTest::mouseClick(about->Label5, Qt::LeftButton);
        QCOMPARE(standIns.shell.urls.size(), std::size_t(2));
        QCOMPARE(standIns.shell.urls[0].toString(), QString::fromLatin1(app::AboutWindow::webAddress));
        QVERIFY(standIns.messages.shown.empty());
        about->close();
        QVERIFY(w.windows().about() != about); // closing destroyed it
    }

    void runReportsItsMessage()
    {
        StandIns standIns;
        app::MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        // Unseen, it has no access key of its own (Alt+N unzips): only a click reaches it.
        w.cmdSystem->click();
        QCOMPARE(standIns.messages.texts(), QStringList({"File is not there!   "}));
        QCOMPARE(standIns.messages.shown[0].title, QStringLiteral("Warning"));
        QCOMPARE(standIns.messages.shown[0].icon, platform::MsgIcon::Information);
    }

private:
    // Opens the options window too, so ending is seen to close it without fuss.
    static void openOptions(app::MainWindow &w) { w.Command3->click(); }

private slots:
    // Files and folders dropped on the selection list join the selection; a file dropped on the
    // lower half opens as the archive, one dropped on the upper half does not.
    void dropping()
    {
        StandIns standIns;
        app::MainWindow w;
        const QString root = standIns.programFolder() + "/dropped";
        writeFile(root + "/a.txt", "a");
        writeFile(root + "/b.txt", "b");
        writeFile(root + "/folder/c.txt", "c");
        auto drop = [](QWidget *target, QPoint at, const QStringList &paths) {
            QMimeData mime;
            QList<QUrl> urls;
            for (const QString &p : paths)
                urls << QUrl::fromLocalFile(p);
            mime.setUrls(urls);
            QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &enter);
            QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &dropped);
            return enter.isAccepted() && dropped.isAccepted();
        };
        QVERIFY(drop(w.FileList->viewport(), {20, 20}, {root + "/a.txt", root + "/b.txt", root + "/folder"}));
        QCOMPARE(w.FileList->count(), 2);
        QCOMPARE(w.FileList->item(1)->text(), root + "/b.txt");
        QCOMPARE(w.Text3->text(), QStringLiteral("2"));
        QCOMPARE(w.zdir->text(), root + "/folder/");
        // What was dropped is built like what was picked.
        standIns.dialogs.pick(root + "/dropped.zip");
        w.wwwbook->click();
        QStringList names = entryNames(root + "/dropped.zip");
        names.sort();
        QCOMPARE(names, QStringList({"a.txt", "b.txt", "c.txt"}));

        QVERIFY(!drop(w.client, {300, 100}, {root + "/dropped.zip"}));
        QCOMPARE(w.mp3text->text(), QString());
        QVERIFY(drop(w.client, {300, 400}, {root + "/dropped.zip"}));
        QCOMPARE(w.mp3text->text(), root + "/dropped.zip");
        QCOMPARE(w.List1->count(), 3);
    }

    // Every caption, label and frame title fits its control with the fonts this desktop gives
    // for the ones asked for, the status texts of a zip build included.
    void everyTextFits()
    {
        StandIns standIns;
        app::MainWindow w;
        std::vector<QWidget *> windows{&w,
                                       w.windows().advance(),
                                       w.windows().advances1(),
                                       w.windows().advances2(),
                                       w.windows().changePW(),
                                       w.windows().password(),
                                       w.windows().sfx()};
        QStringList cut;
        auto check = [&](QWidget *c, const QString &shown, int room, int rows = 1) {
            const QFontMetrics fm(c->font());
            const QString text = QString(shown).remove(u'&');
            const bool fits = rows == 1
                ? fm.horizontalAdvance(text) <= room
                : fm.boundingRect(QRect(0, 0, room, 10000), Qt::TextWordWrap, text).height() <= rows;
            if (!fits && !text.trimmed().isEmpty())
                cut << c->window()->objectName() + "/" + c->objectName() + ": " + text + " ("
                        + QString::number(fm.horizontalAdvance(text)) + " in " + QString::number(room) + ")";
        };
        for (QWidget *window : windows) {
            for (auto *b : window->findChildren<QPushButton *>())
                if (b->y() < window->height())
                    check(b, b->text(), b->width() - 6);
            for (auto *b : window->findChildren<QCheckBox *>())
                check(b, b->text(), b->width() - 20);
            for (auto *g : window->findChildren<QGroupBox *>())
                check(g, g->title(), g->width() - 12);
            for (auto *l : window->findChildren<QLabel *>())
                if (l->y() < window->height())
                    check(l, l->text().section(u'\n', 0, 0), l->width(), l->wordWrap() ? l->height() : 1);
        }
        for (const QString &status : {QStringLiteral("Error, no files added to the Zip archive."),
                                      QStringLiteral("Error, the Zip archive was not written."),
                                      QStringLiteral("Success.  12345 files zipped")})
            check(w.ZipStatus, status, w.ZipStatus->width());
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join("\n")));
    }

    // Keys as the user presses them on the shown window: an access key does what its caption
    // says, a key two captions share moves between them, Tab never lands on an unseen field.
    void accessKeysAndTab()
    {
        StandIns standIns;
        app::MainWindow w;
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_N, Qt::AltModifier);
        // The access key presses the button visibly, a moment later.
        QTRY_COMPARE(standIns.messages.texts(), QStringList({"Error, no zip archive has been opened    "}));
        QCOMPARE(standIns.shell.starts.size(), std::size_t(0));

        const QString file = standIns.programFolder() + "/picked.txt";
        writeFile(file, "x");
        standIns.dialogs.pick(QStringList{file});
        QTest::keyClick(&w, Qt::Key_S, Qt::AltModifier);
        QTRY_COMPARE(w.FileList->count(), 1);
        w.FileList->setCurrentRow(0);
        QTest::keyClick(&w, Qt::Key_R, Qt::AltModifier);
        QWidget *first = QApplication::focusWidget();
        QTest::keyClick(&w, Qt::Key_R, Qt::AltModifier);
        QWidget *second = QApplication::focusWidget();
        QCOMPARE(QSet<QWidget *>({first, second}), QSet<QWidget *>({w.FileRemove, w.Command6}));
        QCOMPARE(w.FileList->count(), 1); // the shared key only moves the focus
        w.FileRemove->setFocus();
        QTest::keyClick(w.FileRemove, Qt::Key_Space);
        QCOMPARE(w.FileList->count(), 0);

        w.FBrowse->setFocus();
        for (int i = 0; i < 40; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget *at = QApplication::focusWidget();
            QVERIFY2(at && at->y() < 505 && at->isVisible(), qPrintable(at ? at->objectName() : "nothing"));
        }
    }

    // Enter presses the default button, Escape cancels; the small windows open on their owner.
    void enterEscapeAndPlacement()
    {
        StandIns standIns;
        app::MainWindow w;
        w.show();
        w.move(40, 30);
        w.Command3->click();
        create::OptionsWindow *advance = w.windows().advance();
        QVERIFY(advance->isVisible());
        QApplication::setActiveWindow(advance);
        QVERIFY((advance->frameGeometry().center() - w.frameGeometry().center()).manhattanLength() <= 4);
        advance->FilePattern->setText("*.txt");
        QTest::keyClick(advance->FilePattern, Qt::Key_Escape);
        QVERIFY(!advance->isVisible());
        w.Command3->click();
        QApplication::setActiveWindow(advance);
        QCOMPARE(advance->FilePattern->text(), QStringLiteral("*.txt")); // put away, not reset
        QTest::keyClick(advance->FilePattern, Qt::Key_Return);
        QVERIFY(!advance->isVisible());

        extract::PasswordPrompt *prompt = w.windows().password();
        app::WindowRegistry::present(prompt);
        QApplication::setActiveWindow(prompt);
        QVERIFY(prompt->isVisible());
        QTest::keyClicks(prompt->Text1, "secret");
        QTest::keyClick(prompt->Text1, Qt::Key_Enter);
        QCOMPARE(standIns.messages.texts().value(0), QStringLiteral("Wrong password!    ")); // Enter password ran
        QCOMPARE(w.pas2->text(), QStringLiteral("secret"));
        QTest::keyClick(prompt->Text1, Qt::Key_Escape);
        QTRY_VERIFY(!w.windows().password()->isVisible() || w.windows().password() != prompt);

        w.mnuHelp_About->trigger();
        app::AboutWindow *about = w.windows().about();
        QVERIFY(about->isVisible());
        QApplication::setActiveWindow(about);
        QTest::keyClick(about, Qt::Key_Escape);
        QVERIFY(!about->isVisible());

        create::PasswordDialog *setPassword = w.windows().changePW();
        app::WindowRegistry::present(setPassword);
        QApplication::setActiveWindow(setPassword);
        QTest::keyClicks(setPassword->txtpw, "pw");
        QTest::keyClicks(setPassword->txtconfirmpw, "pw");
        QTest::keyClick(setPassword->txtconfirmpw, Qt::Key_Return);
        QCOMPARE(w.pas1->text(), QStringLiteral("pw"));
        QVERIFY(!setPassword->isVisible());
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_mainwindow.moc"
