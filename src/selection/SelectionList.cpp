#include "SelectionList.h"

#include "widgets/Controls.h"
#include "platform/MessageBox.h"

#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QListWidget>
#include <QMimeData>

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
    list_->setAcceptDrops(true);
    list_->viewport()->installEventFilter(this);
}

namespace {

// Local files and folders only: a link from a web page names nothing to archive.
bool carriesLocalPaths(const QMimeData *data)
{
    if (!data || !data->hasUrls())
        return false;
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl &u) { return u.isLocalFile(); });
}

} // namespace

bool SelectionList::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDropEvent *>(event);
        if (carriesLocalPaths(drag->mimeData())) {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        } else {
            drag->ignore();
        }
        return true;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        if (carriesLocalPaths(drop->mimeData())) {
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            dropped(drop->mimeData()->urls());
        }
        return true;
    }
    default: return QObject::eventFilter(watched, event);
    }
}

void SelectionList::dropped(const QList<QUrl> &urls)
{
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        const QFileInfo info(url.toLocalFile());
        if (info.isDir() && folderDropped)
            folderDropped(QDir::toNativeSeparators(info.absoluteFilePath()));
        else if (info.isFile())
            list_->addItem(QDir::toNativeSeparators(info.absoluteFilePath()));
    }
    refreshCount();
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
