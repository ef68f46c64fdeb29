#include "FolderPicker.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>

namespace oz::selection {

QString FolderPicker::GetFolder(const QString &path)
{
    const qsizetype last = path.lastIndexOf(QDir::separator());
    return last < 0 ? path : path.left(last);
}

std::optional<QString> FolderPicker::pick()
{
    // Every failure of the dialog is ignored; only the name tells the outcome.
    unziptofolder.CancelError = true;
    unziptofolder.DialogTitle = QStringLiteral("Select the required folder");
    unziptofolder.InitDir = gFolderPath;
    unziptofolder.Filter = QStringLiteral("folder");
    unziptofolder.FileName = QString::fromLatin1(placeholder);
    unziptofolder.Flags = 0;
    unziptofolder.ShowOpen(window_);
    if (unziptofolder.FileName == QLatin1String(placeholder))
        return std::nullopt;
    gFolderPath = GetFolder(unziptofolder.FileName) + QDir::separator();
    return gFolderPath;
}

std::optional<QString> FolderPicker::pickDestination()
{
    if (!pick())
        return std::nullopt;
    const QFileInfo typed(unziptofolder.FileName);
    if (!typed.isFile() && typed.fileName() != QLatin1String(placeholder)) // "ex1" typed in out/: out/ex1/
        gFolderPath = QDir::toNativeSeparators(typed.absoluteFilePath()) + QDir::separator();
    return gFolderPath;
}

void FolderPicker::zipfolder_Click(QLineEdit *zdir)
{
    if (const auto folder = pick())
        zdir->setText(*folder);
}

void FolderPicker::clearFolderBox(QLineEdit *zdir)
{
    zdir->clear();
}

} // namespace oz::selection
