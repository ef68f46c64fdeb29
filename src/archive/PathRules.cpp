#include "PathRules.h"

#include "core/format/Names.h"

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

namespace {
bool rawByte(char16_t c)
{
    return c >= 0xDC80 && c <= 0xDCFF;
}
} // namespace

QString nameFromBytes(std::string_view bytes)
{
    if (core::isUtf8(bytes))
        return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QString out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t n = 4;
        while (n > 0 && (i + n > bytes.size() || !core::isUtf8(bytes.substr(i, n))))
            --n;
        if (n == 0) {
            out += QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
            ++i;
        } else {
            out += QString::fromUtf8(bytes.data() + i, static_cast<qsizetype>(n));
            i += n;
        }
    }
    return out;
}

std::string bytesOfName(const QString &name)
{
    if (!holdsRawBytes(name))
        return name.toStdString();
    std::string out;
    qsizetype from = 0;
    for (qsizetype i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !(rawByte(name[i].unicode()) && (i == 0 || !name[i - 1].isHighSurrogate())))
            continue;
        out += name.mid(from, i - from).toStdString();
        if (i < name.size())
            out += static_cast<char>(name[i].unicode() - 0xDC00);
        from = i + 1;
    }
    return out;
}

bool holdsRawBytes(const QString &name)
{
    for (qsizetype i = 0; i < name.size(); ++i)
        if (rawByte(name[i].unicode()) && (i == 0 || !name[i - 1].isHighSurrogate()))
            return true;
    return false;
}

} // namespace oz::archive
