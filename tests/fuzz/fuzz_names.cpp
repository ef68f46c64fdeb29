// The text rules: entry names and link targets kept inside the destination, the wildcard
// matcher, and the file dialog's multiple-pick result. The input is split at its first NUL into
// two texts.
#include "archive/PathRules.h"
#include "archive/Wildcard.h"
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

    if (const auto safe = oz::archive::safeEntryPath(first)) {
        if (safe->startsWith(u'/') || safe->contains(u'\\') || safe->contains(QChar(0)))
            fail("unsafe entry path", first, *safe);
        for (const QString &part : safe->split(u'/'))
            if (part == u".." || (part.isEmpty() && !safe->isEmpty()))
                fail("unsafe entry path", first, *safe);
        if (!safe->isEmpty() && oz::archive::linkStaysInside(*safe, second)) {
            // Resolved lexically below the link's folder, the target never climbs out.
            QString resolved = QDir::cleanPath(QStringLiteral("/root/") + *safe + QStringLiteral("/../") +
                                               QString(second).replace(u'\\', u'/'));
            if (resolved != QStringLiteral("/root") && !resolved.startsWith(QStringLiteral("/root/")))
                fail("link leaves the destination", *safe, second);
        }
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
