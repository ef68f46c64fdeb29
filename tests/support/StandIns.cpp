#include "StandIns.h"

#include "platform/ProgramFolder.h"

#include <QDir>
#include <QFile>

namespace oz::test {

std::optional<QStringList> ScriptedDialogs::run(QWidget *, const platform::DialogRequest &request, int &filterIndex)
{
    requests.push_back(request);
    if (answers_.empty()) {
        ++unexpected;
        return std::nullopt;
    }
    std::optional<QStringList> answer;
    answer.swap(answers_.front());
    answers_.pop_front();
    if (const auto it = filters_.find(taken_); it != filters_.end())
        filterIndex = it->second;
    ++taken_;
    return answer;
}

bool ScriptedDialogs::confirmOverwrite(QWidget *, const QString &path)
{
    overwriteAsked.append(path);
    if (overwriteAnswers_.empty())
        return true;
    const bool replace = overwriteAnswers_.front();
    overwriteAnswers_.pop_front();
    return replace;
}

platform::ReplaceChoice ScriptedReplace::ask(QWidget *, const platform::ReplaceFacts &facts, const QString &text)
{
    asked.push_back(facts);
    texts.append(text);
    if (answers_.empty()) {
        ++unexpected;
        return platform::ReplaceChoice::Stop;
    }
    const platform::ReplaceChoice choice = answers_.front();
    answers_.pop_front();
    return choice;
}

QStringList RecordingMessages::texts() const
{
    QStringList out;
    for (const auto &m : shown)
        out.append(m.text);
    return out;
}

bool RecordingShell::startDetached(const QString &program, const QStringList &arguments)
{
    starts.push_back({program, arguments});
    return canStart && !program.isEmpty();
}

StandIns::StandIns()
{
    platform::setDialogBackend(&dialogs);
    platform::setMessageBackend(&messages);
    platform::setShellBackend(&shell);
    platform::setReplaceBackend(&replace);
    platform::setProgramFolderForTesting(program_.path());
    // What ships beside the program in the build tree.
    QDir().mkpath(program_.filePath(QStringLiteral("icons")));
    QFile::copy(QStringLiteral(OZ_RESOURCES "/orvelziphelp.html"),
                program_.filePath(QStringLiteral("orvelziphelp.html")));
    QFile::copy(QStringLiteral(OZ_RESOURCES "/icons/oz.ico"), program_.filePath(QStringLiteral("icons/oz.ico")));
}

StandIns::~StandIns()
{
    platform::setDialogBackend(nullptr);
    platform::setMessageBackend(nullptr);
    platform::setShellBackend(nullptr);
    platform::setReplaceBackend(nullptr);
    platform::setProgramFolderForTesting(QString());
}

} // namespace oz::test

namespace oz::test {

namespace {
LogCapture *activeCapture = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Every capture in force sees the line, innermost first.
    for (LogCapture *c = activeCapture; c; c = c->outer) {
        if (context.category && QByteArray(context.category) == c->category)
            c->lines.append(message);
    }
    LogCapture *outermost = activeCapture;
    while (outermost && outermost->outer)
        outermost = outermost->outer;
    if (outermost && outermost->previous)
        outermost->previous(type, context, message);
}
} // namespace

LogCapture::LogCapture(const char *categoryName) : category(categoryName), outer(activeCapture)
{
    previous = qInstallMessageHandler(capture);
    activeCapture = this;
}

LogCapture::~LogCapture()
{
    activeCapture = outer;
    qInstallMessageHandler(previous);
}

QStringList LogCapture::operations() const
{
    QStringList out;
    for (const QString &line : lines)
        out.append(line.section(u' ', 0, 0));
    return out;
}

} // namespace oz::test
