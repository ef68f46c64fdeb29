// The file-system services the windows use. Wildcards follow the archive
// component's rules and apply to the file name part of a path.
#pragma once

#include <QString>

namespace oz::platform::FileSystem {

bool folderExists(const QString &path);
bool fileExists(const QString &path);

// Deletes the files (not folders) matching folder/wildcard, read-only ones too.
// False when nothing matched or a file could not be deleted.
bool deleteFiles(const QString &wildcardPath, QString *error = nullptr);

// Copies one file; with overwrite an existing target is replaced. The copy
// appears under its name only when complete, so a failed copy never leaves a
// part file. It keeps the permission bits, never set-user or set-group ones.
bool copyFile(const QString &source, const QString &target, bool overwrite, QString *error = nullptr);

// Copies the files matching folder/wildcard into a folder; false when nothing matched or a copy
// failed (matched tells which).
bool copyFiles(const QString &wildcardSource, const QString &targetFolder, bool overwrite, QString *error = nullptr,
               int *matched = nullptr);

// Creates one folder level.
bool createFolder(const QString &path, QString *error = nullptr);

// The system's words for an error number (errno), for a message.
QString systemText(int err);

} // namespace oz::platform::FileSystem
