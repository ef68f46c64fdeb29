#include "CommonDialog.h"

#include "Log.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>

namespace oz::platform {

namespace {

class QtDialogBackend : public DialogBackend {
public:
    std::optional<QStringList> run(QWidget *parent, const DialogRequest &r) override
    {
        QFileDialog dialog(parent, r.title, r.initDir);
        dialog.setNameFilters(r.nameFilters);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, !r.overwritePrompt);
        if (!r.defaultExt.isEmpty())
            dialog.setDefaultSuffix(r.defaultExt);
        if (r.save) {
            dialog.setAcceptMode(QFileDialog::AcceptSave);
            dialog.setFileMode(QFileDialog::AnyFile);
        } else {
            dialog.setAcceptMode(QFileDialog::AcceptOpen);
            dialog.setFileMode(r.multiSelect ? QFileDialog::ExistingFiles
                                             : r.mustExist ? QFileDialog::ExistingFile
                                                           : QFileDialog::AnyFile);
        }
        if (!r.fileName.isEmpty())
            dialog.selectFile(r.fileName);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.selectedFiles();
    }
};

DialogBackend *installedBackend = nullptr;

DialogBackend &backend()
{
    static QtDialogBackend real;
    return installedBackend ? *installedBackend : real;
}

} // namespace

void setDialogBackend(DialogBackend *b)
{
    installedBackend = b;
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

    const std::optional<QStringList> chosen = backend().run(parent, r);
    if (!chosen || chosen->isEmpty())
        return !CancelError;

    QStringList files = *chosen;
    if (save && !DefaultExt.isEmpty()) {
        for (QString &f : files) {
            if (QFileInfo(f).suffix().isEmpty())
                f += u'.' + DefaultExt;
        }
    }
    if (files.size() == 1) {
        FileName = QDir::toNativeSeparators(files.first());
        return true;
    }
    // Several files: the folder, then each name, NUL-separated, as the
    // windows expect from a multiple pick.
    const QString folder = QDir::toNativeSeparators(QFileInfo(files.first()).absolutePath());
    QStringList parts{folder};
    for (const QString &f : files)
        parts.append(QFileInfo(f).fileName());
    FileName = parts.join(QChar(0));
    return true;
}

} // namespace oz::platform
