#include "Wildcard.h"

namespace oz::archive {

namespace {
bool sameChar(QChar a, QChar b)
{
    return a == b || a.toCaseFolded() == b.toCaseFolded();
}
} // namespace

bool hasWildcard(QStringView text)
{
    return text.contains(u'*') || text.contains(u'?');
}

bool wildcardMatch(QStringView pattern, QStringView name)
{
    if (pattern == u"*.*")
        return true;
    // Greedy matching with one backtrack point: linear in practice and
    // never exponential, whatever the pattern holds.
    qsizetype p = 0, n = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || (pattern[p] != u'*' && sameChar(pattern[p], name[n])))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

} // namespace oz::archive
