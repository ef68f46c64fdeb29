// What both extractor programs do alike, whatever their system: read the archive they carry,
// choose where to extract, find the password, say what --list, --info and --test say, put the
// question before a file is replaced, and turn an extraction's outcome into words and a status.
// Each program's main keeps only what its system needs: a window or a terminal, signals, the
// start of the program model 2 runs.
#pragma once

#include "ReceiverOptions.h"
#include "SfxFormat.h"
#include "core/extract/Extract.h"
#include "core/format/ZipFormat.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace oz::receiver {

// The exit statuses of both programs; a program that model 2 runs answers with its own.
constexpr int statusDone = 0, statusKept = 1, statusError = 2;

// The executable that is running: its settings and the archive behind them.
struct SelfArchive {
    std::string path; // UTF-8
    int fd = -1;
    Settings settings;
    core::Directory dir;
    bool encrypted() const;
};

// Reads the directory and the settings of the executable open on self.fd, names that are not
// UTF-8 in the code page names ("" to detect it). Throws core::Error with the reason.
void readSelf(SelfArchive &self, const std::string &names);

// --- where to extract -------------------------------------------------------------------

// Model 2 with auto-temp runs in a new temporary folder, unless --dest chose a folder: the
// receiver chose where, and that folder is kept.
bool usesTemporaryFolder(const Settings &settings, const Options &options);

// Beside the executable, named after it without its ending ("setup.run" -> "setup").
std::string defaultDestination(const std::string &self);

// --- the password -----------------------------------------------------------------------

// ORVELZIP_PASSWORD, when --password gave none.
void takePasswordFromEnvironment(Options &options);

// Whether password opens the archive. A damaged entry that took the password counts as opened:
// asking again cures nothing, and the extraction names that entry.
bool passwordWorks(const SelfArchive &self, const std::string &password);

// Asked for the password; attempt counts from 0. Nothing: the receiver gave up.
using AskPassword = std::function<std::optional<std::string>(int attempt)>;
constexpr int passwordTries = 3;

// The password that opens the archive: the one given, else asked up to three times when ask is
// set. Throws core::Error: NoPassword when there is none to try (or the receiver gave up),
// WrongPassword when none worked.
std::string choosePassword(const SelfArchive &self, const Options &options, const AskPassword &ask);

// --- what the information options print ---------------------------------------------------

// --list: a line an entry, its size in a column of twelve, and where this system cannot hold its
// name as stored, "-> " and the name it gets.
std::string listingText(const core::Directory &dir);
// --info.
std::string settingsText(const Settings &settings);
// What a receiver on a terminal is told first.
std::string summaryText(const core::Directory &dir);
// --test: every entry read and checked; the sentence to print. Throws core::Error.
std::string testText(const SelfArchive &self, const std::string &password);

// --- the question before a file is replaced -----------------------------------------------

struct ExistingFile {
    std::string path;            // as shown
    std::int64_t size = -1;      // on disk; -1 unknown
    std::time_t modified = 0;    // on disk; 0 unknown
    std::uint64_t newSize = 0;   // in the archive
    std::time_t newModified = 0; // in the archive; 0 unknown
};

// "1,234 bytes, modified 2024-05-01 12:00:00", in local time.
std::string describeFile(std::int64_t size, std::time_t modified);
// The two lines that compare the file on disk with the archive's.
std::string comparisonText(const ExistingFile &file);

// The path, shortened to about most characters by cutting the middle of its folders; the file's
// own name stays whole however long it is.
std::string elidedPath(const std::string &path, std::size_t most);

enum class ReplaceChoice { Replace, ReplaceAll, Keep, KeepAll, Stop };

// The core's question put to choose; Keep all is the answer for every later file.
std::function<core::ExtractOptions::Answer(const std::string &, const core::Entry &)>
replaceQuestion(std::function<ReplaceChoice(const ExistingFile &)> choose, std::function<void(ExistingFile &)> measure);

// --- extracting and the outcome ------------------------------------------------------------

struct Outcome {
    bool ok = false;
    bool stopped = false; // by a signal, Ctrl-C or the Stop button
    bool quit = false;    // Stop at the question: nothing was extracted
    bool partly = false;  // damaged entries left out, every other one extracted
    std::string message;
    core::ExtractReport report;
};

// Extracts the archive into dest. When the run ends without extracting (a failure, Stop at the
// question), the folders it made for dest and left empty are removed again.
Outcome extract(const SelfArchive &self, const std::string &password, const std::string &dest,
                core::ExtractOptions options);

// 0, 1 when files were kept (or Stop at the question kept all of them, or damaged entries were
// left out), 2 an error. A stop is the receiver's choice, not a failure: it keeps what is whole,
// as a kept file does, unless the program ends as its system ends a program a signal stopped
// (interrupted: 128 + the signal on Linux).
int statusOf(const Outcome &outcome, int interrupted = statusKept);

// What a console shows of a failed outcome: the damaged entries, the reason.
std::string failureText(const Outcome &outcome);

// A line for each entry whose name this system could not hold as stored; the first most of them.
std::string renameLines(const core::ExtractReport &report, std::size_t most = SIZE_MAX);

} // namespace oz::receiver
