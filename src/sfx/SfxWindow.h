// The SFX window: what a self-extracting executable is built from (files, a
// folder, an icon, a program to run) and the two build buttons.
#pragma once

#include "SfxDesk.h"
#include "platform/CommonDialog.h"
#include "selection/FolderPicker.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace oz::widgets {
class PinnedField;
}
namespace oz::selection {
class SelectionList;
}

namespace oz::sfx {

class SfxWindow : public QWidget {
    Q_OBJECT
public:
    SfxWindow(QWidget *owner, SfxDesk &desk);

    SfxDesk &desk() { return desk_; }
    selection::SelectionList &selection() { return *selection_; }
    selection::FolderPicker &folders() { return folders_; }

    QPushButton *FBrowse, *FileRemove, *allClear, *zipfolder, *Command4, *Iconsel, *iconlistRem;
    QPushButton *Createalbum, *Command3, *Mp3, *Command1, *Command2, *Command5, *Exit;
    QListWidget *FileList;
    QLineEdit *zdir, *iconlist, *mp3text, *pas1, *pas2;
    widgets::PinnedField *Text3, *Text4;

    platform::CommonDialog SaveDialog, iconselect, Mp3Dialog;

public slots:
    void Form_Load();
    void Iconsel_Click();
    void iconlistRem_Click();
    void Mp3_Click();
    void Command1_Click();
    void Command3_Click();
    void Command5_Click();
    void Exit_Click();
    void Createalbum_Click(); // model 1
    void Command2_Click();    // model 2

private:
    void buildSelectionFrame();
    void buildModelFrames();
    void buildHiddenFields();
    void connectHandlers();

    SfxDesk &desk_;
    selection::SelectionList *selection_;
    selection::FolderPicker folders_;
};

} // namespace oz::sfx
