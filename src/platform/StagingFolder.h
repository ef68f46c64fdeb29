// Where a build stages the files it copies: a folder of its own inside the working folder, that
// only its owner may enter and that goes, with all it holds, when the build ends. Files meant
// for an encrypted archive must not lie about readable after it.
#pragma once

#include <QString>

namespace oz::platform {

class StagingFolder {
public:
    // Makes the folder inside parent (parent too, when a cleaner removed it).
    explicit StagingFolder(const QString &parent);
    ~StagingFolder();
    StagingFolder(const StagingFolder &) = delete;
    StagingFolder &operator=(const StagingFolder &) = delete;

    bool isValid() const { return !path_.isEmpty(); }
    QString path() const { return path_; }
    QString error() const { return error_; }

    // Puts source into the folder under name: a hard link where the file system allows one,
    // else a copy (a reflink where possible). A link is the file itself, so its mode and time
    // are those the archive should keep. False, with the reason, when neither works.
    bool stage(const QString &source, const QString &name, QString *error);

private:
    QString path_;
    QString error_;
    int lock_ = -1; // held while the build runs, so that another start of the program leaves it
};

// Removes what builds left in the working folder and no running build holds: the staging
// folders of a build that crashed or was killed, and loose files of older versions. The folder
// is made owner-only on the way.
void clearStaging(const QString &parent);

} // namespace oz::platform
