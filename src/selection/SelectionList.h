// The selection list of a window: the multi-file picker that fills it, the
// tooltip, removal, clearing and the pinned count. The main window and the
// SFX window each own one, acting only on their own controls.
#pragma once

#include "platform/CommonDialog.h"

#include <QObject>

#include <functional>

class QListWidget;

namespace oz::widgets {
class PinnedField;
}

namespace oz::selection {

// The paths a file dialog's FileName names: one path, or after a multiple pick the folder and
// each file name, NUL-separated. Blanks are part of the names.
QStringList pickedPaths(const QString &fileName);

class SelectionList : public QObject {
    Q_OBJECT
public:
    SelectionList(QWidget *window, QListWidget *list, widgets::PinnedField *count);

    void FBrowse_Click();    // pick files
    void FileList_Click();   // first selected entry becomes the tooltip
    void FileRemove_Click(); // remove the selected entries
    void allClear_Click();   // clear the list
    void Text3_Change();     // keep the count

    // The full paths in the list, in order.
    QStringList paths() const;

    // Files dropped on the list join it; a dropped folder goes to this, as if picked as the
    // window's folder (nothing when unset).
    std::function<void(const QString &folder)> folderDropped;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

    platform::CommonDialog rDialog;

private:
    void refreshCount();
    void dropped(const QList<QUrl> &urls);

    QWidget *window_;
    QListWidget *list_;
    widgets::PinnedField *count_;
};

} // namespace oz::selection
