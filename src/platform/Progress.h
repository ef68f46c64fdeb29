// Moving a progress bar while work goes on, and work that the user can stop.
#pragma once

#include <QRect>

#include <functional>

class QProgressBar;
class QWidget;

namespace oz::platform {

// Sets the bar and lets it repaint without handling user input, so the bar
// really moves during a blocking component call.
void setProgress(QProgressBar *bar, double value);

enum class WorkEnd { Done, Stopped };

// Runs work on a thread of its own while the windows go on painting and the progress events
// queued to them move their bars. Meanwhile a "Stop" button stands at place in parent, and
// Stop, Escape or closing a window call stop (closing then happens once the work has ended);
// every other click and key is held back, so that nothing else starts meanwhile. Returns when
// the work has ended: Stopped when it failed after stop was asked for, Done when it completed;
// any other failure is thrown again here.
WorkEnd runStoppable(QWidget *parent, const QRect &place, const std::function<void()> &work,
                     const std::function<void()> &stop);

} // namespace oz::platform
