// The selection list and the folder picker, driven through the main window.
#include "widgets/Controls.h"
#include "app/WindowRegistry.h"
#include "app/MainWindow.h"
#include "selection/FolderPicker.h"
#include "selection/SelectionList.h"
#include "sfx/SfxWindow.h"
#include "support/Fixtures.h"
#include "support/StandIns.h"

#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace oz;
using namespace oz::test;
using selection::FolderPicker;

namespace {
QStringList entries(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}
} // namespace

class SelectionTest : public QObject {
    Q_OBJECT
private slots:
    void pickingFiles()
    {
        StandIns s;
        app::MainWindow w;
        s.dialogs.pick("/data/a.txt");
        w.FBrowse->click();
        QCOMPARE(entries(w.FileList), QStringList({"/data/a.txt"}));
        QCOMPARE(w.Text3->text(), QStringLiteral("1"));
        const auto &r = s.dialogs.requests.back();
        QCOMPARE(r.title, QStringLiteral("Select Files for Orvel Zip"));
        QCOMPARE(r.filter, QStringLiteral("Files (*.*)  "));
        QCOMPARE(r.flags, 2626052);
        QVERIFY(r.multiSelect && r.mustExist);
        QCOMPARE(r.fileName, QString());

        // Several at once, in the dialog's order; the menu item does the same.
        s.dialogs.pick(QStringList{"/data/b.txt", "/data/c.txt"});
        w.mnuSelectFiles->trigger();
        // Two files of the root get one separator.
        s.dialogs.pick(QStringList{"/r1.txt", "/r2.txt"});
        w.FBrowse->click();
        // The same file twice is two entries.
        s.dialogs.pick("/data/a.txt");
        w.FBrowse->click();
        QCOMPARE(entries(w.FileList),
                 QStringList({"/data/a.txt", "/data/b.txt", "/data/c.txt", "/r1.txt", "/r2.txt", "/data/a.txt"}));
        QCOMPARE(w.Text3->text(), QStringLiteral("6"));

        // Cancelling changes nothing.
        w.FileList->setToolTip("kept");
        s.dialogs.cancel();
        w.FBrowse->click();
        QCOMPARE(w.FileList->count(), 6);
        QCOMPARE(w.Text3->text(), QStringLiteral("6"));
        QCOMPARE(w.FileList->toolTip(), QStringLiteral("kept"));
        QVERIFY(s.messages.shown.empty());
    }

    // Files of two folders that share names, and names with blanks at their ends: each entry is
    // the picked file's own full path, on both windows.
    void picksKeepEachFilesRealPath()
    {
        StandIns s;
        app::MainWindow w;
        const QStringList picked{"/d1/x.txt", "/d2/x.txt", "/d2/deeper/y.txt", "/d1/ends in a blank "};
        s.dialogs.pick(picked);
        w.FBrowse->click();
        QCOMPARE(entries(w.FileList), picked);
        sfx::SfxWindow *sfxWindow = w.windows().sfx();
        s.dialogs.pick(picked);
        sfxWindow->FBrowse->click();
        QCOMPARE(entries(sfxWindow->FileList), picked);
    }

    void largePickIsNotCut()
    {
        StandIns s;
        app::MainWindow w;
        QStringList many;
        for (int i = 0; i < 600; ++i)
            many << QStringLiteral("/photos/holiday-picture-number-%1.jpg").arg(i);
        s.dialogs.pick(many);
        w.FBrowse->click();
        QCOMPARE(w.FileList->count(), 600);
        QCOMPARE(w.Text3->text(), QStringLiteral("600"));
    }

    void removingSelectedEntries()
    {
        StandIns s;
        app::MainWindow w;
        s.dialogs.pick(QStringList{"/d/0", "/d/1", "/d/2", "/d/3", "/d/4"});
        w.FBrowse->click();
        w.FileList->setCurrentRow(0, QItemSelectionModel::NoUpdate);
        w.FileList->item(1)->setSelected(true);
        w.FileList->item(3)->setSelected(true);
        w.FileRemove->click();
        QCOMPARE(entries(w.FileList), QStringList({"/d/0", "/d/2", "/d/4"}));
        QVERIFY(w.FileList->item(2)->isSelected());
        QCOMPARE(w.Text3->text(), QStringLiteral("3"));

        // Nothing selected: nothing removed, the last entry selected.
        w.FileList->clearSelection();
        w.FileRemove->click();
        QCOMPARE(w.FileList->count(), 3);
        QVERIFY(w.FileList->item(2)->isSelected());
        QCOMPARE(w.Text3->text(), QStringLiteral("3"));
    }

    void emptyListAndClearing()
    {
        StandIns s;
        app::MainWindow w;
        w.FileRemove->click();
        QTest::mouseClick(w.FileList->viewport(), Qt::LeftButton);
        QVERIFY(s.messages.shown.empty());
        w.allClear->click();
        QCOMPARE(s.messages.texts(), QStringList({"Nothing is in the list box!"}));
        QCOMPARE(s.messages.shown[0].title, QStringLiteral("Orvel Zip"));
        QCOMPARE(s.messages.shown[0].icon, platform::MsgIcon::Exclamation);

        s.dialogs.pick(QStringList{"/d/a", "/d/b"});
        w.FBrowse->click();
        w.FileList->setToolTip("/d/a");
        w.allClear->click();
        QCOMPARE(w.FileList->count(), 0);
        QCOMPARE(w.Text3->text(), QStringLiteral("0"));
        QCOMPARE(w.FileList->toolTip(), QStringLiteral("/d/a"));
        QCOMPARE(s.messages.shown.size(), std::size_t(1));
    }

    // What the list holds when the build runs is what the archive holds: a removed entry is not
    // zipped, and a cleared list builds nothing.
    void theListIsWhatIsZipped()
    {
        StandIns s;
        QTemporaryDir data;
        for (const char *name : {"keep.txt", "drop.txt", "also.txt"})
            writeFile(data.filePath(name), QByteArray(name) + " content");
        app::MainWindow w;
        w.show();
        s.dialogs.pick(QStringList{data.filePath("keep.txt"), data.filePath("drop.txt"), data.filePath("also.txt")});
        w.FBrowse->click();
        QTest::mouseClick(w.FileList->viewport(), Qt::LeftButton, {},
                          w.FileList->visualItemRect(w.FileList->item(1)).center());
        w.FileRemove->click();
        s.dialogs.pick(data.filePath("two.zip"));
        w.wwwbook->click();
        QStringList names = entryNames(data.filePath("two.zip"));
        names.sort();
        QCOMPARE(names, QStringList({"also.txt", "keep.txt"}));

        w.allClear->click();
        w.wwwbook->click();
        QCOMPARE(s.messages.texts().last(), QStringLiteral("File or folder not selected"));
        QCOMPARE(QDir(data.path()).entryList({"*.zip"}), QStringList({"two.zip"}));
    }

    void tooltipShowsTheFirstSelectedEntry()
    {
        StandIns s;
        app::MainWindow w;
        w.show();
        s.dialogs.pick(QStringList{"/d/a", "/d/b", "/d/c"});
        w.FBrowse->click();
        const QRect second = w.FileList->visualItemRect(w.FileList->item(1));
        QTest::mouseClick(w.FileList->viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(w.FileList->toolTip(), QStringLiteral("/d/b"));
        w.FileList->clearSelection();
        w.selection().FileList_Click();
        QCOMPARE(w.FileList->toolTip(), QStringLiteral("/d/b"));
    }

    void getFolder()
    {
        QCOMPARE(FolderPicker::GetFolder("/data/a.txt"), QStringLiteral("/data"));
        QCOMPARE(FolderPicker::GetFolder("/a.txt"), QString());
        QCOMPARE(FolderPicker::GetFolder("a.txt"), QStringLiteral("a.txt"));
        QCOMPARE(FolderPicker::GetFolder(""), QString());
    }

    void choosingTheFolderToZip()
    {
        StandIns s;
        app::MainWindow w;
        s.dialogs.pick("/data/Select Folder and click Open");
        w.zipfolder->click();
        QCOMPARE(w.zdir->text(), QStringLiteral("/data/"));
        QCOMPARE(w.folders().gFolderPath, QStringLiteral("/data/"));
        const auto &first = s.dialogs.requests.back();
        QCOMPARE(first.title, QStringLiteral("Select the required folder"));
        QCOMPARE(first.filter, QStringLiteral("folder"));
        QCOMPARE(first.fileName, QStringLiteral("Select Folder and click Open"));
        QCOMPARE(first.initDir, QString());
        QVERIFY(!first.mustExist && !first.multiSelect);

        // An existing file picked in a folder chooses that folder; the next
        // pick starts where the last ended.
        s.dialogs.pick("/data/photos/x.jpg");
        w.zipfolder->click();
        QCOMPARE(s.dialogs.requests.back().initDir, QStringLiteral("/data/"));
        QCOMPARE(w.zdir->text(), QStringLiteral("/data/photos/"));

        // The root keeps one separator.
        s.dialogs.pick("/Select Folder and click Open");
        w.zipfolder->click();
        QCOMPARE(w.zdir->text(), QStringLiteral("/"));

        // Cancel changes nothing; clearing keeps the remembered folder.
        s.dialogs.cancel();
        w.zipfolder->click();
        QCOMPARE(w.zdir->text(), QStringLiteral("/"));
        w.Command6->click();
        QCOMPARE(w.zdir->text(), QString());
        s.dialogs.cancel();
        w.zipfolder->click();
        QCOMPARE(s.dialogs.requests.back().initDir, QStringLiteral("/"));
        QVERIFY(s.messages.shown.empty());
    }
};

QTEST_MAIN(SelectionTest)
#include "test_selection.moc"
