#include "Terminal.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace oz::receiver {

namespace {

// The terminal as it was before the echo went off, for the signal handlers: set before the echo
// goes off, so that a handler finds it whole.
termios echoing{};
std::atomic<int> hiddenOn{-1}; // the terminal's descriptor while the echo is off

constexpr std::array caught{SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, caught.size()> before{};

void onSignal(int signal)
{
    restoreTerminal();
    // Then the signal takes the course it had before the question: the program's own cleanup,
    // or the end of the program. It is blocked while this handler runs and arrives as it returns.
    for (std::size_t i = 0; i < caught.size(); ++i)
        if (caught[i] == signal)
            sigaction(signal, &before[i], nullptr);
    raise(signal);
}

// While the echo is off, a signal restores it before anything else. A signal the program ignores
// stays ignored.
void catchSignals()
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < caught.size(); ++i) {
        sigaction(caught[i], nullptr, &before[i]);
        if (before[i].sa_handler != SIG_IGN)
            sigaction(caught[i], &action, nullptr);
    }
}

void releaseSignals()
{
    for (std::size_t i = 0; i < caught.size(); ++i)
        sigaction(caught[i], &before[i], nullptr);
}

} // namespace

void restoreTerminal()
{
    const int fd = hiddenOn.exchange(-1);
    if (fd >= 0)
        tcsetattr(fd, TCSANOW, &echoing);
}

std::optional<std::string> askLine(const std::string &question, bool echo)
{
    FILE *tty = std::fopen("/dev/tty", "r+");
    if (!tty)
        return std::nullopt;
    // Echo goes off before the question shows, and nothing typed is flushed: whatever is typed
    // once the question is there is the answer.
    const int fd = fileno(tty);
    const bool hide = !echo && tcgetattr(fd, &echoing) == 0;
    if (hide) {
        termios quiet = echoing;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        catchSignals();
        hiddenOn = fd;
        tcsetattr(fd, TCSANOW, &quiet);
    }
    std::fputs(question.c_str(), tty);
    std::fflush(tty);
    char buffer[4096];
    const bool answered = std::fgets(buffer, sizeof buffer, tty) != nullptr;
    std::string answer = answered ? buffer : "";
    if (hide) {
        restoreTerminal();
        releaseSignals();
        std::fputs("\n", tty);
    }
    std::fclose(tty);
    if (!answered)
        return std::nullopt;
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
        answer.pop_back();
    return answer;
}

} // namespace oz::receiver
