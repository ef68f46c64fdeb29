#include "wildcard/Wildcard.h"

namespace oz::archive {

namespace {

// The code point at i and where the next one starts: a character outside the basic plane (an
// emoji) is two UTF-16 units but one character, for '?' as for any other.
char32_t codePointAt(QStringView text, qsizetype i, qsizetype &next)
{
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
        next = i + 2;
        return QChar::surrogateToUcs4(text[i], text[i + 1]);
    }
    next = i + 1;
    return text[i].unicode();
}

bool sameChar(char32_t a, char32_t b)
{
    return a == b || QChar::toCaseFolded(a) == QChar::toCaseFolded(b);
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
        qsizetype pNext = p, nNext = n;
        const char32_t pc = p < pattern.size() ? codePointAt(pattern, p, pNext) : 0;
        const char32_t nc = codePointAt(name, n, nNext);
        if (p < pattern.size() && (pc == u'?' || (pc != u'*' && sameChar(pc, nc)))) {
            p = pNext;
            n = nNext;
        } else if (p < pattern.size() && pc == u'*') {
            starP = p++;
            starN = n;
        } else if (starP >= 0) {
            p = starP + 1;
            codePointAt(name, starN, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

} // namespace oz::archive
