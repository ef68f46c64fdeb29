// Questions on the terminal, shared by the Linux extractor and orvelzip-cli. A password is typed
// without echo; the echo comes back on every way out: the answer, end of input, and SIGINT,
// SIGTERM or SIGHUP while the question waits.
#pragma once

#include <optional>
#include <string>

namespace oz::receiver {

// Asks on /dev/tty and returns the line typed, without its line end; nothing when there is no
// terminal or the input ended (Ctrl-D), which a question may take for "cancel". Without echo,
// nothing typed shows and a new line follows.
std::optional<std::string> askLine(const std::string &question, bool echo);

// Puts the echo back if a question turned it off. Safe in a signal handler and from another
// thread: a program that takes its signals itself calls it before it ends.
void restoreTerminal();

} // namespace oz::receiver
