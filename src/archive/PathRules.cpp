#include "PathRules.h"

#include <QDir>
#include <QStringList>

namespace oz::archive {

namespace {
bool isDriveLetter(const QString &component)
{
    return component.size() >= 2 && component[1] == u':' && component[0].isLetter();
}

// Splits at '/' and '\', dropping empty and "." parts.
QStringList components(const QString &path)
{
    QString unified = path;
    unified.replace(u'\\', u'/');
    QStringList out;
    for (const QString &part : unified.split(u'/', Qt::SkipEmptyParts)) {
        if (part != u".")
            out.append(part);
    }
    return out;
}
} // namespace

std::optional<QString> safeEntryPath(const QString &entryName)
{
    if (entryName.isEmpty() || entryName.contains(QChar(0)))
        return std::nullopt;
    if (entryName.startsWith(u'/') || entryName.startsWith(u'\\'))
        return std::nullopt;
    const QStringList parts = components(entryName);
    if (parts.isEmpty())
        return QString();
    if (isDriveLetter(parts.first()))
        return std::nullopt;
    for (const QString &part : parts) {
        if (part == u"..")
            return std::nullopt;
    }
    return parts.join(u'/');
}

bool linkStaysInside(const QString &linkPath, const QString &target)
{
    if (target.isEmpty() || target.contains(QChar(0)))
        return false;
    if (target.startsWith(u'/') || target.startsWith(u'\\'))
        return false;
    QStringList parts = components(target);
    if (!parts.isEmpty() && isDriveLetter(parts.first()))
        return false;
    // Resolve against the folder that holds the link, lexically.
    QStringList resolved = components(linkPath);
    if (!resolved.isEmpty())
        resolved.removeLast();
    for (const QString &part : parts) {
        if (part == u"..") {
            if (resolved.isEmpty())
                return false;
            resolved.removeLast();
        } else {
            resolved.append(part);
        }
    }
    return true;
}

QString storedName(const QString &absoluteFolder, const QString &rel, bool keepFolderInfo)
{
    if (!keepFolderInfo)
        return rel;
    QStringList parts = components(QDir::fromNativeSeparators(absoluteFolder));
    if (!parts.isEmpty() && isDriveLetter(parts.first()))
        parts.removeFirst();
    parts.append(rel);
    return parts.join(u'/');
}

QString folderNamedAfter(const QString &archive)
{
    if (archive.endsWith(QStringLiteral(".zip"), Qt::CaseInsensitive))
        return archive.chopped(4);
    return archive;
}

} // namespace oz::archive
