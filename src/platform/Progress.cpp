#include "Progress.h"

#include <QCoreApplication>
#include <QProgressBar>

#include <cmath>

namespace oz::platform {

void setProgress(QProgressBar *bar, double value)
{
    bar->setValue(static_cast<int>(std::lround(value)));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

} // namespace oz::platform
