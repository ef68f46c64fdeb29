// The extractor at the front of every self-extracting executable Orvel Zip
// builds. It runs on a machine with nothing installed: it reads the settings
// block and the zip archive appended to itself, unpacks the archive and, for
// model 2, starts the program named in the settings.
//
// Exit status: 0 done, 1 some files were skipped, 2 an error; when it runs
// a program and waits for it, that program's status.
#include "SfxFormat.h"
#include "archive/ZipLayout.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <elf.h>
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

using oz::sfx::Settings;

struct Options {
    std::string dest;
    std::string password;
    bool havePassword = false;
    bool list = false;
    bool test = false;
    bool overwrite = false;
    bool quiet = false;
    bool info = false;
};

bool interactive()
{
    return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "error: %s\n", message.c_str());
    std::exit(2);
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

// Where this program's ELF image ends: its settings block starts there.
std::size_t elfImageSize(int fd)
{
    Elf64_Ehdr eh;
    if (pread(fd, &eh, sizeof eh, 0) != sizeof eh || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0
        || eh.e_ident[EI_CLASS] != ELFCLASS64)
        fail("this file is not a self-extracting archive");
    std::size_t end = eh.e_shoff + std::size_t(eh.e_shnum) * eh.e_shentsize;
    for (int i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph;
        if (pread(fd, &ph, sizeof ph, eh.e_phoff + std::size_t(i) * eh.e_phentsize) != sizeof ph)
            fail("this file is damaged");
        if (ph.p_offset + ph.p_filesz > end)
            end = ph.p_offset + ph.p_filesz;
    }
    return end;
}

Settings readSettings(int fd, std::size_t at)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || std::size_t(st.st_size) <= at)
        fail("this self-extracting archive is cut short: it holds no archive");
    const std::size_t available = std::min<std::size_t>(std::size_t(st.st_size) - at, oz::sfx::maxSettingsBytes * 2 + 64);
    std::vector<unsigned char> block(available);
    if (pread(fd, block.data(), available, static_cast<off_t>(at)) != static_cast<ssize_t>(available))
        fail("cannot read the archive's settings");
    Settings settings;
    std::size_t used = 0;
    std::string error;
    if (!oz::sfx::decodeSettings(block.data(), block.size(), settings, used, error))
        fail("this self-extracting archive is damaged: " + error);
    return settings;
}

// --- names ------------------------------------------------------------------

// The safe relative path of an entry, or "" when it must be refused.
std::string safePath(const std::string &name, bool &refused)
{
    refused = true;
    if (name.empty() || name[0] == '/' || name[0] == '\\')
        return {};
    std::string unified = name;
    for (char &c : unified)
        if (c == '\\')
            c = '/';
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= unified.size()) {
        std::size_t end = unified.find('/', start);
        if (end == std::string::npos)
            end = unified.size();
        const std::string part = unified.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..")
            return {};
        parts.push_back(part);
    }
    if (!parts.empty() && parts[0].size() >= 2 && parts[0][1] == ':')
        return {};
    refused = false;
    std::string out;
    for (const auto &p : parts)
        out += (out.empty() ? "" : "/") + p;
    return out;
}

bool linkInside(const std::string &linkPath, const std::string &target)
{
    if (target.empty() || target[0] == '/')
        return false;
    std::vector<std::string> resolved;
    std::size_t start = 0;
    const std::string joined = linkPath.substr(0, linkPath.rfind('/') == std::string::npos ? 0 : linkPath.rfind('/') + 1) + target;
    while (start <= joined.size()) {
        std::size_t end = joined.find('/', start);
        if (end == std::string::npos)
            end = joined.size();
        const std::string part = joined.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (resolved.empty())
                return false;
            resolved.pop_back();
        } else {
            resolved.push_back(part);
        }
    }
    return true;
}

// --- the archive ---------------------------------------------------------------

std::string errorOf(archive *a)
{
    const char *why = archive_error_string(a);
    return why ? why : "the archive is damaged or cut short";
}

struct Reader {
    archive *a = nullptr;
    explicit Reader(const std::string &path, const std::string &password)
    {
        a = archive_read_new();
        archive_read_support_format_zip_seekable(a);
        if (!password.empty())
            archive_read_add_passphrase(a, password.c_str());
        if (archive_read_open_filename(a, path.c_str(), 1 << 16) != ARCHIVE_OK)
            fail("cannot read the archive: " + errorOf(a));
    }
    ~Reader() { archive_read_free(a); }
};

struct Entry {
    std::string name;
    std::int64_t size;
    bool encrypted;
};

std::vector<Entry> listArchive(const std::string &path)
{
    Reader r(path, {});
    std::vector<Entry> out;
    archive_entry *e;
    int rc;
    while ((rc = archive_read_next_header(r.a, &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
        const char *name = archive_entry_pathname(e);
        out.push_back({name ? name : "", archive_entry_size(e), archive_entry_is_encrypted(e) != 0});
    }
    if (rc != ARCHIVE_EOF)
        fail("the archive is damaged: " + errorOf(r.a));
    return out;
}

// True when the password decrypts the first encrypted file completely.
bool passwordWorks(const std::string &path, const std::string &password)
{
    Reader r(path, password);
    archive_entry *e;
    while (archive_read_next_header(r.a, &e) == ARCHIVE_OK) {
        if (!archive_entry_is_encrypted(e) || archive_entry_filetype(e) != AE_IFREG)
            continue;
        char buffer[65536];
        la_ssize_t n;
        while ((n = archive_read_data(r.a, buffer, sizeof buffer)) > 0) {
        }
        return n == 0;
    }
    return true;
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
        tcsetattr(fileno(tty), TCSANOW, &quiet);
    }
    std::fprintf(tty, "%s", question.c_str());
    std::fflush(tty);
    char buffer[4096];
    std::string answer = std::fgets(buffer, sizeof buffer, tty) ? buffer : "";
    if (hide) {
        tcsetattr(fileno(tty), TCSANOW, &saved);
        std::fprintf(tty, "\n");
    }
    std::fclose(tty);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
        answer.pop_back();
    return answer;
}

struct Progress {
    std::int64_t total = 0, done = 0;
    int shown = -1;
    bool bar = false;
    void advance(std::int64_t n)
    {
        done += n;
        if (!bar || total <= 0)
            return;
        const int percent = static_cast<int>(std::min<std::int64_t>(100, done * 100 / total));
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

bool makeFolders(const std::string &root, const std::string &rel, std::string &error)
{
    std::string path = root;
    std::size_t start = 0;
    while (start < rel.size()) {
        std::size_t end = rel.find('/', start);
        if (end == std::string::npos)
            end = rel.size();
        path += "/" + rel.substr(start, end - start);
        start = end + 1;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                error = path + " exists and is not a folder";
                return false;
            }
            continue;
        }
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// The destination is the receiver's own choice: links in its path are followed.
bool makeDestination(const std::string &dest)
{
    for (std::size_t at = 1; at <= dest.size(); ++at) {
        if (at != dest.size() && dest[at] != '/')
            continue;
        const std::string part = dest.substr(0, at);
        struct stat st;
        if (stat(part.c_str(), &st) == 0)
            continue;
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

std::string parentOf(const std::string &rel)
{
    const std::size_t slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

struct Outcome {
    int skipped = 0;
    std::size_t files = 0;
};

enum class Answer { Yes, No, All, Quit };

Answer askOverwrite(const std::string &path)
{
    for (;;) {
        const std::string a = askLine("Replace " + path + "? [y]es, [n]o, [a]ll, [q]uit: ", true);
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

// Extracts (or with dryRun only verifies) every entry below root.
Outcome extract(const std::string &archivePath, const std::string &password, const std::string &root, bool dryRun,
                bool overwrite, bool showProgress, std::int64_t total)
{
    Reader r(archivePath, password);
    Progress progress;
    progress.total = total;
    progress.bar = showProgress;
    Outcome outcome;
    struct Link {
        std::string rel, target;
    };
    std::vector<Link> links;
    bool replaceAll = overwrite;
    std::vector<char> buffer(256 * 1024);

    archive_entry *e;
    int rc;
    while ((rc = archive_read_next_header(r.a, &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
        const std::string name = archive_entry_pathname(e) ? archive_entry_pathname(e) : "";
        bool refused;
        const std::string rel = safePath(name, refused);
        if (refused)
            fail("refused to extract \"" + name + "\": its name would place it outside " + root);
        const mode_t type = archive_entry_filetype(e);
        if (rel.empty())
            continue;
        std::string error;
        if (type == AE_IFDIR) {
            if (!dryRun && !makeFolders(root, rel, error))
                fail(error);
            continue;
        }
        if (type == AE_IFLNK) {
            const char *target = archive_entry_symlink(e);
            if (!target || !linkInside(rel, target))
                fail("refused to extract \"" + name + "\": it is a link that points outside " + root);
            links.push_back({rel, target});
            continue;
        }
        if (type != AE_IFREG)
            continue;
        const std::string path = root + "/" + rel;
        if (!dryRun) {
            if (!makeFolders(root, parentOf(rel), error))
                fail(error);
            struct stat st;
            if (lstat(path.c_str(), &st) == 0) {
                if (S_ISDIR(st.st_mode))
                    fail("cannot write " + path + ": a folder of that name is in the way");
                if (!replaceAll) {
                    Answer answer = interactive() ? askOverwrite(path) : Answer::No;
                    if (answer == Answer::Quit)
                        std::exit(1);
                    if (answer == Answer::All)
                        replaceAll = true;
                    if (answer == Answer::No) {
                        std::fprintf(stderr, "skipped %s: it exists already (--overwrite replaces it)\n", path.c_str());
                        ++outcome.skipped;
                        progress.advance(archive_entry_size(e));
                        continue;
                    }
                }
            }
        }
        // Written under a temporary name, renamed once verified.
        std::string temp = (parentOf(rel).empty() ? root : root + "/" + parentOf(rel)) + "/.ozpart-XXXXXX";
        int fd = -1;
        if (!dryRun) {
            fd = mkstemp(temp.data());
            if (fd < 0)
                fail("cannot write " + path + ": " + std::strerror(errno));
        }
        const std::int64_t declared = archive_entry_size_is_set(e) ? archive_entry_size(e) : -1;
        std::int64_t written = 0;
        la_ssize_t n;
        std::string failure;
        while ((n = archive_read_data(r.a, buffer.data(), buffer.size())) > 0) {
            written += n;
            if (declared >= 0 && written > declared) {
                failure = "\"" + name + "\" holds more data than the archive declares";
                break;
            }
            if (fd >= 0) {
                const char *at = buffer.data();
                la_ssize_t left = n;
                while (left > 0) {
                    const ssize_t w = write(fd, at, static_cast<size_t>(left));
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w < 0) {
                        failure = "cannot write " + path + ": " + std::strerror(errno);
                        break;
                    }
                    at += w;
                    left -= w;
                }
                if (!failure.empty())
                    break;
            }
            progress.advance(n);
        }
        if (failure.empty() && n < 0)
            failure = "cannot extract \"" + name + "\": " + errorOf(r.a);
        if (failure.empty() && declared >= 0 && written != declared)
            failure = "\"" + name + "\" is shorter than the archive declares";
        if (fd >= 0) {
            if (failure.empty()) {
                fchmod(fd, archive_entry_perm(e) & 0777 ? archive_entry_perm(e) & 0777 : 0644);
                struct timespec times[2] = {{archive_entry_mtime(e), 0}, {archive_entry_mtime(e), 0}};
                futimens(fd, times);
            }
            if (close(fd) != 0 && failure.empty())
                failure = "cannot write " + path + ": " + std::strerror(errno);
            if (failure.empty() && rename(temp.c_str(), path.c_str()) != 0)
                failure = "cannot write " + path + ": " + std::strerror(errno);
            if (!failure.empty())
                unlink(temp.c_str());
        }
        if (!failure.empty())
            fail(failure);
        ++outcome.files;
    }
    if (rc != ARCHIVE_EOF)
        fail("the archive is damaged: " + errorOf(r.a));
    // Links last, so that nothing of this archive is written through one.
    if (!dryRun) {
        for (const auto &link : links) {
            std::string error;
            if (!makeFolders(root, parentOf(link.rel), error))
                fail(error);
            const std::string path = root + "/" + link.rel;
            struct stat st;
            if (lstat(path.c_str(), &st) == 0) {
                if (S_ISDIR(st.st_mode))
                    fail("cannot write " + path + ": a folder of that name is in the way");
                unlink(path.c_str());
            }
            if (symlink(link.target.c_str(), path.c_str()) != 0)
                fail("cannot write " + path + ": " + std::strerror(errno));
        }
    }
    progress.advance(0);
    if (showProgress && progress.shown != 100 && total > 0) {
        progress.done = total;
        progress.advance(0);
    }
    return outcome;
}

// Splits a parameter text into arguments as a shell would: blanks separate,
// quotes group, a backslash takes the next character. Nothing is expanded.
std::vector<std::string> splitArguments(const std::string &text)
{
    std::vector<std::string> out;
    std::string current;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            else if (c == '\\' && quote == '"' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\'))
                current.push_back(text[++i]);
            else
                current.push_back(c);
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == '\\' && i + 1 < text.size()) {
            current.push_back(text[++i]);
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord)
                out.push_back(current);
            current.clear();
            inWord = false;
        } else {
            current.push_back(c);
            inWord = true;
        }
    }
    if (inWord)
        out.push_back(current);
    return out;
}

// The program to run: at the top of the tree, else the first found below it.
std::string findProgram(const std::string &root, const std::string &name)
{
    std::vector<std::string> level{root};
    while (!level.empty()) {
        std::vector<std::string> next;
        for (const auto &folder : level) {
            const std::string candidate = folder + "/" + name;
            struct stat st;
            if (lstat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                return candidate;
        }
        for (const auto &folder : level) {
            if (auto *d = opendir(folder.c_str())) {
                std::vector<std::string> names;
                while (auto *entry = readdir(d)) {
                    const std::string n = entry->d_name;
                    if (n == "." || n == "..")
                        continue;
                    struct stat st;
                    const std::string p = folder + "/" + n;
                    if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                        names.push_back(p);
                }
                closedir(d);
                std::sort(names.begin(), names.end());
                next.insert(next.end(), names.begin(), names.end());
            }
        }
        level = std::move(next);
    }
    return {};
}

int runProgram(const std::string &root, const Settings &settings)
{
    const std::string program = findProgram(root, settings.runProgram);
    if (program.empty())
        fail("the program to run, " + settings.runProgram + ", is not in the archive");
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
        fail(std::string("cannot start ") + program + ": " + std::strerror(errno));
    if (pid == 0) {
        if (chdir(root.c_str()) != 0)
            _exit(127);
        execv(program.c_str(), argv.data());
        std::fprintf(stderr, "error: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

std::string defaultDestination(const std::string &self)
{
    const std::size_t slash = self.rfind('/');
    const std::size_t dot = self.rfind('.');
    std::string dest = (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) ? self.substr(0, dot) : self;
    if (dest == self)
        dest += "-files";
    return dest;
}

void usage(const char *program)
{
    std::printf("Usage: %s [options]\n"
                "Unpacks the files this self-extracting archive holds.\n\n"
                "  --dest DIR       extract into DIR (default: a folder beside this file, named after it)\n"
                "  --password PW    the archive's password (or set ORVELZIP_PASSWORD)\n"
                "  --list           list the files and do nothing else\n"
                "  --test           verify every file without writing anything\n"
                "  --overwrite      replace files that exist already\n"
                "  --quiet          print nothing but errors\n"
                "  --info           show the stored settings\n"
                "  --help           show this help\n"
                "  --version        show the version\n",
                program);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char *option) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "error: %s needs a value\n", option);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--dest")
            o.dest = value("--dest");
        else if (arg.rfind("--dest=", 0) == 0)
            o.dest = arg.substr(7);
        else if (arg == "--password")
            o.password = value("--password"), o.havePassword = true;
        else if (arg.rfind("--password=", 0) == 0)
            o.password = arg.substr(11), o.havePassword = true;
        else if (arg == "--list")
            o.list = true;
        else if (arg == "--test")
            o.test = true;
        else if (arg == "--overwrite")
            o.overwrite = true;
        else if (arg == "--quiet")
            o.quiet = true;
        else if (arg == "--info")
            o.info = true;
        else if (arg == "--help" || arg == "-h") {
            usage(argv[0]);
            return 0;
        } else if (arg == "--version") {
            std::printf("Orvel Zip self-extractor %s\n", OZ_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "error: unknown option %s\n", arg.c_str());
            usage(argv[0]);
            return 2;
        }
    }
    if (!o.havePassword && std::getenv("ORVELZIP_PASSWORD")) {
        o.password = std::getenv("ORVELZIP_PASSWORD");
        o.havePassword = true;
    }

    const std::string self = selfPath();
    const int fd = open(self.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot read " + self + ": " + std::strerror(errno));
    const Settings settings = readSettings(fd, elfImageSize(fd));
    const std::string fault = oz::ziplayout::layoutFault(fd);
    close(fd);

    if (o.info) {
        std::printf("icon: %s (%zu bytes)\nrun: %s\nparameters: %s\nauto-temp: %s\n",
                    settings.iconName.empty() ? "(none)" : settings.iconName.c_str(), settings.icon.size(),
                    settings.runProgram.empty() ? "(none)" : settings.runProgram.c_str(), settings.runParameters.c_str(),
                    settings.autoTemp ? "on" : "off");
        return 0;
    }

    if (!fault.empty())
        fail("refused to read the archive in " + self + ": " + fault);
    const std::vector<Entry> entries = listArchive(self);
    std::int64_t total = 0;
    bool encrypted = false;
    for (const auto &e : entries) {
        total += e.size > 0 ? e.size : 0;
        encrypted = encrypted || e.encrypted;
    }
    if (o.list) {
        for (const auto &e : entries)
            std::printf("%12lld  %s%s\n", static_cast<long long>(e.size), e.name.c_str(), e.encrypted ? "  (encrypted)" : "");
        return 0;
    }

    const bool ask = interactive();
    const bool autoTemp = settings.autoTemp == 1 && !settings.runProgram.empty();
    const bool say = !o.quiet;
    if (say && ask)
        std::fprintf(stderr, "This archive holds %zu entries, %lld bytes.\n", entries.size(), static_cast<long long>(total));

    // The password, asked for three times on a terminal.
    std::string password = o.password;
    if (encrypted) {
        if (!o.havePassword) {
            if (!ask)
                fail("the archive is encrypted: give its password with --password or ORVELZIP_PASSWORD");
            bool ok = false;
            for (int tries = 0; tries < 3 && !ok; ++tries) {
                password = askLine("Password: ", false);
                ok = passwordWorks(self, password);
                if (!ok)
                    std::fprintf(stderr, "Wrong password.\n");
            }
            if (!ok)
                fail("wrong password");
        } else if (!passwordWorks(self, password)) {
            fail("wrong password");
        }
    }

    if (o.test) {
        extract(self, password, "", true, false, false, total);
        if (say)
            std::printf("All %zu entries are intact.\n", entries.size());
        return 0;
    }

    std::string dest = o.dest;
    char tempTemplate[4096];
    if (autoTemp) {
        const char *tmp = std::getenv("TMPDIR");
        std::snprintf(tempTemplate, sizeof tempTemplate, "%s/orvelzip-XXXXXX", tmp && *tmp ? tmp : "/tmp");
        if (!mkdtemp(tempTemplate))
            fail(std::string("cannot create a temporary folder: ") + std::strerror(errno));
        dest = tempTemplate;
    } else if (dest.empty()) {
        dest = defaultDestination(self);
        if (ask) {
            const std::string answer = askLine("Extract to [" + dest + "]: ", true);
            if (!answer.empty())
                dest = answer;
        }
    }
    struct stat st;
    if (stat(dest.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        fail("cannot extract into " + dest + ": it is a file, not a folder");
    if (stat(dest.c_str(), &st) != 0 && !makeDestination(dest))
        fail("cannot create " + dest + ": " + std::strerror(errno));

    const Outcome outcome = extract(self, password, dest, false, o.overwrite || autoTemp, ask && say, total);
    if (say && !autoTemp)
        std::fprintf(stderr, "%zu files extracted to %s\n", outcome.files, dest.c_str());

    if (!settings.runProgram.empty()) {
        const int status = runProgram(dest, settings);
        if (autoTemp)
            nftw(dest.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
        return status;
    }
    return outcome.skipped ? 1 : 0;
}
