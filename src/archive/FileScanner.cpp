// Choosing files for a new archive: patterns, recursion, attribute filters.
#include "ArchiveComponent.h"
#include "Internal.h"
#include "PathRules.h"
#include "Wildcard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace oz::archive {

namespace {

enum class Kind { File, Folder, Special, Skip };

// The type comes from the folder listing where the file system gives one, so
// that a tree of thousands of files costs no stat per file here.
Kind kindOf(const fs::directory_entry &entry)
{
    std::error_code ec;
    const bool link = entry.is_symlink(ec);
    if (ec)
        return Kind::Skip;
    if (link) {
        const fs::file_status target = fs::status(entry.path(), ec);
        if (ec || !fs::exists(target))
            return Kind::Special; // broken link
        if (fs::is_regular_file(target))
            return Kind::File;
        if (fs::is_directory(target))
            return Kind::Skip; // links to folders are not followed
        return Kind::Special;
    }
    // Not a link, so these are the entry's own type.
    if (entry.is_regular_file(ec))
        return Kind::File;
    if (!ec && entry.is_directory(ec))
        return Kind::Folder;
    return ec ? Kind::Skip : Kind::Special;
}

struct Walk {
    QString mask;
    bool recurse;
    bool filtered;
    bool includeHidden;
    bool includeSystem;
    bool keepFolderInfo;
    QString baseFolder; // absolute, for stored names with folder information
    const PatternList *exclusions;
    std::function<void(ArchiveComponent::Pending)> add;

    bool takesEverything() const { return mask == u"*" || mask == u"*.*"; }

    bool wanted(const QString &name) const
    {
        return wildcardMatch(mask, name) && !exclusions->matches(name);
    }

    void folder(const fs::path &dir, const QString &rel)
    {
        std::error_code ec;
        fs::directory_iterator it(dir, ec);
        if (ec) {
            throw ArchiveError(QStringLiteral("Cannot read the folder %1: %2")
                                   .arg(QFile::decodeName(dir.native().c_str()),
                                        QString::fromLocal8Bit(ec.message().c_str())));
        }
        std::vector<fs::directory_entry> children;
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec)
                break;
            children.push_back(*it);
        }
        std::sort(children.begin(), children.end(),
                  [](const auto &a, const auto &b) { return a.path().filename() < b.path().filename(); });

        for (const auto &child : children) {
            const QString name = QFile::decodeName(child.path().filename().native().c_str());
            const bool hidden = name.startsWith(u'.');
            if (filtered && hidden && !includeHidden)
                continue;
            const QString source = QFile::decodeName(child.path().native().c_str());
            switch (kindOf(child)) {
            case Kind::Folder:
                if (recurse)
                    folder(child.path(), rel + name + u'/');
                break;
            case Kind::File:
                if (wanted(name))
                    add({source, storedName(baseFolder, rel + name, keepFolderInfo), false, false});
                break;
            case Kind::Special:
                if (filtered && includeSystem && wanted(name))
                    add({source, storedName(baseFolder, rel + name, keepFolderInfo), false, true});
                break;
            case Kind::Skip:
                break;
            }
        }
        // Keep empty sub-folders so that they come back on extraction, when
        // the pattern asks for everything; a narrower pattern asks for files.
        if (recurse && !rel.isEmpty() && children.empty() && takesEverything())
            add({QFile::decodeName(dir.native().c_str()), storedName(baseFolder, rel, keepFolderInfo), true, false});
    }
};

} // namespace

void ArchiveComponent::addPending(Pending p)
{
    const auto same = pendingIndex_.constFind(p.name);
    if (same != pendingIndex_.constEnd()) {
        pending_[*same] = std::move(p);
    } else {
        pendingIndex_.insert(p.name, pending_.size());
        pending_.push_back(std::move(p));
    }
}

void ArchiveComponent::addFiles(const QString &pattern, bool recurse, bool saveExtraPath, bool filtered,
                                bool includeHidden, bool includeSystem)
{
    if (pattern.isEmpty())
        throw ArchiveError(QStringLiteral("No file pattern was given"));
    const QString unified = QDir::fromNativeSeparators(pattern);
    QString folderPart;
    QString mask;
    const QFileInfo whole(unified);
    if (unified.endsWith(u'/') || (!hasWildcard(unified) && whole.isDir())) {
        folderPart = unified;
        mask = QStringLiteral("*");
    } else {
        const qsizetype slash = unified.lastIndexOf(u'/');
        folderPart = slash < 0 ? QStringLiteral(".") : unified.left(slash + 1);
        mask = slash < 0 ? unified : unified.mid(slash + 1);
    }
    const QFileInfo folderInfo(folderPart.isEmpty() ? QStringLiteral("/") : folderPart);
    if (!folderInfo.isDir())
        throw ArchiveError(QStringLiteral("The folder %1 does not exist").arg(QDir::toNativeSeparators(folderPart)));

    Walk walk{mask, recurse, filtered, includeHidden, includeSystem, saveExtraPath,
              QDir::cleanPath(folderInfo.absoluteFilePath()), &exclusions_,
              [this](Pending p) { addPending(std::move(p)); }};
    walk.folder(fs::path(QFile::encodeName(folderInfo.absoluteFilePath()).toStdString()), QString());
}

} // namespace oz::archive
