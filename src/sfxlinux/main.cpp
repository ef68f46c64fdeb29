// The extractor at the front of every self-extracting executable Orvel Zip
// builds. It runs on a machine with nothing installed: it reads the settings
// block and the zip archive appended to itself, unpacks the archive and, for
// model 2, starts the program named in the settings.
//
// Exit status: 0 done, 1 some files were kept (Stop at the question keeps them all), 2 an
// error, 128 + N when signal N stopped it; when it runs a program and waits for it, that
// program's status. Every policy is the
// receiver room's, shared with the Windows program; this file keeps the terminal, the signals
// and the start of the program.
#include "core/base/Error.h"
#include "core/format/Names.h"
#include "receiver/ProgramArguments.h"
#include "receiver/Receiver.h"
#include "receiver/ReceiverTexts.h"
#include "receiver/TemporaryFolder.h"
#include "receiver/Terminal.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef OZ_VERSION
#define OZ_VERSION "0"
#endif

namespace {

using namespace oz::receiver;

bool interactive()
{
    return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

// --- signals --------------------------------------------------------------------------------

// What the program is doing when a signal comes: while it asks, nothing needs finishing; while
// it extracts, the extraction stops at its next piece of data; while the program it started
// runs, the signal is passed on to it.
enum class Phase { Asking, Extracting, Running };
std::atomic<Phase> phase{Phase::Asking};
std::atomic<bool> stopRequested{false};
std::atomic<int> caughtSignal{0};
std::atomic<pid_t> child{0};

// SIGINT, SIGTERM and SIGHUP are taken by one thread of their own instead of interrupting
// whatever runs, so that each is met where the program is.
void watchSignals(sigset_t signals)
{
    for (;;) {
        int s = 0;
        if (sigwait(&signals, &s) != 0)
            continue;
        caughtSignal = s;
        if (const pid_t c = child.load(); c > 0) {
            kill(c, s);
        } else if (phase == Phase::Extracting) {
            stopRequested = true;
        } else if (phase == Phase::Asking) {
            // The main thread waits at a question it will never see answered: the program
            // ends from here, its terminal and its folder as they were.
            restoreTerminal();
            removeTemporaryFolder();
            std::fprintf(stderr, "\nStopped: nothing was extracted.\n");
            _exit(128 + s);
        }
    }
}

void takeSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    // Blocked before any other thread exists, so that every thread inherits it.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(watchSignals, signals).detach();
}

std::string selfPath()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        throw oz::core::Error("cannot find this program's own file", oz::core::Error::Kind::Io);
    buffer[n] = '\0';
    return buffer;
}

// --- the terminal's questions ---------------------------------------------------------------

std::optional<std::string> askPassword(int attempt)
{
    if (attempt > 0)
        std::fprintf(stderr, "Wrong password.\n");
    return askLine("Password: ", false);
}

ReplaceChoice askReplace(const ExistingFile &file)
{
    if (!interactive()) {
        std::fprintf(stderr, "skipped %s: it exists already (--overwrite replaces it)\n", file.path.c_str());
        return ReplaceChoice::Keep;
    }
    const std::string question = "Replace " + file.path + "?\n" + comparisonText(file)
        + "\n[y]es, [N]o, [a]ll, [k]eep all, [q]uit (Enter: no): ";
    for (;;) {
        const std::string a = askLine(question, true).value_or(std::string());
        if (a == "y" || a == "Y" || a == "yes")
            return ReplaceChoice::Replace;
        if (a == "n" || a == "N" || a == "no" || a.empty())
            return ReplaceChoice::Keep;
        if (a == "a" || a == "A" || a == "all")
            return ReplaceChoice::ReplaceAll;
        if (a == "k" || a == "K" || a == "keep all")
            return ReplaceChoice::KeepAll;
        if (a == "q" || a == "Q" || a == "quit")
            return ReplaceChoice::Stop;
    }
}

void measure(ExistingFile &file)
{
    struct stat st;
    if (stat(file.path.c_str(), &st) == 0) {
        file.size = st.st_size;
        file.modified = st.st_mtime;
    }
}

struct Progress {
    std::uint64_t total = 0, done = 0;
    int shown = -1;
    bool bar = false;
    void set(std::uint64_t now)
    {
        done = now;
        if (!bar || total <= 0)
            return;
        const int percent = static_cast<int>(std::min<std::uint64_t>(100, done * 100 / total));
        if (percent == shown)
            return;
        shown = percent;
        std::string line(30, ' ');
        for (int i = 0; i < percent * 30 / 100; ++i)
            line[i] = '#';
        std::fprintf(stderr, "\r[%s] %3d%%", line.c_str(), percent);
        if (percent == 100)
            std::fprintf(stderr, "\n");
    }
};

// Extracts every entry below root; every question comes before the first byte is written.
Outcome extractInto(const SelfArchive &archive, const std::string &password, const std::string &root, bool overwrite,
                    bool showProgress)
{
    oz::core::ExtractOptions options;
    options.existing
        = overwrite ? oz::core::ExtractOptions::Existing::Replace : oz::core::ExtractOptions::Existing::Ask;
    options.ask = replaceQuestion(askReplace, measure);
    Progress progress;
    progress.bar = showProgress;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        progress.total = total;
        progress.set(done);
    };
    options.stop = &stopRequested;
    // A program is run only from a whole archive.
    options.strict = haveTemporaryFolder();
    phase = Phase::Extracting;
    Outcome outcome = extract(archive, password, root, options);
    phase = Phase::Asking;
    if (!outcome.ok && progress.shown >= 0 && progress.shown < 100)
        std::fprintf(stderr, "\n");
    if (outcome.ok && showProgress && progress.shown != 100 && progress.total > 0)
        progress.set(progress.total);
    return outcome;
}

// --- the program model 2 runs ---------------------------------------------------------------

int runProgram(const std::string &root, const Settings &settings)
{
    const std::string program = findProgram(root, settings.runProgram);
    if (program.empty())
        throw oz::core::Error("the program to run, " + settings.runProgram + ", is not in the archive",
                              oz::core::Error::Kind::Refused);
    struct stat st;
    if (stat(program.c_str(), &st) == 0 && !(st.st_mode & S_IXUSR))
        chmod(program.c_str(), st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH);
    std::vector<std::string> args = splitArguments(settings.runParameters);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw oz::core::Error("cannot start " + program + ": " + std::strerror(errno), oz::core::Error::Kind::Io);
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr); // the program gets its signals as usual
        if (chdir(root.c_str()) != 0)
            _exit(127);
        execv(program.c_str(), argv.data());
        std::fprintf(stderr, "error: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }
    child = pid;
    phase = Phase::Running;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    child = 0;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// --- a desktop without a terminal -----------------------------------------------------------

// A program on PATH, or "" when there is none.
std::string onPath(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= folders.size();) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

// Runs this program again in the first terminal window program found; returns only when there
// is none, and the program then goes on without one: it extracts when no question is needed and
// otherwise says why it cannot.
void openInTerminal(const std::string &self)
{
    struct Terminal {
        const char *name;
        const char *run; // the option after which the command follows
    };
    for (const Terminal t : {Terminal{"x-terminal-emulator", "-e"}, Terminal{"gnome-terminal", "--"},
                             Terminal{"konsole", "-e"}, Terminal{"xfce4-terminal", "-x"}, Terminal{"xterm", "-e"}}) {
        const std::string program = onPath(t.name);
        if (program.empty())
            continue;
        std::vector<char *> argv{const_cast<char *>(t.name), const_cast<char *>(t.run),
                                 const_cast<char *>(self.c_str()), const_cast<char *>("--in-terminal"), nullptr};
        execv(program.c_str(), argv.data());
    }
}

// In a terminal window of its own, the result stays readable until the receiver closes it.
void waitBeforeClosing()
{
    askLine("\nPress Enter to close this window.", true);
}

// "~" and "~/..." as a shell would read them: the home folder.
std::string withHome(const std::string &path)
{
    const char *home = std::getenv("HOME");
    if (!home || !*home || path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/'))
        return path;
    return home + path.substr(1);
}

// Where to extract: --dest, else a new temporary folder for auto-temp, else beside this file
// (the receiver may type another on a terminal).
std::string destinationFor(const Options &o, const std::string &self, bool temporary, bool ask)
{
    std::string dest = withHome(o.dest);
    if (temporary) {
        dest = makeTemporaryFolder();
    } else if (dest.empty()) {
        dest = defaultDestination(self);
        if (ask) {
            const std::string answer = withHome(askLine("Extract to [" + dest + "]: ", true).value_or(std::string()));
            if (!answer.empty())
                dest = answer;
        }
    }
    struct stat st;
    if (stat(dest.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        throw oz::core::Error("cannot extract into " + oz::core::printable(dest) + ": it is a file, not a folder",
                              oz::core::Error::Kind::Io);
    return dest;
}

// The archive this program carries, opened; the information options answered on the way.
SelfArchive openSelf(const Options &o)
{
    SelfArchive archive;
    archive.path = selfPath();
    // Double-clicked in a file manager: no terminal, a desktop, and no options. The receiver
    // would see nothing and could answer nothing, so the program opens itself in a terminal.
    if (!o.any && !o.inTerminal && !interactive() && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")))
        openInTerminal(archive.path);
    if (o.inTerminal)
        std::atexit(waitBeforeClosing);
    archive.fd = open(archive.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (archive.fd < 0)
        throw oz::core::Error("cannot read " + archive.path + ": " + std::strerror(errno), oz::core::Error::Kind::Io);
    readSelf(archive, o.names);
    return archive;
}

// Everything after the options; throws oz::core::Error for main to report.
int unpack(const Options &o)
{
    const SelfArchive archive = openSelf(o);
    if (o.info || o.list) {
        std::printf("%s", (o.info ? settingsText(archive.settings) : listingText(archive.dir)).c_str());
        return statusDone;
    }
    const bool ask = interactive();
    const bool say = !o.quiet;
    if (say && ask)
        std::fprintf(stderr, "%s\n", summaryText(archive.dir).c_str());
    const std::string password = choosePassword(archive, o, ask ? AskPassword(askPassword) : AskPassword());
    if (o.test) {
        const std::string intact = testText(archive, password);
        if (say)
            std::printf("%s\n", intact.c_str());
        return statusDone;
    }
    const bool temporary = usesTemporaryFolder(archive.settings, o);
    const std::string dest = destinationFor(o, archive.path, temporary, ask);
    const Outcome outcome = extractInto(archive, password, dest, o.overwrite || temporary, ask && say);
    if (!outcome.ok) {
        removeTemporaryFolder();
        std::fprintf(stderr, "%s", failureText(outcome).c_str());
        return statusOf(outcome, 128 + caughtSignal);
    }
    std::fprintf(stderr, "%s", renameLines(outcome.report).c_str());
    if (say && !temporary)
        std::fprintf(stderr, "%s extracted to %s\n", files(outcome.report.files).c_str(),
                     oz::core::printable(dest).c_str());
    if (archive.settings.runProgram.empty())
        return statusOf(outcome, 0);
    const int status = runProgram(dest, archive.settings);
    removeTemporaryFolder();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    takeSignals();
    Options o;
    try {
        parseOptions(std::vector<std::string>(argv + 1, argv + argc), o);
    } catch (const oz::core::Error &e) {
        std::fprintf(stderr, "error: %s\n%s", e.what(), usage(argv[0]).c_str());
        return statusError;
    }
    if (o.help || o.version) {
        std::printf("%s", o.help ? usage(argv[0]).c_str() : "Orvel Zip self-extractor " OZ_VERSION "\n");
        return statusDone;
    }
    takePasswordFromEnvironment(o);
    try {
        return unpack(o);
    } catch (const oz::core::Error &e) {
        removeTemporaryFolder();
        std::fprintf(stderr, "error: %s\n", e.what());
        return statusError;
    }
}
