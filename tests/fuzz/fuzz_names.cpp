// The text rules: entry names kept inside the destination and printed harmlessly, the wildcard
// matcher, and the file dialog's multiple-pick result. The input is split at its first NUL into
// two texts.
#include "core/format/Names.h"
#include "wildcard/Wildcard.h"
#include "selection/SelectionList.h"

#include <QDir>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace {
void fail(const char *what, const QString &a, const QString &b = {})
{
    std::fprintf(stderr, "%s: \"%s\" \"%s\"\n", what, qPrintable(a), qPrintable(b));
    std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype cut = bytes.indexOf('\0');
    const QString first = QString::fromUtf8(cut < 0 ? bytes : bytes.left(cut));
    const QString second = cut < 0 ? QString() : QString::fromUtf8(bytes.mid(cut + 1));

    for (const bool windows : {false, true}) {
        const std::string name(bytes.constData(), static_cast<std::size_t>(cut < 0 ? bytes.size() : cut));
        if (const auto safe = oz::core::safeEntryPath(name, windows)) {
            const QString path = QString::fromStdString(*safe);
            if (path.startsWith(u'/') || (windows && path.contains(u'\\')) || safe->find('\0') != std::string::npos)
                fail("unsafe entry path", first, path);
            for (const QString &part : path.split(u'/'))
                if (part == u".." || (part.isEmpty() && !path.isEmpty()))
                    fail("unsafe entry path", first, path);
        }
        // Nothing printed for a name can drive a terminal.
        for (const char c : oz::core::printable(name))
            if ((static_cast<unsigned char>(c) < 0x20) || c == 0x7f)
                fail("a control character printed", first);
    }

    // Long runs of stars must not stall the matcher (libFuzzer's timeout is the check); a name
    // matches itself as a pattern when it holds no wildcard, and "*" matches every name.
    oz::archive::wildcardMatch(first, second);
    if (!oz::archive::hasWildcard(second) && !oz::archive::wildcardMatch(second, second))
        fail("a name does not match itself", second);
    if (!oz::archive::wildcardMatch(u"*", second))
        fail("\"*\" does not match", second);

    const QStringList picked = oz::selection::pickedPaths(QString::fromUtf8(bytes));
    if (bytes.contains('\0')) {
        for (const QString &p : picked)
            if (p.isEmpty())
                fail("empty path from a multiple pick", QString::fromUtf8(bytes));
    }
    return 0;
}
