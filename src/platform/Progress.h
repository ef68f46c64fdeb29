// Moving a progress bar while the interface thread is busy.
#pragma once

class QProgressBar;

namespace oz::platform {

// Sets the bar and lets it repaint without handling user input, so the bar
// really moves during a blocking component call.
void setProgress(QProgressBar *bar, double value);

} // namespace oz::platform
