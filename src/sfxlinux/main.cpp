// The extractor at the front of every self-extracting executable Orvel Zip
// builds. It runs on a machine with nothing installed: it reads the settings
// block and the zip archive appended to itself, unpacks the archive and, for
// model 2, starts the program named in the settings.
//
// Exit status: 0 done, 1 some files were skipped, 2 an error; when it runs
// a program and waits for it, that program's status.
#include "receiver/ProgramArguments.h"
#include "receiver/ReceiverOptions.h"
#include "receiver/SfxFormat.h"
#include "receiver/ReceiverTexts.h"
#include "core/Error.h"
#include "core/Extract.h"
#include "core/Names.h"
#include "core/NewFile.h"
#include "core/ZipFormat.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#ifndef OZ_VERSION
#define OZ_VERSION "0"
#endif

namespace {

using oz::receiver::Settings;

using oz::receiver::Options;

bool interactive()
{
    return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

// --- signals, the temporary folder and the terminal ----------------------------

// What the program is doing when a signal comes: while it asks, nothing needs finishing; while
// it extracts, the extraction stops at its next piece of data; while the program it started
// runs, the signal is passed on to it.
enum class Phase { Asking, Extracting, Running };
std::atomic<Phase> phase{Phase::Asking};
std::atomic<bool> stopRequested{false};
std::atomic<int> caughtSignal{0};
std::atomic<pid_t> child{0};

// The folder of auto-temp, removed on every way out once it exists.
std::mutex temporaryMutex;
std::string temporaryFolder;

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

void removeTemporaryFolder()
{
    std::lock_guard lock(temporaryMutex);
    if (!temporaryFolder.empty())
        nftw(temporaryFolder.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    temporaryFolder.clear();
}

// The terminal's settings while a password is typed without echo, to restore on a signal.
std::mutex terminalMutex;
termios echoingTerminal{};
bool echoOff = false;

void restoreTerminal()
{
    std::lock_guard lock(terminalMutex);
    if (!echoOff)
        return;
    if (const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC); tty >= 0) {
        tcsetattr(tty, TCSANOW, &echoingTerminal);
        close(tty);
    }
    echoOff = false;
}

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "error: %s\n", message.c_str());
    removeTemporaryFolder();
    std::exit(2);
}

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
        fail("cannot find this program's own file");
    buffer[n] = '\0';
    return buffer;
}

// The settings in front of the archive: read from the small trailer that measures them, never
// by walking this program's own image.
Settings readSettings(int fd, std::uint64_t archiveStart)
{
    Settings settings;
    std::string error;
    if (!oz::receiver::readSettings(fd, archiveStart, settings, error))
        fail("this self-extracting archive is damaged: " + error);
    return settings;
}

// --- the archive ---------------------------------------------------------------

struct Archive {
    int fd = -1;
    oz::core::Directory dir;
};

// The archive appended to this program, its directory read and checked.
Archive openArchive(int fd, const std::string &self, const std::string &names)
{
    Archive a;
    a.fd = fd;
    try {
        a.dir = oz::core::readDirectory(fd, names);
    } catch (const oz::core::Error &e) {
        fail("refused to read the archive in " + oz::core::printable(self) + ": " + e.what());
    }
    return a;
}

bool passwordWorks(const Archive &a, const std::string &password)
{
    try {
        oz::core::checkPassword(a.fd, a.dir, password);
        return true;
    } catch (const oz::core::Error &e) {
        // A damaged entry is not cured by asking again.
        if (e.kind() == oz::core::Error::Kind::Damaged)
            fail(e.what());
        return false;
    }
}

std::string askLine(const std::string &question, bool echo)
{
    FILE *tty = std::fopen("/dev/tty", "r+");
    if (!tty)
        return {};
    // Echo goes off before the prompt shows, and nothing typed is flushed:
    // whatever is typed once the prompt is there is the answer.
    termios saved{};
    const bool hide = !echo && tcgetattr(fileno(tty), &saved) == 0;
    if (hide) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        std::lock_guard lock(terminalMutex);
        echoingTerminal = saved;
        echoOff = true;
        tcsetattr(fileno(tty), TCSANOW, &quiet);
    }
    std::fprintf(tty, "%s", question.c_str());
    std::fflush(tty);
    char buffer[4096];
    std::string answer = std::fgets(buffer, sizeof buffer, tty) ? buffer : "";
    if (hide) {
        std::lock_guard lock(terminalMutex);
        tcsetattr(fileno(tty), TCSANOW, &saved);
        echoOff = false;
        std::fprintf(tty, "\n");
    }
    std::fclose(tty);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
        answer.pop_back();
    return answer;
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

enum class Answer { Yes, No, All, Quit };

Answer askOverwrite(const std::string &path)
{
    for (;;) {
        const std::string a = askLine("Replace " + path + "? [y]es, [N]o, [a]ll, [q]uit (Enter: no): ", true);
        if (a == "y" || a == "Y" || a == "yes")
            return Answer::Yes;
        if (a == "n" || a == "N" || a == "no" || a.empty())
            return Answer::No;
        if (a == "a" || a == "A" || a == "all")
            return Answer::All;
        if (a == "q" || a == "Q" || a == "quit")
            return Answer::Quit;
    }
}

// Some entries were damaged: every other one is in place. Each is named; the status is 1, or 2
// when nothing at all could be extracted.
[[noreturn]] void someDamaged(const oz::core::Error &e, const oz::core::ExtractReport &report)
{
    for (const std::string &name : report.damaged)
        std::fprintf(stderr, "damaged, not extracted: %s\n", oz::core::printable(name).c_str());
    std::fprintf(stderr, "error: %s\n", e.what());
    const bool some = std::any_of(report.items.begin(), report.items.end(),
                                  [](const oz::core::ExtractReport::Item &i) { return i.result == "extracted"; });
    std::exit(some ? 1 : 2);
}

// Extracts every entry below root.
oz::core::ExtractReport extract(const Archive &archive, const std::string &self, const std::string &password,
                                const std::string &root, bool overwrite, bool showProgress)
{
    using oz::core::ExtractOptions;
    ExtractOptions options;
    options.archiveLabel = oz::core::printable(self);
    options.password = password;
    options.existing = overwrite ? ExtractOptions::Existing::Replace : ExtractOptions::Existing::Ask;
    // Every question comes before the first byte is written.
    bool quitAsked = false;
    options.ask = [&quitAsked](const std::string &path) {
        if (!interactive()) {
            std::fprintf(stderr, "skipped %s: it exists already (--overwrite replaces it)\n", path.c_str());
            return ExtractOptions::Answer::Keep;
        }
        switch (askOverwrite(path)) {
        case Answer::Yes: return ExtractOptions::Answer::Replace;
        case Answer::All: return ExtractOptions::Answer::ReplaceAll;
        case Answer::Quit: quitAsked = true; return ExtractOptions::Answer::Quit;
        default: return ExtractOptions::Answer::Keep;
        }
    };
    Progress progress;
    progress.bar = showProgress;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        progress.total = total;
        progress.set(done);
    };
    options.stop = &stopRequested;
    // A program is run only from a whole archive.
    options.strict = !temporaryFolder.empty();
    oz::core::ExtractReport report;
    phase = Phase::Extracting;
    try {
        oz::core::extractArchive(archive.fd, archive.dir, root, options, report);
    } catch (const oz::core::Error &e) {
        if (progress.shown >= 0 && progress.shown < 100)
            std::fprintf(stderr, "\n");
        if (e.kind() == oz::core::Error::Kind::Stopped) {
            removeTemporaryFolder();
            std::fprintf(stderr, "Stopped: %s extracted whole; nothing half-written was left.\n",
                         oz::receiver::files(report.files).c_str());
            std::exit(128 + caughtSignal);
        }
        if (quitAsked) {
            removeTemporaryFolder();
            std::fprintf(stderr, "Stopped at your request: nothing was extracted.\n");
            std::exit(1);
        }
        if (e.kind() == oz::core::Error::Kind::Damaged && !report.damaged.empty())
            someDamaged(e, report);
        fail(e.what());
    }
    phase = Phase::Asking;
    if (showProgress && progress.shown != 100 && progress.total > 0)
        progress.set(progress.total);
    return report;
}

int runProgram(const std::string &root, const Settings &settings)
{
    const std::string program = oz::receiver::findProgram(root, settings.runProgram);
    if (program.empty())
        fail("the program to run, " + settings.runProgram + ", is not in the archive");
    struct stat st;
    if (stat(program.c_str(), &st) == 0 && !(st.st_mode & S_IXUSR))
        chmod(program.c_str(), st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH);
    std::vector<std::string> args = oz::receiver::splitArguments(settings.runParameters);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        fail(std::string("cannot start ") + program + ": " + std::strerror(errno));
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
    FILE *tty = std::fopen("/dev/tty", "r+");
    if (!tty)
        return;
    std::fprintf(tty, "\nPress Enter to close this window.");
    std::fflush(tty);
    char line[64];
    if (!std::fgets(line, sizeof line, tty)) {
    }
    std::fclose(tty);
}

// "~" and "~/..." as a shell would read them: the home folder.
std::string withHome(const std::string &path)
{
    const char *home = std::getenv("HOME");
    if (!home || !*home || path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/'))
        return path;
    return home + path.substr(1);
}

// A new folder under TMPDIR (or /tmp), removed on every way out from now on.
std::string makeTemporaryFolder()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvelzip-XXXXXX";
    if (!mkdtemp(folder.data()))
        fail(std::string("cannot create a temporary folder: ") + std::strerror(errno));
    std::lock_guard lock(temporaryMutex);
    temporaryFolder = folder;
    return folder;
}

std::string defaultDestination(const std::string &self)
{
    const std::size_t slash = self.rfind('/');
    const std::size_t dot = self.rfind('.');
    std::string dest
        = (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) ? self.substr(0, dot) : self;
    if (dest == self)
        dest += "-files";
    return dest;
}

// The options, with the password from the environment when none was given; help and version
// are answered here.
Options readOptions(int argc, char **argv)
{
    Options o;
    std::string error;
    if (!oz::receiver::parseOptions(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
        std::fprintf(stderr, "error: %s\n%s", error.c_str(), oz::receiver::usage(argv[0]).c_str());
        std::exit(2);
    }
    if (o.help || o.version) {
        std::printf("%s", o.help ? oz::receiver::usage(argv[0]).c_str() : "Orvel Zip self-extractor " OZ_VERSION "\n");
        std::exit(0);
    }
    if (!o.havePassword && std::getenv("ORVELZIP_PASSWORD")) {
        o.password = std::getenv("ORVELZIP_PASSWORD");
        o.havePassword = true;
    }
    return o;
}

void showSettings(const Settings &settings)
{
    std::printf("icon: %s (%zu bytes)\nrun: %s\nparameters: %s\nauto-temp: %s\n",
                settings.iconName.empty() ? "(none)" : settings.iconName.c_str(), settings.icon.size(),
                settings.runProgram.empty() ? "(none)" : settings.runProgram.c_str(), settings.runParameters.c_str(),
                settings.autoTemp ? "on" : "off");
}

void listEntries(const Archive &archive)
{
    for (const auto &e : archive.dir.entries)
        std::printf("%12llu  %s%s\n", static_cast<unsigned long long>(e.size), oz::core::printable(e.name).c_str(),
                    e.encrypted() ? "  (encrypted)" : "");
}

// The password that opens the archive: the one given, else asked for three times on a terminal.
std::string passwordFor(const Archive &archive, const Options &o, bool ask)
{
    const bool encrypted = std::any_of(archive.dir.entries.begin(), archive.dir.entries.end(),
                                       [](const oz::core::Entry &e) { return e.encrypted(); });
    if (!encrypted)
        return o.password;
    if (o.havePassword) {
        if (!passwordWorks(archive, o.password))
            fail("wrong password");
        return o.password;
    }
    if (!ask)
        fail("the archive is encrypted: give its password with --password or ORVELZIP_PASSWORD");
    for (int tries = 0; tries < 3; ++tries) {
        std::string password = askLine("Password: ", false);
        if (passwordWorks(archive, password))
            return password;
        std::fprintf(stderr, "Wrong password.\n");
    }
    fail("wrong password");
}

void testEntries(const Archive &archive, const std::string &password, bool say)
{
    try {
        oz::core::testArchive(archive.fd, archive.dir, password);
    } catch (const oz::core::Error &e) {
        fail(e.what());
    }
    if (say)
        std::printf("%s\n", oz::receiver::intactText(archive.dir.entries.size(), archive.dir.codePage).c_str());
}

// Where to extract: --dest, else a new temporary folder for auto-temp, else beside this file
// (the receiver may type another on a terminal). --dest wins over auto-temp: the receiver chose
// where, and that folder is kept.
std::string destinationFor(const Options &o, const std::string &self, bool temporary, bool ask)
{
    std::string dest = withHome(o.dest);
    if (temporary) {
        dest = makeTemporaryFolder();
    } else if (dest.empty()) {
        dest = defaultDestination(self);
        if (ask) {
            const std::string answer = withHome(askLine("Extract to [" + dest + "]: ", true));
            if (!answer.empty())
                dest = answer;
        }
    }
    struct stat st;
    if (stat(dest.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        fail("cannot extract into " + oz::core::printable(dest) + ": it is a file, not a folder");
    return dest;
}

} // namespace

int main(int argc, char **argv)
{
    takeSignals();
    const Options o = readOptions(argc, argv);
    const std::string self = selfPath();
    // Double-clicked in a file manager: no terminal, a desktop, and no options. The receiver
    // would see nothing and could answer nothing, so the program opens itself in a terminal.
    if (argc == 1 && !interactive() && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")))
        openInTerminal(self);
    if (o.inTerminal)
        std::atexit(waitBeforeClosing);
    const int fd = open(self.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot read " + self + ": " + std::strerror(errno));
    const Archive archive = openArchive(fd, self, o.names);
    const Settings settings = readSettings(fd, archive.dir.start);
    if (o.info) {
        showSettings(settings);
        return 0;
    }
    if (o.list) {
        listEntries(archive);
        return 0;
    }
    const bool ask = interactive();
    const bool say = !o.quiet;
    if (say && ask) {
        std::uint64_t total = 0;
        for (const auto &e : archive.dir.entries)
            total += e.isFolder() ? 0 : e.size;
        std::fprintf(stderr, "This archive holds %s, %s.\n",
                     oz::receiver::counted(archive.dir.entries.size(), "entry", "entries").c_str(),
                     oz::receiver::counted(total, "byte", "bytes").c_str());
    }
    const std::string password = passwordFor(archive, o, ask);
    if (o.test) {
        testEntries(archive, password, say);
        return 0;
    }
    const bool temporary = settings.autoTemp == 1 && !settings.runProgram.empty() && o.dest.empty();
    const std::string dest = destinationFor(o, self, temporary, ask);
    const auto report = extract(archive, self, password, dest, o.overwrite || temporary, ask && say);
    if (say && !temporary)
        std::fprintf(stderr, "%s extracted to %s\n", oz::receiver::files(report.files).c_str(),
                     oz::core::printable(dest).c_str());
    if (settings.runProgram.empty())
        return report.kept ? 1 : 0;
    const int status = runProgram(dest, settings);
    removeTemporaryFolder();
    return status;
}
