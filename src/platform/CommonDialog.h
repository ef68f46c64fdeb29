// The common file dialog: the properties the windows configure at each use,
// and its open and save operations, on top of QFileDialog.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace oz::platform {

// Dialog flags the windows pass; the others have no effect here.
namespace DialogFlags {
constexpr int OverwritePrompt = 0x2;
constexpr int HideReadOnly = 0x4;
constexpr int AllowMultiSelect = 0x200;
constexpr int FileMustExist = 0x1000;
constexpr int Explorer = 0x80000;
constexpr int LongNames = 0x200000;
} // namespace DialogFlags

struct DialogRequest {
    bool save = false;
    QString title;
    QString filter;          // as configured: "desc|pattern|desc|pattern"
    QStringList nameFilters; // the same, as Qt name filters
    QString fileName;
    QString initDir;
    QString defaultExt;
    int flags = 0;
    bool multiSelect = false;
    bool mustExist = false;
    bool overwritePrompt = false;
    bool offerAllFiles = false; // program pickers: programs here carry no extension
};

// Shows a dialog and returns the chosen full paths, or nothing when cancelled.
class DialogBackend {
public:
    virtual ~DialogBackend() = default;
    // filterIndex: the filter shown first (1-based) going in, the one chosen coming out.
    virtual std::optional<QStringList> run(QWidget *parent, const DialogRequest &request, int &filterIndex) = 0;
    // Asked after a save dialog when the name that will be written exists: true replaces it.
    virtual bool confirmOverwrite(QWidget *parent, const QString &path) = 0;
};

// Replaces the real dialogs (tests); nullptr restores them.
void setDialogBackend(DialogBackend *backend);

// Turns "desc|pattern|..." into Qt name filters; a description without a
// pattern, or the pattern "*.*", lists all files.
QStringList toNameFilters(const QString &filter);

class CommonDialog {
public:
    bool CancelError = false;
    QString DialogTitle;
    QString Filter;
    QString FileName;
    QString InitDir;
    int Flags = 0;
    int MaxFileSize = 260; // kept for the windows; no limit is imposed
    QString DefaultExt;
    // The filter shown first and, after a dialog, the one chosen (1-based). A name typed
    // without an extension in a save dialog gets the chosen filter's ("*.run" gives "run"),
    // else DefaultExt.
    int FilterIndex = 1;

    // Return false when the user cancelled and CancelError is set; with
    // CancelError clear a cancel returns true and leaves FileName as it was.
    // A multiple pick sets FileName to the folder and each file name,
    // separated by NUL characters; a single pick to the full path.
    bool ShowOpen(QWidget *parent);
    bool ShowSave(QWidget *parent);

private:
    bool show(QWidget *parent, bool save);
    QString withDefaultExtension(const QString &path) const;
    QString chosenExtension() const;
};

// The FileName of a multiple pick: the folder all the files lie in, then each file's path below
// it, NUL-separated. Files from several folders get the folder they share.
QString multiplePick(const QStringList &files);

} // namespace oz::platform
