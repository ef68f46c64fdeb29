#include "Fixtures.h"

#include "archive/ArchiveComponent.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>

#include <sys/fsuid.h>
#include <unistd.h>

namespace oz::test {

void writeNoiseFile(const QString &path, int mebibytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < mebibytes; ++i) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        if (f.write(chunk) != chunk.size())
            qFatal("cannot write %s", qPrintable(path));
    }
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

QMap<QString, QByteArray> tree(const QString &folder)
{
    QMap<QString, QByteArray> out;
    const QDir root(folder);
    QDirIterator it(folder, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString rel = root.relativeFilePath(path);
        if (info.isDir() && !info.isSymLink())
            out.insert(rel + u'/', QByteArray());
        else
            out.insert(rel, readFile(path));
    }
    return out;
}

QByteArray sampleBytes(int size, int seed)
{
    QByteArray out;
    out.reserve(size);
    quint32 state = 2166136261u ^ static_cast<quint32>(seed);
    static const char words[] = "orvel zip archive deflate folder entry ";
    while (out.size() < size) {
        state = state * 1664525u + 1013904223u;
        if ((state >> 28) < 10)
            out.append(words + (state >> 8) % 30, 8);
        else
            out.append(static_cast<char>(state >> 16));
    }
    out.truncate(size);
    return out;
}

bool haveTool(const QString &program)
{
    if (!QStandardPaths::findExecutable(program).isEmpty())
        return true;
    // A check left out in CI would pass unseen, so there a missing tool ends the test; at a
    // desk the test goes on without it and says once what would bring it.
    const QByteArray why = program.toUtf8() + " is not installed: scripts/install-deps.sh installs it";
    if (qEnvironmentVariableIsSet("CI"))
        qFatal("%s", why.constData());
    static QSet<QString> told;
    if (!told.contains(program)) {
        told.insert(program);
        qWarning("SKIPPED checks: %s", why.constData());
    }
    return false;
}

ToolResult runTool(const QString &program, const QStringList &arguments, const QString &workingFolder)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(program, arguments);
    ToolResult result;
    if (!process.waitForStarted(10000))
        return result;
    process.closeWriteChannel();
    process.waitForFinished(120000);
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = process.readAll();
    return result;
}

QStringList entryNames(const QString &archive, const QString &password)
{
    archive::ArchiveComponent zip;
    zip.SetPassword(password);
    zip.OpenZip(archive);
    archive::EntrySet set = zip.GetEntries();
    QStringList names;
    while (set.HasMoreEntries())
        names.append(set.GetNextEntry().GetEntryName());
    return names;
}

void withUserRights(const std::function<void()> &work)
{
    if (::geteuid() != 0) {
        work();
        return;
    }
    // The threads the work starts take these rights from the thread that starts them.
    const uid_t nobody = 65534;
    ::setfsgid(nobody);
    ::setfsuid(nobody);
    work();
    ::setfsuid(0);
    ::setfsgid(0);
}

} // namespace oz::test
