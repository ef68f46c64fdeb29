// The question asked before extraction replaces a file that is there already: the file's path,
// the sizes and times of both files, and five answers. Each question and answer is logged.
#pragma once

#include <QDateTime>
#include <QString>

class QWidget;

namespace oz::platform {

enum class ReplaceChoice { Replace, ReplaceAll, Keep, KeepAll, Stop };

struct ReplaceFacts {
    QString path;
    qint64 size = -1; // of the file on disk; -1 where unknown
    QDateTime modified;
    qint64 newSize = -1; // of the entry that would replace it
    QDateTime newModified;
};

class ReplaceBackend {
public:
    virtual ~ReplaceBackend() = default;
    virtual ReplaceChoice ask(QWidget *parent, const ReplaceFacts &facts, const QString &text) = 0;
};

// Replaces the real question (tests); nullptr restores it.
void setReplaceBackend(ReplaceBackend *backend);

// The question as the user reads it.
QString replaceText(const ReplaceFacts &facts);

// The buttons, in the order shown.
QString choiceName(ReplaceChoice choice);

ReplaceChoice askReplace(QWidget *parent, const ReplaceFacts &facts);

} // namespace oz::platform
