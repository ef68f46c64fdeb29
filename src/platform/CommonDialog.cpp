#include "CommonDialog.h"

#include "Log.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>

namespace oz::platform {

namespace {

class QtDialogBackend : public DialogBackend {
public:
    std::optional<QStringList> run(QWidget *parent, const DialogRequest &r, int &filterIndex) override
    {
        QFileDialog dialog(parent, r.title, r.initDir);
        dialog.setNameFilters(r.nameFilters);
        if (filterIndex >= 1 && filterIndex <= r.nameFilters.size())
            dialog.selectNameFilter(r.nameFilters[filterIndex - 1]);
        // The extension and the overwrite question come after the dialog, so that the question
        // concerns the name that will be written.
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
        if (r.save) {
            dialog.setAcceptMode(QFileDialog::AcceptSave);
            dialog.setFileMode(QFileDialog::AnyFile);
        } else {
            dialog.setAcceptMode(QFileDialog::AcceptOpen);
            dialog.setFileMode(r.multiSelect     ? QFileDialog::ExistingFiles
                                   : r.mustExist ? QFileDialog::ExistingFile
                                                 : QFileDialog::AnyFile);
        }
        if (!r.fileName.isEmpty())
            dialog.selectFile(r.fileName);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        filterIndex = static_cast<int>(r.nameFilters.indexOf(dialog.selectedNameFilter())) + 1;
        return dialog.selectedFiles();
    }

    bool confirmOverwrite(QWidget *parent, const QString &path) override
    {
        qCInfo(lcUi).noquote() << "question: replace" << path;
        return QMessageBox::question(
                   parent, QStringLiteral("Orvel Zip"),
                   QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(QDir::toNativeSeparators(path)),
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            == QMessageBox::Yes;
    }
};

DialogBackend *installedDialogs = nullptr;

DialogBackend &dialogBackend()
{
    static QtDialogBackend real;
    return installedDialogs ? *installedDialogs : real;
}

} // namespace

void setDialogBackend(DialogBackend *b)
{
    installedDialogs = b;
}

QStringList toNameFilters(const QString &filter)
{
    static const QRegularExpression trailingPattern(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    const QStringList parts = filter.split(u'|');
    QStringList out;
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        QString pattern = i + 1 < parts.size() ? parts[i + 1].trimmed() : QString();
        // Qt reads the patterns from the description's parentheses, where
        // "*.*" would leave out names without a dot: all files is "*".
        if (pattern.isEmpty() || pattern == u"*.*")
            pattern = QStringLiteral("*");
        pattern.replace(u';', u' ');
        description.remove(trailingPattern);
        if (description.isEmpty())
            description = QStringLiteral("Files");
        out.append(QStringLiteral("%1 (%2)").arg(description, pattern));
    }
    return out;
}

bool CommonDialog::ShowOpen(QWidget *parent)
{
    return show(parent, false);
}

bool CommonDialog::ShowSave(QWidget *parent)
{
    return show(parent, true);
}

bool CommonDialog::show(QWidget *parent, bool save)
{
    DialogRequest r;
    r.save = save;
    r.title = DialogTitle;
    r.filter = Filter;
    r.nameFilters = toNameFilters(Filter);
    r.fileName = FileName;
    r.initDir = InitDir;
    r.defaultExt = DefaultExt;
    r.flags = Flags;
    r.multiSelect = !save && (Flags & DialogFlags::AllowMultiSelect);
    r.mustExist = !save && (Flags & DialogFlags::FileMustExist);
    r.overwritePrompt = save && (Flags & DialogFlags::OverwritePrompt);
    r.offerAllFiles = Filter.contains(QStringLiteral("*.exe"), Qt::CaseInsensitive) && !save;
    if (r.offerAllFiles)
        r.nameFilters.append(QStringLiteral("All files (*)"));
    qCInfo(lcUi).noquote() << (save ? "dialog save" : "dialog open") << QStringLiteral("\"%1\"").arg(DialogTitle);

    for (;;) {
        int filter = FilterIndex;
        const std::optional<QStringList> chosen = dialogBackend().run(parent, r, filter);
        if (filter >= 1)
            FilterIndex = filter;
        if (!chosen || chosen->isEmpty())
            return !CancelError;
        QStringList files = *chosen;
        if (save) {
            for (QString &f : files)
                f = withDefaultExtension(f);
            // A "no" goes back to the dialog, as a save dialog's own question would.
            if (r.overwritePrompt && QFileInfo::exists(files.first())
                && !dialogBackend().confirmOverwrite(parent, files.first())) {
                r.fileName = files.first();
                continue;
            }
        }
        FileName = files.size() == 1 ? QDir::toNativeSeparators(files.first()) : multiplePick(files);
        return true;
    }
}

QString CommonDialog::chosenExtension() const
{
    const QStringList parts = Filter.split(u'|');
    const qsizetype at = 2 * (FilterIndex - 1) + 1;
    if (FilterIndex >= 1 && at < parts.size()) {
        static const QRegularExpression oneExtension(QStringLiteral("^\\*\\.([A-Za-z0-9]+)$"));
        const QRegularExpressionMatch m = oneExtension.match(parts[at].trimmed());
        if (m.hasMatch())
            return m.captured(1);
    }
    return DefaultExt;
}

QString CommonDialog::withDefaultExtension(const QString &path) const
{
    const QString extension = chosenExtension();
    if (extension.isEmpty() || !QFileInfo(path).suffix().isEmpty())
        return path;
    // "name." asks for the extension after its dot, not after a second one.
    return path.endsWith(u'.') ? path + extension : path + u'.' + extension;
}

QString multiplePick(const QStringList &files)
{
    QString folder = QFileInfo(files.first()).absolutePath();
    for (const QString &f : files) {
        while (folder != u"/" && !QFileInfo(f).absoluteFilePath().startsWith(folder + u'/'))
            folder = QFileInfo(folder).absolutePath();
    }
    QStringList parts{QDir::toNativeSeparators(folder)};
    const QDir base(folder);
    for (const QString &f : files)
        parts.append(QDir::toNativeSeparators(base.relativeFilePath(QFileInfo(f).absoluteFilePath())));
    return parts.join(QChar(0));
}

} // namespace oz::platform
