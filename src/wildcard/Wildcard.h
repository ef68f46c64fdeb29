// Wildcard file-name matching shared by every place that matches patterns:
// clean-up of the working folder, copies, additions and exclusions.
#pragma once

#include <QStringView>

namespace oz::archive {

// '*' matches any run of characters, '?' exactly one; "*.*" matches every
// name, names without a dot included. Matching ignores letter case.
bool wildcardMatch(QStringView pattern, QStringView name);

// True when the text holds a '*' or '?'.
bool hasWildcard(QStringView text);

} // namespace oz::archive
