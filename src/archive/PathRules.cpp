#include "PathRules.h"

#include <QDir>
#include <QStringList>

namespace oz::archive {

namespace {
bool isDriveLetter(const QString &component)
{
    return component.size() >= 2 && component[1] == u':' && component[0].isLetter();
}

// The parts of a folder path, without empty and "." parts.
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
