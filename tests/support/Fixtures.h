// Real files and real tools for tests: trees to archive, and other zip
// programs to check what Orvel Zip writes and to write what it reads.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

namespace oz::test {

// Writes a file, making its folders.
void writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);

// Every file below a folder: relative path ('/' separated) -> content.
// Folders appear with a trailing '/' and empty content.
QMap<QString, QByteArray> tree(const QString &folder);

// A file of random bytes, which deflate cannot shrink: large enough that writing it takes many
// progress steps. Makes its folders.
void writeNoiseFile(const QString &path, int mebibytes);

// Deterministic, partly compressible content of the given size.
QByteArray sampleBytes(int size, int seed);

struct ToolResult {
    int exitCode = -1;
    QByteArray output; // standard output and error together
};

// True when the program is on PATH. When it is not, CI (the variable CI set) fails the test
// and a desk run is told what to install.
bool haveTool(const QString &program);
ToolResult runTool(const QString &program, const QStringList &arguments, const QString &workingFolder = {});

// Runs work with the file rights of an ordinary user, also when the tests run as root, whose
// file checks ignore permissions: a file of mode 000 or a folder of another owner refuses it
// then as it refuses the user.
void withUserRights(const std::function<void()> &work);

// Names in an archive, through the component.
QStringList entryNames(const QString &archive, const QString &password = {});

} // namespace oz::test
