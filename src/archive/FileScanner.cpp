// Choosing files for a new archive: patterns, recursion, attribute filters.
#include "ArchiveComponent.h"
#include "Internal.h"
#include "PathRules.h"
#include "core/format/Names.h"
#include "wildcard/Wildcard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace oz::archive {

namespace {

enum class Kind { File, Folder, Special, Skip };

// What a link stands for: a link to a file is taken as that file, a link to a folder as that
// folder (the walk never enters a folder it is already inside), and a broken link is kept as a
// special file.
Kind linkKind(int dirFd, const char *name)
{
    struct stat target;
    if (::fstatat(dirFd, name, &target, 0) != 0)
        return Kind::Special;
    if (S_ISREG(target.st_mode))
        return Kind::File;
    return S_ISDIR(target.st_mode) ? Kind::Folder : Kind::Special;
}

// The type comes from the folder listing where the file system gives one, so that a tree of
// thousands of files costs no stat per file here.
Kind kindOf(int dirFd, const char *name, unsigned char type)
{
    switch (type) {
    case DT_REG: return Kind::File;
    case DT_DIR: return Kind::Folder;
    case DT_LNK: return linkKind(dirFd, name);
    case DT_UNKNOWN: {
        struct stat st;
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return Kind::Skip; // gone since the listing
        if (S_ISLNK(st.st_mode))
            return linkKind(dirFd, name);
        if (S_ISREG(st.st_mode))
            return Kind::File;
        return S_ISDIR(st.st_mode) ? Kind::Folder : Kind::Special;
    }
    default: return Kind::Special;
    }
}

struct Child {
    std::string name;
    Kind kind;
};

// A folder's entries in byte order of their names, typed while the folder is open. The
// descriptor is closed again before any sub-folder is read, so deep trees do not run out of them.
// The listing is read straight with getdents64: opendir's own checks cost three more system calls
// a folder, which on a source tree is thousands.
// self receives the folder's own identity.
std::vector<Child> listFolder(const std::string &dir, std::vector<char> &buffer, struct stat &self)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &self) != 0) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        throw ArchiveError(QStringLiteral("Cannot read the folder %1: %2")
                               .arg(QFile::decodeName(dir.c_str()), QString::fromLocal8Bit(std::strerror(err))));
    }
    std::vector<Child> children;
    // A read error ends the listing with what was read so far.
    for (;;) {
        const ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const dirent64 *>(buffer.data() + at);
            at += e->d_reclen;
            const char *name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            children.push_back({name, kindOf(fd, name, e->d_type)});
        }
    }
    ::close(fd);
    std::sort(children.begin(), children.end(), [](const Child &a, const Child &b) { return a.name < b.name; });
    return children;
}

std::string joined(const std::string &dir, const std::string &name)
{
    return dir.empty() || dir.back() != '/' ? dir + '/' + name : dir + name;
}

struct Walk {
    QString mask;
    bool recurse;
    bool filtered;
    bool includeHidden;
    bool includeSystem;
    QString namePrefix; // the folder's own path, when names keep it
    const PatternList *exclusions;
    std::function<void(ArchiveComponent::Pending)> add;
    std::vector<char> buffer = std::vector<char>(32768); // for the folder listings, one at a time
    // Sub-folders being walked whose entries are not written yet: each gets one, just before
    // the first thing added inside it, so that its time and mode come back on extraction.
    std::vector<ArchiveComponent::Pending> open = {};
    std::size_t written = 0; // how many of them have their entry

    void writeOpenFolders()
    {
        for (; written < open.size(); ++written)
            add(open[written]);
    }

    void addInside(ArchiveComponent::Pending p)
    {
        writeOpenFolders();
        add(std::move(p));
    }

    bool takesEverything() const { return mask == u"*" || mask == u"*.*"; }

    bool wanted(const QString &name) const { return wildcardMatch(mask, name) && !exclusions->matches(name); }

    // The folders being walked, by identity: a link back to one of them would never end.
    std::vector<std::pair<dev_t, ino_t>> inside = {};

    void folder(const std::string &dir, const QString &dirSource, const QString &rel)
    {
        struct stat self;
        const std::vector<Child> children = listFolder(dir, buffer, self);
        const std::pair<dev_t, ino_t> id{self.st_dev, self.st_ino};
        if (std::find(inside.begin(), inside.end(), id) != inside.end()) {
            qCInfo(lcArchive).noquote() << "left out" << dirSource << "(a link back to a folder it lies in)";
            return;
        }
        inside.push_back(id);
        if (!rel.isEmpty())
            open.push_back({dirSource, namePrefix + rel, true, false});
        const bool empty = walkChildren(children, dir, dirSource, rel);
        inside.pop_back();
        if (rel.isEmpty())
            return;
        // An empty sub-folder comes back when the pattern asks for everything; a narrower
        // pattern asks for files.
        if (empty && takesEverything())
            writeOpenFolders();
        open.pop_back();
        written = std::min(written, open.size());
    }

    // True when the folder is empty on disk.
    bool walkChildren(const std::vector<Child> &children, const std::string &dir, const QString &dirSource,
                      const QString &rel)
    {
        const QString sourcePrefix = dirSource.endsWith(u'/') ? dirSource : dirSource + u'/';
        for (const Child &child : children) {
            const QString name = nameFromBytes(child.name);
            const bool hidden = name.startsWith(u'.');
            if (filtered && hidden && !includeHidden)
                continue;
            switch (child.kind) {
            case Kind::Folder:
                if (recurse)
                    folder(joined(dir, child.name), sourcePrefix + name, rel + name + u'/');
                break;
            case Kind::File:
                if (wanted(name))
                    addInside({sourcePrefix + name, namePrefix + rel + name, false, false});
                break;
            case Kind::Special:
                if (filtered && includeSystem && wanted(name))
                    addInside({sourcePrefix + name, namePrefix + rel + name, false, true});
                break;
            case Kind::Skip: break;
            }
        }
        return children.empty();
    }
};

} // namespace

// Said once for the file or folder whose own name it is, not for everything inside it.
void ArchiveComponent::noteNameBytes(const Pending &p)
{
    const QString own = p.name.section(u'/', -1, -1, QString::SectionSkipEmpty);
    if (holdsRawBytes(own)) {
        qCWarning(lcArchive).noquote() << "not UTF-8, stored as its bytes:"
                                       << QString::fromStdString(core::printable(bytesOfName(p.name)));
        namesAsBytes_.push_back(p.name);
    }
}

void ArchiveComponent::addPending(Pending p)
{
    noteNameBytes(p);
    for (; indexed_ < pending_.size(); ++indexed_)
        pendingIndex_.insert(pending_[indexed_].name, indexed_);
    // One lookup for both cases: a name added again replaces the earlier entry in its place.
    const qsizetype before = pendingIndex_.size();
    std::size_t &place = pendingIndex_[p.name];
    if (pendingIndex_.size() == before) {
        pending_[place] = std::move(p);
    } else {
        place = pending_.size();
        pending_.push_back(std::move(p));
    }
    indexed_ = pending_.size();
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

    Walk walk{mask,          recurse,
              filtered,      includeHidden,
              includeSystem, storedName(QDir::cleanPath(folderInfo.absoluteFilePath()), QString(), saveExtraPath),
              &exclusions_,  nullptr};
    if (pending_.empty())
        walk.add = [this](Pending p) {
            noteNameBytes(p);
            pending_.push_back(std::move(p));
        };
    else
        walk.add = [this](Pending p) { addPending(std::move(p)); };
    const QString top = folderInfo.absoluteFilePath();
    walk.folder(QFile::encodeName(top).toStdString(), top, QString());
}

} // namespace oz::archive
