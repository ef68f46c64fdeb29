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
#include <QtTest>

using namespace oz;
using namespace oz::test;

namespace {

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

    void inventory_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("Frame1") << "Frame1"
                                << "  Folder or file added to the Zip archive   "
                                << "" << QRect(8, 8, 633, 233);
        QTest::newRow("FBrowse")
            << "FBrowse"
            << "&Select files..."
            << "Selecting files for a new zip file by  ctrl + mouse left key  and shift + mouse left key."
            << QRect(24, 32, 97, 25);
        QTest::newRow("FileRemove") << "FileRemove"
                                    << "&Remove"
                                    << "Remove selected item in the file list box." << QRect(568, 72, 65, 25);
        QTest::newRow("allClear") << "allClear"
                                  << "&Clear All"
                                  << "Remove all items in file list box." << QRect(568, 128, 65, 25);
        QTest::newRow("zipfolder") << "zipfolder"
                                   << "Select f&older ..."
                                   << "" << QRect(24, 172, 97, 25);
        QTest::newRow("zdir") << "zdir"
                              << ""
                              << "" << QRect(128, 173, 432, 24);
        QTest::newRow("Command6") << "Command6"
                                  << "&Remove"
                                  << "" << QRect(568, 172, 65, 25);
        QTest::newRow("wwwbook") << "wwwbook"
                                 << "Save &Zip File As..."
                                 << "" << QRect(24, 208, 113, 25);
        QTest::newRow("ZipStatus") << "ZipStatus"
                                   << " "
                                   << "" << QRect(176, 214, 300, 17);
        QTest::newRow("Command3") << "Command3"
                                  << "Advance"
                                  << "" << QRect(568, 208, 65, 25);
        QTest::newRow("Frame2") << "Frame2"
                                << "  Select the Zip archive to be unzipped   "
                                << "" << QRect(8, 248, 633, 249);
        QTest::newRow("Mp3") << "Mp3"
                             << "S&elect Zip File"
                             << "Click this button to select an zip archive to be unzipped." << QRect(24, 273, 97, 25);
        QTest::newRow("mp3text") << "mp3text"
                                 << ""
                                 << "This one is system default component, you can  select one to replace it."
                                 << QRect(128, 273, 432, 24);
        QTest::newRow("delmp3") << "delmp3"
                                << "Re&move"
                                << "Remove all in the left text box." << QRect(568, 272, 65, 25);
        QTest::newRow("Text6") << "Text6"
                               << ""
                               << "The text box will show the amount of selected files." << QRect(24, 305, 41, 24);
        QTest::newRow("Label1") << "Label1"
                                << "File unzipped"
                                << "" << QRect(72, 312, 81, 17);
        QTest::newRow("Command2") << "Command2"
                                  << "&Unzip to folder ............."
                                  << "" << QRect(24, 423, 145, 25);
        QTest::newRow("DestDir") << "DestDir"
                                 << ""
                                 << "" << QRect(184, 424, 377, 22);
        QTest::newRow("Command5") << "Command5"
                                  << "U&nzip to current folder"
                                  << "" << QRect(24, 456, 145, 25);
        QTest::newRow("Command4") << "Command4"
                                  << "E&xit"
                                  << "Exit this program." << QRect(568, 456, 65, 25);
        QTest::newRow("cmdSystem") << "cmdSystem"
                                   << "Ru&n "
                                   << "Run album *.exe file you just build." << QRect(512, 520, 65, 25);
    }
    void inventory()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QString, tooltip);
        QFETCH(QRect, geometry);
        StandIns standIns;
        app::MainWindow w;
        auto *control = w.client->findChild<QWidget *>(name);
        QVERIFY2(control, qPrintable(name));
        QCOMPARE(textOf(control), caption);
        QCOMPARE(control->toolTip(), tooltip);
        QCOMPARE(control->geometry(), geometry);
    }

    void windowAndFonts()
    {
        StandIns standIns;
        app::MainWindow w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Orvel Zip"));
        QCOMPARE(w.client->size(), QSize(649, 505));
        // A fixed size: nothing to maximise into.
        w.show();
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(w.font().family(), QStringLiteral("Arial"));
        QCOMPARE(w.Frame1->font().pointSizeF(), 11.25);
        QVERIFY(w.ZipStatus->font().bold());
        QCOMPARE(w.ProgressBar1->maximum(), 100);
        QCOMPARE(w.FileList->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(w.List1->selectionMode(), QAbstractItemView::SingleSelection);
        // Hidden fields lie below the client area.
        for (QWidget *hidden : std::initializer_list<QWidget *>{w.Text3, w.Text4, w.pas1, w.pas2, w.cmdSystem})
            QVERIFY2(hidden->y() >= 505, qPrintable(hidden->objectName()));
        QCOMPARE(w.pas1->focusPolicy(), Qt::NoFocus);
        QCOMPARE(w.pas2->focusPolicy(), Qt::NoFocus);
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
