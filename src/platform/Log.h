// Logging categories and the program's log output.
#pragma once

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcUi)

namespace oz::platform {

// Sends Qt's messages to standard error and, when ORVELZIP_LOG_FILE names a
// file, appends them there too, one line each.
void installLogHandler();

// Records a text the user is shown outside a message box (a status label).
void logShownText(const QString &control, const QString &text);

} // namespace oz::platform
