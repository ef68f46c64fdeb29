// The extractor at the front of self-extracting executables for Windows. Double-clicked, it
// shows a small window: where to unzip, progress, the password when one is needed, a question
// before replacing a file, and the result. With options on its command line it runs unattended
// for scripts and prints to the console. For model 2 it runs the program found in the
// extracted tree, in the extraction folder; with auto-temp it unzips into a new folder under
// %TEMP%, waits for the program, removes the folder and returns the program's exit status.
//
// Exit status: 0 done, 1 some files were kept, 2 an error; when it runs a program, that
// program's status.
#include "receiver/ProgramArguments.h"
#include "receiver/ReceiverOptions.h"
#include "receiver/SfxFormat.h"
#include "receiver/ReceiverTexts.h"
#include "core/Error.h"
#include "core/Extract.h"
#include "core/FileIo.h"
#include "core/NamePlan.h"
#include "core/Names.h"
#include "core/Utf16.h"
#include "core/ZipFormat.h"
#include "resource.h"

#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef OZ_VERSION
#define OZ_VERSION "0"
#endif

namespace {

using oz::core::fromWide;
using oz::core::toWide;
using oz::receiver::intactText;
using oz::receiver::Settings;

constexpr int statusKept = 1, statusError = 2;
constexpr DWORD statusInterrupted = 0xC000013A; // what Windows reports for Ctrl-C

std::atomic<bool> stopRequested{false};
std::mutex temporaryMutex;
std::wstring temporaryFolder; // removed however the program ends

// What stays of the folder once it cannot go: each file and folder is left for Windows to remove
// at its next start. False when even that is refused (it needs an administrator).
bool removeAtRestart(const std::wstring &folder)
{
    std::error_code ec;
    std::vector<std::wstring> left;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        left.push_back(it->path().wstring());
    bool all = true;
    // Deepest first, so that each folder is empty when its turn comes.
    for (auto it = left.rbegin(); it != left.rend(); ++it)
        all = ::MoveFileExW(it->c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && all;
    return ::MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && all;
}

// Removes the temporary folder; "" when it went, else what became of it, to tell the receiver.
std::string removeTemporaryFolder()
{
    std::lock_guard lock(temporaryMutex);
    if (temporaryFolder.empty())
        return {};
    // A program that just ended may hold a file a moment longer (so may a virus scanner): the
    // removal is tried again for up to five seconds.
    std::error_code ec;
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::filesystem::remove_all(std::filesystem::path(temporaryFolder), ec);
        if (!std::filesystem::exists(std::filesystem::path(temporaryFolder), ec))
            break;
        ::Sleep(100);
    }
    std::string note;
    if (std::filesystem::exists(std::filesystem::path(temporaryFolder), ec)) {
        const std::string folder = fromWide(temporaryFolder);
        note = removeAtRestart(temporaryFolder)
            ? "The temporary folder " + folder + " is still in use; Windows removes it when it next starts."
            : "The temporary folder " + folder + " is still in use and could not be removed; remove it yourself.";
    }
    temporaryFolder.clear();
    return note;
}

// --- the console, for unattended runs --------------------------------------------------------

// A program of the windows subsystem has no console of its own: it writes to its handles when
// a caller redirected them, else to the console of the one that started it, if any.
void attachConsole()
{
    if (::GetFileType(::GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_UNKNOWN
        && ::AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
}

void print(FILE *to, const std::string &text)
{
    HANDLE handle = ::GetStdHandle(to == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
        const std::wstring wide = toWide(text);
        DWORD done = 0;
        ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), to);
    std::fflush(to);
}

[[noreturn]] void failOnConsole(const std::string &message)
{
    const std::string note = removeTemporaryFolder();
    print(stderr, "error: " + message + "\n" + (note.empty() ? "" : note + "\n"));
    std::exit(statusError);
}

BOOL WINAPI onConsoleSignal(DWORD)
{
    // Ctrl-C reaches a running program as well: it is waited for, then the folder goes.
    stopRequested = true;
    return TRUE;
}

// --- this file, its settings and its archive -----------------------------------------------------

struct Self {
    std::string path;
    int fd = -1;
    Settings settings;
    oz::core::Directory dir;
    bool encrypted = false;
};

std::string modulePath()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n < buffer.size())
            return fromWide(std::wstring(buffer.data(), n));
        buffer.resize(buffer.size() * 2);
    }
}

// Reads this file's settings and directory, names that are not UTF-8 in the code page names (""
// to choose one); the reason of a failure is returned, "" when none.
std::string openSelf(Self &self, const std::string &names)
{
    self.path = modulePath();
    self.fd = ::_wopen(toWide(self.path).c_str(), _O_RDONLY | _O_BINARY);
    std::uint64_t size = 0;
    if (self.fd < 0 || !oz::core::fileSize(self.fd, size))
        return "cannot read " + self.path;
    try {
        self.dir = oz::core::readDirectory(self.fd, names);
    } catch (const oz::core::Error &e) {
        return "refused to read the archive in " + self.path + ": " + e.what();
    }
    std::string error;
    if (!oz::receiver::readSettings(self.fd, self.dir.start, self.settings, error))
        return "this self-extracting archive is damaged: " + error;
    for (const auto &e : self.dir.entries)
        self.encrypted = self.encrypted || e.encrypted();
    return {};
}

bool passwordWorks(const Self &self, const std::string &password)
{
    try {
        oz::core::checkPassword(self.fd, self.dir, password);
        return true;
    } catch (const oz::core::Error &e) {
        // The verifier took the password and the data is damaged: asking again cures nothing,
        // and the extraction names the damaged entry.
        return e.kind() == oz::core::Error::Kind::Damaged;
    }
}

bool autoTemp(const Settings &s)
{
    return s.autoTemp == 1 && !s.runProgram.empty();
}

std::string defaultDestination(const std::string &self)
{
    const std::size_t slash = self.find_last_of("\\/");
    const std::size_t dot = self.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
        return self.substr(0, dot);
    return self + "-files";
}

std::string makeTemporaryFolder()
{
    wchar_t base[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    for (int attempt = 0; n > 0 && attempt < 100; ++attempt) {
        const std::wstring folder = std::wstring(base, n) + L"orvelzip-" + std::to_wstring(::GetCurrentProcessId())
            + L"-" + std::to_wstring(::GetTickCount() + attempt);
        if (::CreateDirectoryW(folder.c_str(), nullptr)) {
            std::lock_guard lock(temporaryMutex);
            temporaryFolder = folder;
            return fromWide(folder);
        }
    }
    return {};
}

// --- extracting and running ----------------------------------------------------------------

struct Outcome {
    bool ok = false;
    bool stopped = false;
    bool partly = false; // damaged entries left out, every other one extracted
    std::string message;
    oz::core::ExtractReport report;
};

Outcome extract(const Self &self, const std::string &password, const std::string &dest,
                oz::core::ExtractOptions options)
{
    options.archiveLabel = self.path;
    options.password = password;
    options.stop = &stopRequested;
    {
        // A program is run only from a whole archive.
        std::lock_guard lock(temporaryMutex);
        options.strict = !temporaryFolder.empty();
    }
    Outcome out;
    try {
        oz::core::extractArchive(self.fd, self.dir, dest, options, out.report);
        out.ok = true;
    } catch (const oz::core::Error &e) {
        out.stopped = e.kind() == oz::core::Error::Kind::Stopped;
        out.message = e.what();
        out.partly = !out.report.damaged.empty()
            && std::any_of(out.report.items.begin(), out.report.items.end(),
                           [](const oz::core::ExtractReport::Item &i) { return i.result == "extracted"; });
    }
    return out;
}

// Waits until the process and every process it started have ended (the job holds them all:
// a bootstrapper that starts the real installer and exits must not have its files taken away),
// handling this thread's messages meanwhile: a program that broadcasts a message to every
// window, as installers do after changing the environment, would otherwise wait for this one.
void waitForTree(HANDLE process, HANDLE job)
{
    for (;;) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
        const bool tree
            = job && ::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr);
        if (tree ? info.ActiveProcesses == 0 : ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            return;
        ::MsgWaitForMultipleObjects(tree ? 0 : 1, &process, FALSE, tree ? 100 : INFINITE, QS_ALLINPUT);
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

std::wstring cmdExe()
{
    wchar_t system[MAX_PATH + 1];
    const UINT n = ::GetSystemDirectoryW(system, MAX_PATH + 1);
    return (n > 0 && n <= MAX_PATH ? std::wstring(system, n) : std::wstring(L"C:\\Windows\\System32")) + L"\\cmd.exe";
}

// Runs the program with its parameters, split by the one rule of both extractors and handed on
// so that the program (or the script, through cmd.exe) gets them as typed. Returns its exit
// status once it and what it started have ended, or -1 with the reason in error.
long runProgram(const std::string &root, const Settings &settings, std::string &error)
{
    const std::string program = oz::receiver::findProgram(root, settings.runProgram);
    if (program.empty()) {
        error = "the program to run, " + settings.runProgram + ", is not in the archive";
        return -1;
    }
    std::wstring command = toWide(oz::receiver::windowsCommandLine(
        program, oz::receiver::splitArguments(settings.runParameters), fromWide(cmdExe())));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                          oz::core::longPath(root).c_str(), &startup, &process)) {
        error = "cannot start " + program;
        return -1;
    }
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job && !::AssignProcessToJobObject(job, process.hProcess)) {
        ::CloseHandle(job); // a job that allows no other: the program alone is waited for
        job = nullptr;
    }
    ::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
    waitForTree(process.hProcess, job);
    DWORD status = 0;
    ::GetExitCodeProcess(process.hProcess, &status);
    ::CloseHandle(process.hProcess);
    if (job)
        ::CloseHandle(job);
    return static_cast<long>(status);
}

std::string backslashed(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// A line for each entry whose name Windows could not hold as stored, or that met another's; a
// window shows the first few and how many more.
std::string renameLines(const oz::core::ExtractReport &report, std::size_t most = SIZE_MAX)
{
    std::string out;
    for (std::size_t i = 0; i < report.renamed.size() && i < most; ++i)
        out += oz::core::printable(report.renamed[i].name) + " was unzipped as "
            + oz::core::printable(report.renamed[i].as) + "\n";
    if (report.renamed.size() > most)
        out += "and " + std::to_string(report.renamed.size() - most) + " more.\n";
    return out;
}

// --- unattended, on the console --------------------------------------------------------------

int listOrTest(const Self &self, const oz::receiver::Options &o, const std::string &password)
{
    if (o.list) {
        // Where Windows cannot hold a name as stored, the name the entry gets here.
        std::vector<std::string> places(self.dir.entries.size());
        for (auto &[entry, as] : oz::core::renamedOn(self.dir, oz::core::TargetSystem::Windows))
            places[entry] = "  -> " + oz::core::printable(backslashed(as));
        for (std::size_t i = 0; i < self.dir.entries.size(); ++i) {
            const auto &e = self.dir.entries[i];
            print(stdout,
                  std::to_string(e.size) + "  " + oz::core::printable(e.name) + (e.encrypted() ? "  (encrypted)" : "")
                      + places[i] + "\n");
        }
        return 0;
    }
    try {
        oz::core::testArchive(self.fd, self.dir, password);
    } catch (const oz::core::Error &e) {
        failOnConsole(e.what());
    }
    if (!o.quiet)
        print(stdout, intactText(self.dir.entries.size(), self.dir.codePage) + "\n");
    return 0;
}

void printSettings(const Settings &s)
{
    print(stdout,
          "icon: " + (s.iconName.empty() ? std::string("(none)") : s.iconName)
              + "\nrun: " + (s.runProgram.empty() ? std::string("(none)") : s.runProgram)
              + "\nparameters: " + s.runParameters + "\nauto-temp: " + (s.autoTemp ? "on" : "off") + "\n");
}

int runOnConsole(const Self &self, const oz::receiver::Options &o)
{
    ::SetConsoleCtrlHandler(onConsoleSignal, TRUE);
    if (o.info) {
        printSettings(self.settings);
        return 0;
    }
    std::string password = o.password;
    if (!o.havePassword && ::_wgetenv(L"ORVELZIP_PASSWORD"))
        password = fromWide(::_wgetenv(L"ORVELZIP_PASSWORD"));
    if (o.list)
        return listOrTest(self, o, password);
    if (self.encrypted && password.empty())
        failOnConsole("the archive is encrypted: give its password with --password or ORVELZIP_PASSWORD");
    if (self.encrypted && !passwordWorks(self, password))
        failOnConsole("wrong password");
    if (o.test)
        return listOrTest(self, o, password);
    // --dest wins over auto-temp: the caller chose where, and that folder is kept.
    const bool temporary = autoTemp(self.settings) && o.dest.empty();
    const std::string dest = temporary ? makeTemporaryFolder()
        : o.dest.empty()               ? defaultDestination(self.path)
                                       : o.dest;
    if (dest.empty())
        failOnConsole("cannot create a temporary folder");
    oz::core::ExtractOptions options;
    using Existing = oz::core::ExtractOptions::Existing;
    options.existing = o.overwrite || temporary ? Existing::Replace : Existing::Ask;
    options.ask = [&](const std::string &path) {
        print(stderr, "skipped " + path + ": it exists already (--overwrite replaces it)\n");
        return oz::core::ExtractOptions::Answer::Keep;
    };
    const Outcome outcome = extract(self, password, dest, options);
    if (outcome.stopped) {
        removeTemporaryFolder();
        print(stderr,
              "Stopped: " + oz::receiver::files(outcome.report.files)
                  + " extracted whole; nothing half-written was left.\n");
        return static_cast<int>(statusInterrupted);
    }
    if (outcome.partly) {
        print(stderr, outcome.message + "\n");
        return statusKept;
    }
    if (!outcome.ok)
        failOnConsole(outcome.message);
    print(stderr, renameLines(outcome.report));
    if (!o.quiet && !temporary)
        print(stderr, oz::receiver::files(outcome.report.files) + " extracted to " + dest + "\n");
    if (self.settings.runProgram.empty())
        return outcome.report.kept ? statusKept : 0;
    std::string error;
    const long status = runProgram(dest, self.settings, error);
    if (status < 0)
        failOnConsole(error);
    if (const std::string note = removeTemporaryFolder(); !note.empty())
        print(stderr, note + "\n");
    return static_cast<int>(status);
}

// --- the window --------------------------------------------------------------------------

constexpr UINT progressMessage = WM_APP + 1; // wParam: per mille done
constexpr UINT askMessage = WM_APP + 2;      // lParam: the path; answers an ExtractOptions::Answer
constexpr UINT doneMessage = WM_APP + 3;

struct Window {
    Self *self = nullptr;
    HWND dialog = nullptr;
    std::string password;
    std::string dest;
    bool temporary = false;
    bool running = false;
    bool finished = false;
    std::atomic<bool> quitAsked{false}; // the receiver chose Stop at a question
    std::thread worker;
    Outcome outcome;
    int exitStatus = 0;
};

void setText(HWND dialog, int id, const std::string &text)
{
    ::SetDlgItemTextW(dialog, id, toWide(text).c_str());
}

std::string itemText(HWND dialog, int id)
{
    const int n = ::GetWindowTextLengthW(::GetDlgItem(dialog, id));
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    ::GetDlgItemTextW(dialog, id, text.data(), n + 1);
    text.resize(static_cast<std::size_t>(n));
    return fromWide(text);
}

void showError(HWND owner, const std::string &message)
{
    ::MessageBoxW(owner, toWide(message).c_str(), L"Self-extracting archive", MB_OK | MB_ICONERROR);
}

INT_PTR CALLBACK passwordProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        if (reinterpret_cast<std::string *>(lParam)->size() > 0)
            setText(dialog, IDC_PROMPT, "Wrong password. Enter the password again:");
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        auto *out = reinterpret_cast<std::string *>(::GetWindowLongPtrW(dialog, DWLP_USER));
        *out = itemText(dialog, IDC_PASSWORD);
        ::EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// The password, three tries; false when the receiver gave up or never found it.
bool askPassword(Window &w)
{
    std::string wrong;
    for (int tries = 0; tries < 3; ++tries) {
        std::string typed = wrong;
        if (::DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_PASSWORD), w.dialog, passwordProc,
                              reinterpret_cast<LPARAM>(&typed))
            != IDOK)
            return false;
        if (passwordWorks(*w.self, typed)) {
            w.password = typed;
            return true;
        }
        wrong = "x";
    }
    showError(w.dialog, "Wrong password: nothing was unzipped.");
    return false;
}

INT_PTR CALLBACK replaceProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        setText(dialog, IDC_QUESTION, *reinterpret_cast<const std::string *>(lParam) + " exists already. Replace it?");
        return TRUE;
    }
    if (message == WM_COMMAND) {
        ::EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

oz::core::ExtractOptions::Answer askReplace(HWND owner, const std::string &path)
{
    using Answer = oz::core::ExtractOptions::Answer;
    switch (::DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_REPLACE), owner, replaceProc,
                              reinterpret_cast<LPARAM>(&path))) {
    case IDYES: return Answer::Replace;
    case IDC_REPLACE_ALL: return Answer::ReplaceAll;
    case IDNO: return Answer::Keep;
    default: return Answer::Quit;
    }
}

void startExtraction(Window &w)
{
    if (w.self->encrypted && w.password.empty() && !askPassword(w)) {
        if (w.temporary)
            ::EndDialog(w.dialog, statusError);
        return;
    }
    w.dest = w.temporary ? makeTemporaryFolder() : itemText(w.dialog, IDC_DEST);
    if (w.dest.empty()) {
        showError(w.dialog, w.temporary ? "Cannot create a temporary folder." : "Choose the folder to unzip to.");
        return;
    }
    for (int id : {IDOK, IDC_DEST, IDC_BROWSE})
        ::EnableWindow(::GetDlgItem(w.dialog, id), FALSE);
    setText(w.dialog, IDCANCEL, "Stop");
    setText(w.dialog, IDC_STATUS, "Unzipping...");
    w.running = true;
    w.worker = std::thread([&w] {
        oz::core::ExtractOptions options;
        options.existing
            = w.temporary ? oz::core::ExtractOptions::Existing::Replace : oz::core::ExtractOptions::Existing::Ask;
        options.ask = [&w](const std::string &path) {
            const auto answer = static_cast<oz::core::ExtractOptions::Answer>(
                ::SendMessageW(w.dialog, askMessage, 0, reinterpret_cast<LPARAM>(&path)));
            w.quitAsked = answer == oz::core::ExtractOptions::Answer::Quit;
            return answer;
        };
        options.progress = [&w](std::uint64_t done, std::uint64_t total) {
            ::PostMessageW(w.dialog, progressMessage, total ? static_cast<WPARAM>(done * 1000 / total) : 1000, 0);
        };
        w.outcome = extract(*w.self, w.password, w.dest, options);
        ::PostMessageW(w.dialog, doneMessage, 0, 0);
    });
}

// After a failure the receiver may choose another folder and unzip again.
void finishFailed(Window &w)
{
    const Outcome &o = w.outcome;
    removeTemporaryFolder();
    const std::string text = o.stopped
        ? "Stopped: " + oz::receiver::files(o.report.files) + " unzipped whole; nothing half-written was left."
        : oz::receiver::sentence(o.message);
    setText(w.dialog, IDC_STATUS, text);
    // Stopping is the receiver's own choice, not an error to be told about.
    if (!o.stopped && !w.quitAsked)
        showError(w.dialog, text);
    w.exitStatus = o.stopped ? static_cast<int>(statusInterrupted) : w.quitAsked || o.partly ? statusKept : statusError;
    if (w.temporary) {
        ::EndDialog(w.dialog, w.exitStatus);
        return;
    }
    w.finished = false;
    w.quitAsked = false;
    for (int id : {IDOK, IDC_DEST, IDC_BROWSE})
        ::EnableWindow(::GetDlgItem(w.dialog, id), TRUE);
    ::SendMessageW(w.dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(w.dialog, IDC_DEST)), TRUE);
}

// Done: Close is the default, with the keyboard on it, and the folder can be opened.
void offerClose(Window &w)
{
    ::ShowWindow(::GetDlgItem(w.dialog, IDC_OPEN), SW_SHOW);
    ::SendMessageW(w.dialog, DM_SETDEFID, IDCANCEL, 0);
    ::SendMessageW(w.dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(w.dialog, IDCANCEL)), TRUE);
}

void finishExtraction(Window &w)
{
    w.worker.join();
    w.running = false;
    w.finished = true;
    setText(w.dialog, IDCANCEL, "Close");
    const Outcome &o = w.outcome;
    if (!o.ok) {
        finishFailed(w);
        return;
    }
    ::SendDlgItemMessageW(w.dialog, IDC_PROGRESS, PBM_SETPOS, 1000, 0);
    std::string text = oz::receiver::files(o.report.files) + " unzipped to " + w.dest + ".";
    if (o.report.kept)
        text += " "
            + oz::receiver::counted(o.report.kept, "file that was there already was",
                                    "files that were there already were")
            + " kept.";
    if (!o.report.renamed.empty()) {
        text
            += " " + oz::receiver::counted(o.report.renamed.size(), "name was", "names were") + " changed for Windows.";
        ::ShowWindow(::GetDlgItem(w.dialog, IDC_DETAILS), SW_SHOW);
    }
    setText(w.dialog, IDC_STATUS, text);
    w.exitStatus = o.report.kept ? statusKept : 0;
    if (w.self->settings.runProgram.empty()) {
        offerClose(w);
        return;
    }
    ::ShowWindow(w.dialog, SW_HIDE);
    std::string error;
    const long status = runProgram(w.dest, w.self->settings, error);
    if (const std::string note = removeTemporaryFolder(); !note.empty())
        ::MessageBoxW(w.dialog, toWide(note).c_str(), L"Self-extracting archive", MB_OK | MB_ICONINFORMATION);
    if (status < 0) {
        showError(w.dialog, oz::receiver::sentence(error));
        w.exitStatus = statusError;
    } else {
        w.exitStatus = static_cast<int>(status);
    }
    ::EndDialog(w.dialog, w.exitStatus);
}

// The folder picker of today's Windows, opened at the folder in the box (or the nearest folder
// of it that exists); the old tree picker only where it is missing.
void browse(HWND dialog)
{
    IFileOpenDialog *picker = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&picker)))) {
        BROWSEINFOW info{};
        info.hwndOwner = dialog;
        info.lpszTitle = L"Unzip the files to this folder:";
        info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
        if (PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&info)) {
            wchar_t path[MAX_PATH];
            if (::SHGetPathFromIDListW(chosen, path))
                ::SetDlgItemTextW(dialog, IDC_DEST, path);
            ::CoTaskMemFree(chosen);
        }
        return;
    }
    FILEOPENDIALOGOPTIONS options = 0;
    picker->GetOptions(&options);
    picker->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
    picker->SetTitle(L"Unzip the files to this folder");
    std::filesystem::path shown(toWide(itemText(dialog, IDC_DEST)));
    std::error_code ec;
    while (!shown.empty() && shown.has_relative_path() && !std::filesystem::is_directory(shown, ec))
        shown = shown.parent_path();
    IShellItem *start = nullptr;
    if (!shown.empty()
        && SUCCEEDED(::SHCreateItemFromParsingName(shown.wstring().c_str(), nullptr, IID_PPV_ARGS(&start)))) {
        picker->SetFolder(start);
        start->Release();
    }
    IShellItem *chosen = nullptr;
    if (SUCCEEDED(picker->Show(dialog)) && SUCCEEDED(picker->GetResult(&chosen))) {
        wchar_t *path = nullptr;
        if (SUCCEEDED(chosen->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
            ::SetDlgItemTextW(dialog, IDC_DEST, path);
            ::CoTaskMemFree(path);
        }
        chosen->Release();
    }
    picker->Release();
}

void initWindow(Window &w, HWND dialog)
{
    w.dialog = dialog;
    HICON icon = ::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
    ::SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    ::SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    const std::string path = w.self->path;
    ::SetWindowTextW(dialog, toWide(path.substr(path.find_last_of("\\/") + 1)).c_str());
    ::SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETRANGE32, 0, 1000);
    setText(dialog, IDC_DEST, defaultDestination(path));
    setText(dialog, IDC_STATUS,
            oz::receiver::counted(w.self->dir.entries.size(), "entry", "entries")
                + (w.self->encrypted ? ", encrypted." : "."));
    if (w.temporary) {
        for (int id : {IDC_INTRO, IDC_DEST, IDC_BROWSE, IDOK})
            ::ShowWindow(::GetDlgItem(dialog, id), SW_HIDE);
        ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    }
}

INT_PTR CALLBACK mainProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *w = reinterpret_cast<Window *>(::GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        initWindow(*reinterpret_cast<Window *>(lParam), dialog);
        return TRUE;
    case progressMessage: ::SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETPOS, wParam, 0); return TRUE;
    case askMessage:
        ::SetWindowLongPtrW(dialog, DWLP_MSGRESULT,
                            static_cast<LONG_PTR>(askReplace(dialog, *reinterpret_cast<const std::string *>(lParam))));
        return TRUE;
    case doneMessage: finishExtraction(*w); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            if (!w->running && !w->finished)
                startExtraction(*w);
            return TRUE;
        case IDC_BROWSE: browse(dialog); return TRUE;
        case IDC_DETAILS:
            ::MessageBoxW(dialog, toWide(renameLines(w->outcome.report, 40)).c_str(), L"Names changed for Windows",
                          MB_OK | MB_ICONINFORMATION);
            return TRUE;
        case IDC_OPEN:
            ::ShellExecuteW(dialog, L"open", toWide(w->dest).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            return TRUE;
        case IDCANCEL:
            if (w->running)
                stopRequested = true; // the worker stops at its next piece and reports
            else
                ::EndDialog(dialog, w->exitStatus);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

int runWindow(Self &self)
{
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    Window w;
    w.self = &self;
    w.temporary = autoTemp(self.settings);
    const INT_PTR status
        = ::DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_MAIN), nullptr, mainProc, reinterpret_cast<LPARAM>(&w));
    removeTemporaryFolder();
    return status < 0 ? statusError : static_cast<int>(status);
}

std::vector<std::string> arguments()
{
    int count = 0;
    LPWSTR *argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> out;
    for (int i = 1; i < count; ++i)
        out.push_back(fromWide(argv[i]));
    ::LocalFree(argv);
    return out;
}

} // namespace

int main()
{
    oz::receiver::Options o;
    std::string error;
    const bool parsed = oz::receiver::parseOptions(arguments(), o, error);
    if (!parsed || o.any)
        attachConsole();
    const std::string path = modulePath();
    const std::string name = path.substr(path.find_last_of("\\/") + 1);
    if (!parsed) {
        print(stderr, "error: " + error + "\n" + oz::receiver::usage(name));
        return statusError;
    }
    if (o.help || o.version) {
        print(stdout,
              o.help ? oz::receiver::usage(name) : std::string("Orvel Zip self-extractor ") + OZ_VERSION + "\n");
        return 0;
    }
    Self self;
    if (const std::string failure = openSelf(self, o.names); !failure.empty()) {
        if (o.any)
            failOnConsole(failure);
        showError(nullptr, failure);
        return statusError;
    }
    return o.any ? runOnConsole(self, o) : runWindow(self);
}
