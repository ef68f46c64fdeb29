// orvelzip-cli: the archive component from a shell, for scripts, file
// managers and benchmarks. Every archive operation is the component's; this
// file only reads arguments, asks for passwords and reports.
//
// Exit status: 0 success, 1 something was skipped, 2 error.
#include "archive/ArchiveComponent.h"
#include "archive/PathRules.h"
#include "core/extract/Extract.h"
#include "core/files/NewFile.h"
#include "core/format/NameText.h"
#include "core/format/Names.h"
#include "receiver/Terminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <algorithm>

#include <cstdio>
#include <map>
#include <optional>
#include <unistd.h>

using oz::archive::ArchiveComponent;
using oz::archive::ArchiveEntry;
using oz::archive::ArchiveError;

namespace {

const char *const toolUsage
    = "Usage: orvelzip-cli COMMAND [options]\n"
      "\n"
      "Commands:\n"
      "  create ARCHIVE.zip PATH...   build an archive from files and folders\n"
      "  list ARCHIVE                 list the entries\n"
      "  extract ARCHIVE [-d DIR]     extract (default: the folder named after the archive beside it)\n"
      "  test ARCHIVE                 verify every entry without writing\n"
      "  sfx OUT PATH...              build a self-extracting executable\n"
      "\n"
      "orvelzip-cli COMMAND --help shows a command's options; --version the version.\n";

const std::map<std::string, const char *> commandHelp = {
    {"create",
     "Usage: orvelzip-cli create ARCHIVE.zip PATH... [options]\n"
     "  --include PATTERN   file names to take from folders (default *.*); each one given counts\n"
     "  --exclude PATTERN   file names to leave out; each one given counts\n"
     "  --no-recurse        only the top level of each folder\n"
     "  --full-paths        keep each folder's own path in the names\n"
     "  --hidden            include hidden files and folders\n"
     "  --system            include system files (devices, pipes, sockets), stored empty\n"
     "  --archive-only      only files with the archive attribute\n"
     "  --password          encrypt with AES-256: asked twice on a terminal, else ORVELZIP_PASSWORD\n"
     "  --password=VALUE    encrypt with this password\n"
     "  --level N           compression level 0 (store) to 9, default 6\n"
     "  --threads N         worker threads (default: one per core)\n"
     "  --quiet             print nothing but errors\n"},
    {"list",
     "Usage: orvelzip-cli list ARCHIVE [--json] [--target SYSTEM] [--names CP]\n"
     "  --json              one JSON document for machines\n"
     "  --target SYSTEM     windows or linux: also show where a receiver on that system gets\n"
     "                      each entry whose name it cannot hold as stored\n"
     "  --names CP          read names that are not UTF-8 in code page CP (CP866, CP932, ...;\n"
     "                      default: ORVELZIP_NAMES, else the one detected, else CP437)\n"},
    {"extract",
     "Usage: orvelzip-cli extract ARCHIVE [-d DIR] [options]\n"
     "  -d DIR              extract into DIR\n"
     "  --password[=VALUE]  the password (asked on a terminal, else ORVELZIP_PASSWORD)\n"
     "  --threads N         worker threads (default: one per core)\n"
     "  --overwrite         replace files that exist already (else they are kept: status 1)\n"
     "  --strict            all or nothing: check every entry before writing the first; else\n"
     "                      a damaged entry is named and left out (status 1)\n"
     "  --names CP          read names that are not UTF-8 in code page CP (see list --help)\n"
     "  --quiet             print nothing but errors\n"},
    {"test", "Usage: orvelzip-cli test ARCHIVE [--password[=VALUE]] [--names CP] [--quiet]\n"},
    {"sfx",
     "Usage: orvelzip-cli sfx OUT PATH... [options]\n"
     "  --run PROGRAM       program of the archive to start after extraction\n"
     "  --param TEXT        its parameters\n"
     "  --auto-temp         extract into a temporary folder, run, and remove it\n"
     "  --icon FILE         the executable's icon (.ico; a Windows program shows it)\n"
     "  --target SYSTEM     windows or linux: the receiver's system (default: windows\n"
     "                      for a name ending in .exe, else linux)\n"
     "  --product NAME      the product name Explorer shows (default: OUT's name)\n"
     "  --version VERSION   its version, 1 to 4 numbers as 1.2.3.4 (default: this tool's)\n"
     "  --company NAME      its maker, also named in its copyright (default: none)\n"
     "                      (these three go into the Windows program's version resource;\n"
     "                      a Linux .run has no such resource and ignores them)\n"
     "  --sign CERT         sign the Windows program with Authenticode: the certificate\n"
     "                      file (PEM or DER), valid today; needs osslsigncode\n"
     "  --sign-key KEY      the certificate's private key file\n"
     "  --sign-pass PASS    the key's password (else ORVELZIP_SIGN_PASSWORD, if set)\n"
     "  --timestamp URL     a time-stamp server (http:// or https://) that dates the signature\n"
     "                      (a signature that fails leaves no executable)\n"
     "  and the options of create\n"},
};

// Text for the terminal: names and paths never carry control characters raw.
std::string shown(const QString &text)
{
    return oz::core::printable(text.toStdString());
}

[[noreturn]] void usageError(const QString &message, const std::string &command = {})
{
    std::fprintf(stderr, "orvelzip-cli: %s\n", shown(message).c_str());
    const auto help = commandHelp.find(command);
    std::fputs(help != commandHelp.end() ? help->second : toolUsage, stderr);
    std::exit(2);
}

[[noreturn]] void error(const QString &message)
{
    std::fprintf(stderr, "orvelzip-cli: %s\n", shown(message).c_str());
    std::exit(2);
}

struct Args {
    std::string command;
    QStringList positional;
    std::map<std::string, QStringList> values; // options with a value: every occurrence, in order
    std::map<std::string, bool> flags;
    bool passwordAsked = false;
    std::optional<QString> passwordGiven;

    bool flag(const char *name) const { return flags.count(name) > 0; }
    // The last occurrence of an option with a value.
    std::optional<QString> value(const char *name) const
    {
        const auto it = values.find(name);
        return it == values.end() || it->second.isEmpty() ? std::nullopt : std::optional<QString>(it->second.last());
    }
    QStringList all(const char *name) const
    {
        const auto it = values.find(name);
        return it == values.end() ? QStringList() : it->second;
    }
};

// The options each command takes: those with a value, then the flags.
const std::map<std::string, std::pair<std::vector<const char *>, std::vector<const char *>>> commandOptions = {
    {"create",
     {{"include", "exclude", "level", "threads"},
      {"no-recurse", "full-paths", "hidden", "system", "archive-only", "quiet"}}},
    {"sfx",
     {{"include", "exclude", "level", "threads", "run", "param", "icon", "target", "product", "version", "company",
       "sign", "sign-key", "sign-pass", "timestamp"},
      {"no-recurse", "full-paths", "hidden", "system", "archive-only", "quiet", "auto-temp"}}},
    {"list", {{"target", "names"}, {"json"}}},
    {"extract", {{"d", "threads", "names"}, {"overwrite", "strict", "quiet"}}},
    {"test", {{"threads", "names"}, {"quiet"}}},
};

// "--password" alone asks for it and "--password=VALUE" gives it: one name for both, which no
// parser takes, so both are taken out before the rest is parsed.
QStringList takePassword(Args &a, QStringList arguments)
{
    if (a.command == "list")
        return arguments;
    QStringList rest;
    for (const QString &arg : arguments) {
        if (arg == u"--password")
            a.passwordAsked = true;
        else if (arg.startsWith(QStringLiteral("--password=")))
            a.passwordGiven = arg.mid(11);
        else
            rest << arg;
    }
    return rest;
}

Args parse(const QStringList &arguments)
{
    Args a;
    if (arguments.size() < 2)
        usageError(QStringLiteral("no command given"));
    a.command = arguments.at(1).toStdString();
    if (a.command == "--help" || a.command == "-h") {
        std::fputs(toolUsage, stdout);
        std::exit(0);
    }
    if (a.command == "--version") {
        std::printf("orvelzip-cli %s\n", OZ_VERSION);
        std::exit(0);
    }
    const auto options = commandOptions.find(a.command);
    if (options == commandOptions.end())
        usageError(QStringLiteral("unknown command %1").arg(arguments.at(1)));
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    for (const char *name : options->second.first)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    for (const char *name : options->second.second)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));
    QStringList rest = takePassword(a, arguments.mid(1));
    if (!parser.parse(rest))
        usageError(parser.errorText(), a.command);
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(commandHelp.at(a.command), stdout);
        std::exit(0);
    }
    auto dashed = [](const char *name) { return std::string(name[1] ? "--" : "-") + name; };
    for (const char *name : options->second.first)
        if (parser.isSet(QString::fromLatin1(name)))
            a.values[dashed(name)] = parser.values(QString::fromLatin1(name));
    for (const char *name : options->second.second)
        if (parser.isSet(QString::fromLatin1(name)))
            a.flags[dashed(name)] = true;
    a.positional = parser.positionalArguments(); // the command stands where the program name would
    return a;
}

// Asked without echo; the echo comes back however the question ends, Ctrl-C included. Ctrl-D
// gives up, as at any other prompt.
QString readSecret(const char *prompt)
{
    const std::optional<std::string> typed = oz::receiver::askLine(prompt, false);
    if (!typed)
        error(QStringLiteral("no password was given"));
    return QString::fromLocal8Bit(*typed);
}

bool interactive()
{
    return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

// The password of a command: --password=VALUE, ORVELZIP_PASSWORD, or asked.
// Nothing when none was asked for; confirm asks twice (for new archives).
QString password(const Args &a, bool wanted, bool confirm)
{
    if (a.passwordGiven)
        return *a.passwordGiven;
    if (!wanted)
        return {};
    QString fromEnvironment = qEnvironmentVariable("ORVELZIP_PASSWORD");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    if (!interactive())
        error(QStringLiteral("a password is needed: set ORVELZIP_PASSWORD or give --password=VALUE"));
    QString first = readSecret("Password: ");
    if (confirm && readSecret("Password again: ") != first)
        error(QStringLiteral("the two passwords differ"));
    return first;
}

class ProgressBar {
public:
    explicit ProgressBar(bool on) : on_(on) {}
    void show(int percent)
    {
        if (!on_ || percent == last_)
            return;
        last_ = percent;
        std::fprintf(stderr, "\r[%-30s] %3d%%", std::string(static_cast<size_t>(percent * 30 / 100), '#').c_str(),
                     percent);
        if (percent == 100)
            std::fputs("\n", stderr);
        std::fflush(stderr);
    }

private:
    bool on_;
    int last_ = -1;
};

// Adds the paths of create and sfx; returns how many were skipped.
int addPaths(ArchiveComponent &zip, const Args &a, const QStringList &paths)
{
    // Every --exclude and every --include applies.
    oz::archive::PatternList exclusions;
    for (const QString &pattern : a.all("--exclude"))
        exclusions.Add(pattern);
    zip.SetExclusionList(exclusions);
    QStringList includes = a.all("--include");
    if (includes.isEmpty())
        includes << QStringLiteral("*.*");
    const int recurse = a.flag("--no-recurse") ? 0 : 1;
    int skipped = 0;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            for (const QString &include : includes)
                zip.AddFilesByPatternFiltered(QDir(path).absolutePath() + u'/' + include, recurse,
                                              a.flag("--full-paths"), a.flag("--archive-only"), a.flag("--hidden"),
                                              a.flag("--system"));
        } else if (info.isFile()) {
            zip.AddFilesByPattern(info.absoluteFilePath(), 0);
        } else {
            std::fprintf(stderr, "orvelzip-cli: skipped %s: no such file or folder\n", shown(path).c_str());
            ++skipped;
        }
    }
    return skipped;
}

// The value of a numeric option, when given, checked against its range.
std::optional<int> numberOption(const Args &a, const char *name, int lowest, int highest)
{
    const auto value = a.value(name);
    if (!value)
        return std::nullopt;
    bool ok = false;
    const int n = value->toInt(&ok);
    if (!ok || n < lowest || n > highest)
        usageError(QStringLiteral("%1 takes a number from %2 to %3").arg(QLatin1String(name)).arg(lowest).arg(highest),
                   a.command);
    return n;
}

void setThreads(ArchiveComponent &zip, const Args &a)
{
    if (const auto n = numberOption(a, "--threads", 1, 64))
        zip.setThreads(*n);
}

void setLevel(ArchiveComponent &zip, const Args &a)
{
    if (const auto n = numberOption(a, "--level", 0, 9))
        zip.setCompressionLevel(*n);
    setThreads(zip, a);
}

// Windows cannot hold every name Linux can: the builder hears which names a receiver there gets
// changed, before the executable goes out.
void warnOfRenames(const QString &exe)
{
    const std::vector<ArchiveEntry> entries = ArchiveComponent::ListZip(exe);
    const QStringList places = ArchiveComponent::ListPlaces(exe, QStringLiteral("windows"));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        QString place = places[static_cast<qsizetype>(i)];
        if (!place.isEmpty())
            std::fprintf(stderr, "orvelzip-cli: warning: on Windows %s is extracted as %s\n",
                         shown(entries[i].GetEntryName()).c_str(), shown(place.replace(u'/', u'\\')).c_str());
    }
}

int create(const Args &a, bool sfx)
{
    if (a.positional.size() < 2)
        usageError(QStringLiteral("give the %1 and at least one file or folder").arg(sfx ? "executable" : "archive"),
                   a.command);
    const QString target = a.positional.first();
    const QString pw = password(a, a.passwordAsked, true);
    // Asked for encryption, it never writes the files in the clear for want of a password.
    if ((a.passwordGiven || a.passwordAsked) && pw.isEmpty())
        error(QStringLiteral("the password is empty: give one, or leave out --password to write no password"));
    bool forWindows = false;
    ArchiveComponent zip;
    setLevel(zip, a);
    if (sfx) {
        const int autoTemp = a.flag("--auto-temp") ? 1 : 0;
        zip.SetExeAutoTemp(autoTemp);
        zip.SetExeRunParameters(a.value("--param").value_or(QString()));
        zip.SetExeAutoExtract(autoTemp);
        zip.SetExeIconFile(a.value("--icon").value_or(QString()));
        zip.SetExeRunProgram(a.value("--run").value_or(QString()));
        const QString system = a.value("--target").value_or(QString());
        if (!system.isEmpty() && system != QLatin1String("windows") && system != QLatin1String("linux"))
            usageError(QStringLiteral("--target is windows or linux, not %1").arg(system), a.command);
        zip.setExeTarget(system);
        zip.setExeVersionInfo(a.value("--product").value_or(QString()), a.value("--version").value_or(QString()),
                              a.value("--company").value_or(QString()));
        const QString certificate = a.value("--sign").value_or(QString());
        const QString signPassword = certificate.isEmpty() ? QString() : qEnvironmentVariable("ORVELZIP_SIGN_PASSWORD");
        zip.setExeSigning(certificate, a.value("--sign-key").value_or(QString()),
                          a.value("--sign-pass").value_or(signPassword), a.value("--timestamp").value_or(QString()));
        if (system == QLatin1String("windows") || (system.isEmpty() && target.endsWith(u".exe", Qt::CaseInsensitive)))
            forWindows = true;
    }
    zip.StartNewArchive(target);
    zip.SetEncryption(pw.isEmpty() ? 0 : 1);
    zip.SetEncryptionKeyLength(256);
    zip.SetPassword(pw);
    const int skipped = addPaths(zip, a, a.positional.mid(1));
    for (const QString &name : zip.namesStoredAsBytes())
        std::fprintf(stderr, "orvelzip-cli: warning: %s is not UTF-8: its name is stored as its bytes\n",
                     oz::core::printable(oz::archive::bytesOfName(name)).c_str());
    if (zip.GetEntryCount() == 0)
        error(QStringLiteral("nothing to add: no file matched"));
    ProgressBar bar(interactive() && !a.flag("--quiet"));
    QObject::connect(&zip, &ArchiveComponent::WriteZipPercentDone, [&](int p) { bar.show(p); });
    if (sfx) {
        int written = 0;
        zip.WriteSelfExtractingExe(target, written);
    } else {
        zip.SetArchiveFileName(target);
        zip.SaveArchive();
    }
    if (!a.flag("--quiet"))
        std::printf("%d entries written to %s\n", zip.GetEntryCount(), shown(target).c_str());
    if (forWindows && !a.flag("--quiet"))
        warnOfRenames(target);
    return skipped ? 1 : 0;
}

// The code page of --names, checked; "" when none was given.
QString names(const Args &a)
{
    const QString given = a.value("--names").value_or(QString());
    const std::string page = oz::core::codePageNamed(given.toStdString());
    if (!given.isEmpty() && page.empty())
        usageError(QStringLiteral("--names takes one of %1, not %2")
                       .arg(QString::fromStdString(oz::core::knownCodePages()), given),
                   a.command);
    return QString::fromStdString(page);
}

// With --target, where a receiver on that system gets each entry whose name it cannot hold.
int list(const Args &a)
{
    if (a.positional.size() != 1)
        usageError(QStringLiteral("give one archive"), a.command);
    QString codePage;
    const QString nameCodePage = names(a);
    const std::vector<ArchiveEntry> entries = ArchiveComponent::ListZip(a.positional.first(), &codePage, nameCodePage);
    const QString system = a.value("--target").value_or(QString());
    if (!system.isEmpty() && system != QLatin1String("windows") && system != QLatin1String("linux"))
        usageError(QStringLiteral("--target is windows or linux, not %1").arg(system), a.command);
    QStringList places
        = system.isEmpty() ? QStringList() : ArchiveComponent::ListPlaces(a.positional.first(), system, nameCodePage);
    if (system == QLatin1String("windows"))
        places.replaceInStrings(QStringLiteral("/"), QStringLiteral("\\"));
    auto placeOf = [&](std::size_t i) { return places.isEmpty() ? QString() : places[static_cast<qsizetype>(i)]; };
    if (a.flag("--json")) {
        QJsonArray array;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const ArchiveEntry &e = entries[i];
            QJsonObject entry{{"name", e.GetEntryName()},
                              {"size", static_cast<double>(e.size())},
                              {"compressedSize", static_cast<double>(e.compressedSize())},
                              {"modified", e.modified().toUTC().toString(Qt::ISODate)},
                              {"encrypted", e.isEncrypted()},
                              {"folder", e.isFolder()},
                              {"link", e.isLink()}};
            if (!placeOf(i).isEmpty())
                entry.insert(QStringLiteral("extractedAs"), placeOf(i));
            array.append(entry);
        }
        std::fputs(
            QJsonDocument(QJsonObject{{"archive", a.positional.first()}, {"codePage", codePage}, {"entries", array}})
                .toJson()
                .constData(),
            stdout);
        return 0;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ArchiveEntry &e = entries[i];
        const QString place = placeOf(i);
        std::printf("%12llu %12llu  %s  %s%s%s\n", static_cast<unsigned long long>(e.size()),
                    static_cast<unsigned long long>(e.compressedSize()),
                    qPrintable(e.modified().toString(QStringLiteral("yyyy-MM-dd HH:mm"))),
                    shown(e.GetEntryName()).c_str(), e.isEncrypted() ? "  (encrypted)" : "",
                    place.isEmpty() ? "" : ("  -> " + shown(place)).c_str());
    }
    return 0;
}

// Opens an archive, asking for its password when it is encrypted.
void openArchive(ArchiveComponent &zip, const Args &a)
{
    const QString archive = a.positional.first();
    setThreads(zip, a);
    if (const QString page = names(a); !page.isEmpty())
        zip.setNameCodePage(page);
    if (!a.passwordGiven && !a.passwordAsked) {
        // Most archives are not encrypted: open once, and look for
        // encryption only when that fails.
        try {
            zip.OpenZip(archive);
            return;
        } catch (const ArchiveError &) {
            bool encrypted = false;
            for (const auto &e : ArchiveComponent::ListZip(archive, nullptr, names(a)))
                encrypted = encrypted || e.isEncrypted();
            if (!encrypted)
                throw;
        }
    }
    zip.SetPassword(password(a, true, false));
    zip.OpenZip(archive);
}

int extract(const Args &a)
{
    if (a.positional.size() != 1)
        usageError(QStringLiteral("give one archive"), a.command);
    ArchiveComponent zip;
    openArchive(zip, a);
    const QString dest = a.value("-d").value_or(oz::archive::folderNamedAfter(a.positional.first()));
    if (dest == a.positional.first())
        error(QStringLiteral("%1 has no .zip ending: say where to extract with -d DIR").arg(dest));
    zip.setReplaceExisting(a.flag("--overwrite"));
    zip.setStrict(a.flag("--strict"));
    ProgressBar bar(interactive() && !a.flag("--quiet"));
    QObject::connect(&zip, &ArchiveComponent::UnzipPercentDone, [&](int p) { bar.show(p); });
    try {
        zip.ExtractToFolder(dest);
    } catch (const ArchiveError &e) {
        const auto &record = zip.lastExtraction();
        if (record.damaged.isEmpty())
            throw;
        if (interactive() && !a.flag("--quiet"))
            std::fputs("\n", stderr); // below the bar
        for (const QString &name : record.damaged)
            std::fprintf(stderr, "orvelzip-cli: damaged, not extracted: %s\n", shown(name).c_str());
        std::fprintf(stderr, "orvelzip-cli: %s\n", shown(e.reason()).c_str());
        const bool some = std::any_of(record.items.begin(), record.items.end(),
                                      [](const auto &item) { return item.result == oz::core::EntryResult::Extracted; });
        return some ? 1 : 2;
    }
    int kept = 0;
    for (const auto &item : zip.lastExtraction().items) {
        if (item.result == oz::core::EntryResult::Kept) {
            std::fprintf(stderr, "orvelzip-cli: kept %s: it exists already (--overwrite replaces it)\n",
                         shown(QDir(dest).filePath(item.name)).c_str());
            ++kept;
        }
    }
    if (!a.flag("--quiet"))
        std::printf("extracted to %s\n", shown(dest).c_str());
    return kept ? 1 : 0;
}

int test(const Args &a)
{
    if (a.positional.size() != 1)
        usageError(QStringLiteral("give one archive"), a.command);
    ArchiveComponent zip;
    openArchive(zip, a);
    zip.TestZip();
    if (!a.flag("--quiet"))
        std::printf("%s: all %d entries are intact (names: %s)\n", shown(a.positional.first()).c_str(),
                    zip.GetEntryCount(), qPrintable(zip.openedCodePage()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    oz::archive::pinTimeZone();
    oz::core::installCleanupOnSignals();
    QCoreApplication app(argc, argv);
    // The component logs each operation; a terminal wants only results.
    QLoggingCategory::setFilterRules(QStringLiteral("orvelzip.*=false"));
    const Args a = parse(QCoreApplication::arguments());
    try {
        if (a.command == "create")
            return create(a, false);
        if (a.command == "sfx")
            return create(a, true);
        if (a.command == "list")
            return list(a);
        if (a.command == "extract")
            return extract(a);
        return test(a);
    } catch (const ArchiveError &e) {
        error(e.reason());
    }
}
