#include "SelectionList.h"

#include "widgets/Controls.h"
#include "platform/MessageBox.h"

#include <QDir>
#include <QListWidget>

namespace oz::selection {

QStringList pickedPaths(const QString &fileName)
{
    // A blank at either end is part of a name here: nothing is trimmed.
    const QString &text = fileName;
    if (!text.contains(QChar(0)))
        return {text};
    // Several files: the folder, then each name, NUL-separated.
    const QStringList parts = text.split(QChar(0));
    QString folder = parts.first();
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    QStringList out;
    // Past the folder part; the empty end of a NUL-terminated list names nothing.
    for (qsizetype i = 1; i < parts.size(); ++i) {
        if (!parts[i].isEmpty())
            out << folder + parts[i];
    }
    return out;
}

SelectionList::SelectionList(QWidget *window, QListWidget *list, widgets::PinnedField *count)
    : QObject(window), window_(window), list_(list), count_(count)
{
    widgets::onListClick(list_, [this] { FileList_Click(); });
    connect(count_, &widgets::PinnedField::changed, this, &SelectionList::Text3_Change);
}

void SelectionList::FBrowse_Click()
{
    rDialog.CancelError = true;
    rDialog.DialogTitle = QStringLiteral("Select Files for Orvel Zip");
    rDialog.Filter = QStringLiteral("Files (*.*)  ");
    rDialog.FileName = QString();
    rDialog.Flags = platform::DialogFlags::LongNames | platform::DialogFlags::Explorer
        | platform::DialogFlags::FileMustExist | platform::DialogFlags::AllowMultiSelect
        | platform::DialogFlags::HideReadOnly;
    rDialog.MaxFileSize = 5200;
    if (!rDialog.ShowOpen(window_))
        return;

    list_->addItems(pickedPaths(rDialog.FileName));
    refreshCount();
}

void SelectionList::FileList_Click()
{
    widgets::showFirstSelectedAsTooltip(list_);
}

void SelectionList::FileRemove_Click()
{
    if (list_->count() == 0)
        return;
    const qsizetype selected = list_->selectedItems().size();
    for (qsizetype pass = 0; pass < selected; ++pass) {
        if (!list_->currentItem())
            continue;
        for (int i = 0; i < list_->count(); ++i) {
            if (list_->item(i)->isSelected()) {
                delete list_->takeItem(i);
                break;
            }
        }
    }
    if (list_->count() > 0)
        list_->item(list_->count() - 1)->setSelected(true);
    refreshCount();
}

void SelectionList::allClear_Click()
{
    if (list_->count() == 0) {
        platform::showMessage(window_, QStringLiteral("Nothing is in the list box!"), QStringLiteral("Orvel Zip"),
                              platform::MsgIcon::Exclamation);
        return;
    }
    list_->clear();
    refreshCount();
}

void SelectionList::Text3_Change()
{
    count_->repin();
}

void SelectionList::refreshCount()
{
    count_->setText(QString::number(list_->count()));
    count_->repin();
}

QStringList SelectionList::paths() const
{
    QStringList out;
    for (int i = 0; i < list_->count(); ++i)
        out.append(list_->item(i)->text());
    return out;
}

} // namespace oz::selection
