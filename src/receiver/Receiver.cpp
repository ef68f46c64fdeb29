#include "Receiver.h"

#include "ReceiverTexts.h"
#include "core/base/Error.h"
#include "core/extract/NamePlan.h"
#include "core/format/Names.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include "core/base/Utf16.h"
#endif

namespace oz::receiver {

namespace {

#ifdef _WIN32
constexpr const char *separators = "\\/";
constexpr char separator = '\\';
constexpr core::TargetSystem thisSystem = core::TargetSystem::Windows;
#else
constexpr const char *separators = "/";
constexpr char separator = '/';
constexpr core::TargetSystem thisSystem = core::TargetSystem::Posix;
#endif

namespace fs = std::filesystem;

std::string withSeparator(std::string path)
{
    std::replace(path.begin(), path.end(), '/', separator);
    return path;
}

// "1234567" -> "1,234,567"
std::string grouped(std::uint64_t n)
{
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

// The folders of dest that do not exist yet, deepest first: those a run that fails may remove.
std::vector<fs::path> missingFolders(const std::string &dest)
{
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = pathOf(dest); !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path())
            break;
    }
    return missing;
}

// Takes away the folders a run made for its destination when they hold no file: the folders
// planned below it go with them. Anything else, a link included, keeps them all.
void removeIfEmpty(const std::vector<fs::path> &made)
{
    if (made.empty())
        return;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(made.front(), ec), end; !ec && it != end; it.increment(ec))
        if (!it->is_directory(ec) || it->is_symlink(ec))
            return;
    if (ec)
        return;
    fs::remove_all(made.front(), ec);
    for (std::size_t i = 1; i < made.size() && !ec; ++i)
        fs::remove(made[i], ec);
}

} // namespace

bool SelfArchive::encrypted() const
{
    return std::any_of(dir.entries.begin(), dir.entries.end(), [](const core::Entry &e) { return e.encrypted(); });
}

void readSelf(SelfArchive &self, const std::string &names)
{
    try {
        self.dir = core::readDirectory(self.fd, names);
    } catch (const core::Error &e) {
        throw core::Error("refused to read the archive in " + core::printable(self.path) + ": " + e.what(), e.kind());
    }
    // The settings in front of the archive: read from the small trailer that measures them,
    // never by walking the program's own image.
    try {
        self.settings = readSettings(self.fd, self.dir.start);
    } catch (const core::Error &e) {
        throw core::Error(std::string("this self-extracting archive is damaged: ") + e.what(),
                          core::Error::Kind::Refused);
    }
}

bool usesTemporaryFolder(const Settings &settings, const Options &options)
{
    return settings.autoTemp == 1 && !settings.runProgram.empty() && options.dest.empty();
}

std::string defaultDestination(const std::string &self)
{
    const std::size_t slash = self.find_last_of(separators);
    const std::size_t dot = self.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
        return self.substr(0, dot);
    return self + "-files";
}

void takePasswordFromEnvironment(Options &options)
{
    if (options.havePassword)
        return;
#ifdef _WIN32
    // The environment's own UTF-16, so that any password arrives as typed.
    if (const wchar_t *value = ::_wgetenv(L"ORVELZIP_PASSWORD")) {
        options.password = core::fromWide(value);
        options.havePassword = true;
    }
#else
    if (const char *value = std::getenv("ORVELZIP_PASSWORD")) {
        options.password = value;
        options.havePassword = true;
    }
#endif
}

bool passwordWorks(const SelfArchive &self, const std::string &password)
{
    try {
        core::checkPassword(self.fd, self.dir, password);
        return true;
    } catch (const core::Error &e) {
        return e.kind() == core::Error::Kind::Damaged;
    }
}

std::string choosePassword(const SelfArchive &self, const Options &options, const AskPassword &ask)
{
    if (!self.encrypted())
        return options.password;
    if (options.havePassword) {
        if (!passwordWorks(self, options.password))
            throw core::Error("wrong password", core::Error::Kind::WrongPassword);
        return options.password;
    }
    if (!ask)
        throw core::Error("the archive is encrypted: give its password with --password or ORVELZIP_PASSWORD",
                          core::Error::Kind::NoPassword);
    for (int attempt = 0; attempt < passwordTries; ++attempt) {
        const std::optional<std::string> typed = ask(attempt);
        if (!typed)
            throw core::Error("no password was given: nothing was extracted", core::Error::Kind::NoPassword);
        if (passwordWorks(self, *typed))
            return *typed;
    }
    throw core::Error("wrong password", core::Error::Kind::WrongPassword);
}

std::string listingText(const core::Directory &dir)
{
    std::vector<std::string> places(dir.entries.size());
    for (auto &[entry, as] : core::renamedOn(dir, thisSystem))
        places[entry] = "  -> " + core::printable(withSeparator(as));
    std::string out;
    for (std::size_t i = 0; i < dir.entries.size(); ++i) {
        const core::Entry &e = dir.entries[i];
        char size[32];
        std::snprintf(size, sizeof size, "%12llu", static_cast<unsigned long long>(e.size));
        out += size + ("  " + core::printable(e.name)) + (e.encrypted() ? "  (encrypted)" : "") + places[i] + "\n";
    }
    return out;
}

std::string settingsText(const Settings &s)
{
    return "icon: " + (s.iconName.empty() ? std::string("(none)") : s.iconName) + " (" + std::to_string(s.icon.size())
        + " bytes)\nrun: " + (s.runProgram.empty() ? "(none)" : s.runProgram) + "\nparameters: " + s.runParameters
        + "\nauto-temp: " + (s.autoTemp ? "on" : "off") + "\n";
}

std::string summaryText(const core::Directory &dir)
{
    std::uint64_t total = 0;
    for (const auto &e : dir.entries)
        total += e.isFolder() ? 0 : e.size;
    return "This archive holds " + counted(dir.entries.size(), "entry", "entries") + ", "
        + counted(total, "byte", "bytes") + ".";
}

std::string testText(const SelfArchive &self, const std::string &password)
{
    core::testArchive(self.fd, self.dir, password);
    return intactText(self.dir.entries.size(), self.dir.codePage);
}

std::string describeFile(std::int64_t size, std::time_t modified)
{
    std::string text = size < 0 ? std::string("size unknown")
                                : grouped(static_cast<std::uint64_t>(size)) + (size == 1 ? " byte" : " bytes");
    char when[32] = "time unknown";
    if (modified != 0) {
        if (const std::tm *local = std::localtime(&modified))
            std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local);
    }
    return text + ", modified " + when;
}

std::string comparisonText(const ExistingFile &file)
{
    return "On disk: " + describeFile(file.size, file.modified)
        + "\nIn the archive: " + describeFile(static_cast<std::int64_t>(file.newSize), file.newModified);
}

std::string elidedPath(const std::string &path, std::size_t most)
{
    const std::size_t slash = path.find_last_of(separators);
    if (path.size() <= most || slash == std::string::npos)
        return path;
    const std::string folder = path.substr(0, slash + 1), name = path.substr(slash + 1);
    const std::string dots = "...";
    // What the folder may keep: at least its first and last characters around the dots.
    const std::size_t room = most > name.size() + dots.size() + 2 ? most - name.size() - dots.size() : 2;
    if (folder.size() <= room + dots.size())
        return path;
    std::size_t head = room / 2, tail = room - head;
    // Never a cut through a UTF-8 sequence: the head ends, and the tail starts, on a character.
    while (head > 0 && (static_cast<unsigned char>(folder[head]) & 0xC0) == 0x80)
        --head;
    std::size_t tailStart = folder.size() - tail;
    while (tailStart < folder.size() && (static_cast<unsigned char>(folder[tailStart]) & 0xC0) == 0x80)
        ++tailStart;
    return folder.substr(0, head) + dots + folder.substr(tailStart) + name;
}

std::function<core::ExtractOptions::Answer(const std::string &, const core::Entry &)>
replaceQuestion(std::function<ReplaceChoice(const ExistingFile &)> choose, std::function<void(ExistingFile &)> measure)
{
    using Answer = core::ExtractOptions::Answer;
    auto keepAll = std::make_shared<bool>(false);
    return [choose = std::move(choose), measure = std::move(measure), keepAll](const std::string &path,
                                                                               const core::Entry &entry) {
        if (*keepAll)
            return Answer::Keep;
        ExistingFile file;
        file.path = path;
        file.newSize = entry.size;
        file.newModified = entry.mtime;
        if (measure)
            measure(file);
        switch (choose(file)) {
        case ReplaceChoice::Replace: return Answer::Replace;
        case ReplaceChoice::ReplaceAll: return Answer::ReplaceAll;
        case ReplaceChoice::Keep: return Answer::Keep;
        case ReplaceChoice::KeepAll: *keepAll = true; return Answer::Keep;
        case ReplaceChoice::Stop: break;
        }
        return Answer::Quit;
    };
}

Outcome extract(const SelfArchive &self, const std::string &password, const std::string &dest,
                core::ExtractOptions options)
{
    options.archiveLabel = core::printable(self.path);
    options.password = password;
    bool quit = false;
    if (options.ask) {
        options.ask = [&quit, ask = std::move(options.ask)](const std::string &path, const core::Entry &entry) {
            const auto answer = ask(path, entry);
            quit = answer == core::ExtractOptions::Answer::Quit;
            return answer;
        };
    }
    const std::vector<fs::path> made = missingFolders(dest);
    Outcome out;
    try {
        core::extractArchive(self.fd, self.dir, dest, options, out.report);
        out.ok = true;
        return out;
    } catch (const core::Error &e) {
        out.stopped = e.kind() == core::Error::Kind::Stopped;
        out.quit = quit;
        out.message = e.what();
        out.partly = !out.report.damaged.empty()
            && std::any_of(out.report.items.begin(), out.report.items.end(),
                           [](const core::ExtractReport::Item &i) { return i.result == core::EntryResult::Extracted; });
    }
    removeIfEmpty(made);
    return out;
}

int statusOf(const Outcome &o, int interrupted)
{
    if (o.ok)
        return o.report.kept ? statusKept : statusDone;
    if (o.stopped)
        return interrupted;
    return o.quit || o.partly ? statusKept : statusError;
}

std::string failureText(const Outcome &o)
{
    if (o.stopped)
        return "Stopped: " + files(o.report.files) + " extracted whole; nothing half-written was left.\n";
    if (o.quit)
        return "Stopped at your request: nothing was extracted.\n";
    std::string out;
    for (const std::string &name : o.report.damaged)
        out += "damaged, not extracted: " + core::printable(name) + "\n";
    return out + "error: " + o.message + "\n";
}

std::string renameLines(const core::ExtractReport &report, std::size_t most)
{
    std::string out;
    for (std::size_t i = 0; i < report.renamed.size() && i < most; ++i)
        out += core::printable(report.renamed[i].name) + " was unzipped as " + core::printable(report.renamed[i].as)
            + "\n";
    if (report.renamed.size() > most)
        out += "and " + std::to_string(report.renamed.size() - most) + " more.\n";
    return out;
}

} // namespace oz::receiver
