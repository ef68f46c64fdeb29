// Stand-ins for the platform services, installed for the life of a test:
// dialogs answer from a script, message boxes and the shell are recorded,
// and the program folder is a fresh temporary folder.
#pragma once

#include "platform/CommonDialog.h"
#include "platform/MessageBox.h"
#include "platform/ReplaceQuestion.h"
#include "platform/Shell.h"

#include <QTemporaryDir>

#include <deque>
#include <map>
#include <vector>

namespace oz::test {

class ScriptedDialogs : public platform::DialogBackend {
public:
    // The next dialog returns these full paths (one for a single pick).
    void pick(const QStringList &paths) { answers_.push_back(paths); }
    void pick(const QString &path) { answers_.push_back(QStringList{path}); }
    // A single pick with the filter the user chose (1-based).
    void pick(const QString &path, int filterIndex)
    {
        answers_.push_back(QStringList{path});
        filters_[answers_.size() - 1 + taken_] = filterIndex;
    }
    void cancel() { answers_.push_back(std::nullopt); }

    std::optional<QStringList> run(QWidget *parent, const platform::DialogRequest &request, int &filterIndex) override;
    // The overwrite question answers yes unless told otherwise for its next askings.
    bool confirmOverwrite(QWidget *parent, const QString &path) override;
    void answerOverwrite(bool replace) { overwriteAnswers_.push_back(replace); }

    std::vector<platform::DialogRequest> requests;
    QStringList overwriteAsked; // the paths the overwrite question named
    int unexpected = 0;         // dialogs shown with no scripted answer left
    bool exhausted() const { return answers_.empty(); }

private:
    std::deque<std::optional<QStringList>> answers_;
    std::map<std::size_t, int> filters_; // by the answer's number, counted from the first
    std::size_t taken_ = 0;
    std::deque<bool> overwriteAnswers_;
};

// Answers the question about a file that exists from a script, recording what it was shown.
class ScriptedReplace : public platform::ReplaceBackend {
public:
    void answer(platform::ReplaceChoice choice) { answers_.push_back(choice); }
    platform::ReplaceChoice ask(QWidget *, const platform::ReplaceFacts &facts, const QString &text) override;

    std::vector<platform::ReplaceFacts> asked;
    QStringList texts;
    int unexpected = 0; // questions with no scripted answer left: they answer Stop

private:
    std::deque<platform::ReplaceChoice> answers_;
};

struct Message {
    QString text;
    QString title;
    platform::MsgIcon icon;
};

class RecordingMessages : public platform::MessageBackend {
public:
    void show(QWidget *, const QString &text, const QString &title, platform::MsgIcon icon) override
    {
        shown.push_back({text, title, icon});
    }
    std::vector<Message> shown;
    QStringList texts() const;
};

class RecordingShell : public platform::ShellBackend {
public:
    struct Start {
        QString program;
        QStringList arguments;
    };
    bool startDetached(const QString &program, const QStringList &arguments) override;
    void openUrl(const QUrl &url) override { urls.push_back(url); }
    bool openFile(const QString &path) override
    {
        opened.push_back(path);
        return canStart;
    }
    void endProgram() override { ++ends; }

    bool canStart = true;
    std::vector<Start> starts;
    std::vector<QUrl> urls;
    QStringList opened; // files given to the desktop's default application
    int ends = 0;
};

// Collects the log lines of one category while it lives (the component's
// operations are logged under orvelzip.archive, one line each).
class LogCapture {
public:
    explicit LogCapture(const char *category);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // The first word of each line: the operation's name.
    QStringList operations() const;

    QByteArray category;
    QStringList lines;
    LogCapture *outer;
    QtMessageHandler previous = nullptr;
};

class StandIns {
public:
    StandIns();
    ~StandIns();
    StandIns(const StandIns &) = delete;
    StandIns &operator=(const StandIns &) = delete;

    QString programFolder() const { return program_.path(); }

    ScriptedDialogs dialogs;
    RecordingMessages messages;
    RecordingShell shell;
    ScriptedReplace replace;

private:
    QTemporaryDir program_;
};

} // namespace oz::test
