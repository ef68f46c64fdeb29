// The extractor at the front of self-extracting executables for Windows. Double-clicked, it
// shows a small window: where to unzip, progress, the password when one is needed, a question
// before replacing a file, and the result. With options on its command line it runs unattended
// for scripts and prints to the console. For model 2 it runs the program found in the
// extracted tree, in the extraction folder; with auto-temp it unzips into a new folder under
// %TEMP%, waits for the program, removes the folder and returns the program's exit status.
//
// Exit status: 0 done, 1 some files were kept (Stop at the question keeps them all) or the receiver
// stopped it (Stop, Ctrl-C, Ctrl-Break: what is whole stays), 2 an error; when it runs a program,
// that program's status. Every policy is the receiver room's, shared with
// the Linux program; this file keeps the window, the console and the start of the program.
#include "core/base/Error.h"
#include "core/extract/Extract.h"
#include "core/base/FileIo.h"
#include "core/format/Names.h"
#include "core/base/Utf16.h"
#include "receiver/ProgramArguments.h"
#include "receiver/Receiver.h"
#include "receiver/ReceiverTexts.h"
#include "receiver/TemporaryFolder.h"
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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef OZ_VERSION
#define OZ_VERSION "0"
#endif

namespace {

using namespace oz::receiver;
using oz::core::fromWide;
using oz::core::toWide;

std::atomic<bool> stopRequested{false};

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

// What an unattended run is doing when Ctrl-C, Ctrl-Break or the closing of its console comes.
enum class Phase { Preparing, Extracting, Running };
std::atomic<Phase> phase{Phase::Preparing};

// Every stop ends as the receiver's choice does (status 1), never with the status of a program
// Windows ended for Ctrl-C: before the extraction nothing was written and the program ends at
// once; during it, the extraction stops at its next piece of data, keeps what is whole and
// removes what it half wrote; a running program gets the event as well and is waited for.
BOOL WINAPI onConsoleSignal(DWORD event)
{
    if (phase == Phase::Preparing)
        ::ExitProcess(statusKept);
    stopRequested = true;
    // Windows ends the process as soon as this returns from a closed console: main gets the
    // seconds Windows allows to tidy up and end it first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(4500);
    return TRUE;
}

// --- this file, its settings and its archive -----------------------------------------------------

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

// This file's settings and directory, names that are not UTF-8 in the code page names ("" to
// choose one). Throws oz::core::Error.
void openSelf(SelfArchive &self, const std::string &names)
{
    self.path = modulePath();
    self.fd = ::_wopen(toWide(self.path).c_str(), _O_RDONLY | _O_BINARY);
    std::uint64_t size = 0;
    if (self.fd < 0 || !oz::core::fileSize(self.fd, size))
        throw oz::core::Error("cannot read " + self.path, oz::core::Error::Kind::Io);
    readSelf(self, names);
}

// What a file on disk is, for the question before it is replaced.
void measure(ExistingFile &file)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(oz::core::longPath(file.path).c_str(), GetFileExInfoStandard, &data))
        return;
    file.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    const std::uint64_t ticks
        = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    constexpr std::uint64_t ticksTo1970 = 116444736000000000ull; // 100 ns steps from 1601
    if (ticks > ticksTo1970)
        file.modified = static_cast<std::time_t>((ticks - ticksTo1970) / 10000000);
}

// --- extracting and running ----------------------------------------------------------------

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
    const std::string program = findProgram(root, settings.runProgram);
    if (program.empty()) {
        error = "the program to run, " + settings.runProgram + ", is not in the archive";
        return -1;
    }
    std::wstring command;
    try {
        command = toWide(windowsCommandLine(program, splitArguments(settings.runParameters), fromWide(cmdExe())));
    } catch (const oz::core::Error &e) {
        error = e.what();
        return -1;
    }
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

// --- unattended, on the console --------------------------------------------------------------

// Everything after the options, for a caller that gave some; throws oz::core::Error for main to
// report.
int runOnConsole(const SelfArchive &self, const Options &o)
{
    if (o.info || o.list) {
        print(stdout, o.info ? settingsText(self.settings) : listingText(self.dir));
        return statusDone;
    }
    const std::string password = choosePassword(self, o, {});
    if (o.test) {
        const std::string intact = testText(self, password);
        if (!o.quiet)
            print(stdout, intact + "\n");
        return statusDone;
    }
    const bool temporary = usesTemporaryFolder(self.settings, o);
    phase = Phase::Extracting; // from here a stop has something to tidy
    const std::string dest = temporary ? makeTemporaryFolder()
        : o.dest.empty()               ? defaultDestination(self.path)
                                       : o.dest;
    oz::core::ExtractOptions options;
    using Existing = oz::core::ExtractOptions::Existing;
    options.existing = o.overwrite || temporary ? Existing::Replace : Existing::Ask;
    options.ask = [](const std::string &path, const oz::core::Entry &) {
        print(stderr, "skipped " + path + ": it exists already (--overwrite replaces it)\n");
        return oz::core::ExtractOptions::Answer::Keep;
    };
    options.stop = &stopRequested;
    // A program is run only from a whole archive.
    options.strict = temporary;
    const Outcome outcome = extract(self, password, dest, options);
    if (!outcome.ok) {
        const std::string note = removeTemporaryFolder();
        print(stderr, failureText(outcome) + (note.empty() ? "" : note + "\n"));
        return statusOf(outcome);
    }
    print(stderr, renameLines(outcome.report));
    if (!o.quiet && !temporary)
        print(stderr, files(outcome.report.files) + " extracted to " + dest + "\n");
    if (self.settings.runProgram.empty())
        return statusOf(outcome, 0);
    std::string error;
    phase = Phase::Running;
    const long status = runProgram(dest, self.settings, error);
    if (status < 0)
        throw oz::core::Error(error, oz::core::Error::Kind::Io);
    if (const std::string note = removeTemporaryFolder(); !note.empty())
        print(stderr, note + "\n");
    return static_cast<int>(status);
}

// --- the window --------------------------------------------------------------------------

constexpr UINT progressMessage = WM_APP + 1; // wParam: per mille done
constexpr UINT askMessage = WM_APP + 2;      // lParam: the ExistingFile; answers a ReplaceChoice
constexpr UINT doneMessage = WM_APP + 3;

struct Window {
    SelfArchive *self = nullptr;
    Options options; // none on the command line: what the environment gives
    HWND dialog = nullptr;
    std::string password;
    std::string dest;
    bool temporary = false;
    bool running = false;
    bool finished = false;
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

// The password: ORVELZIP_PASSWORD's, as on the console, else asked, three tries; false when the
// receiver gave up or never found it, which is an error's status until another try works.
bool askPassword(Window &w)
{
    const auto ask = [&w](int attempt) -> std::optional<std::string> {
        std::string typed = attempt > 0 ? "x" : ""; // not empty: the dialog says the last was wrong
        if (::DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_PASSWORD), w.dialog, passwordProc,
                              reinterpret_cast<LPARAM>(&typed))
            != IDOK)
            return std::nullopt;
        return typed;
    };
    try {
        w.password = choosePassword(*w.self, w.options, ask);
        return true;
    } catch (const oz::core::Error &e) {
        w.exitStatus = statusError;
        if (e.kind() == oz::core::Error::Kind::WrongPassword)
            showError(w.dialog,
                      w.options.havePassword ? "The password in ORVELZIP_PASSWORD is wrong: nothing was unzipped."
                                             : "Wrong password: nothing was unzipped.");
        return false;
    }
}

// The path as its box shows it on one line: the middle of its folders gives way, the file's own
// name never (a name longer than the line wraps to the next).
std::string fittedPath(HWND dialog, int id, const std::string &path)
{
    HWND box = ::GetDlgItem(dialog, id);
    RECT area{};
    ::GetClientRect(box, &area);
    HDC dc = ::GetDC(box);
    HGDIOBJ font = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(box, WM_GETFONT, 0, 0)));
    std::string shown = path;
    for (std::size_t most = path.size();; most -= 4) {
        shown = elidedPath(path, most);
        const std::wstring wide = toWide(shown);
        SIZE size{};
        if (!::GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size)
            || size.cx <= area.right - area.left || most < 16)
            break;
    }
    ::SelectObject(dc, font);
    ::ReleaseDC(box, dc);
    return shown;
}

INT_PTR CALLBACK replaceProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        const auto &file = *reinterpret_cast<const ExistingFile *>(lParam);
        setText(dialog, IDC_QUESTION, fittedPath(dialog, IDC_QUESTION, file.path));
        setText(dialog, IDC_COMPARE, comparisonText(file));
        return TRUE;
    }
    if (message == WM_COMMAND) {
        ::EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

ReplaceChoice askReplace(HWND owner, const ExistingFile &file)
{
    switch (::DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_REPLACE), owner, replaceProc,
                              reinterpret_cast<LPARAM>(&file))) {
    case IDYES: return ReplaceChoice::Replace;
    case IDC_REPLACE_ALL: return ReplaceChoice::ReplaceAll;
    case IDNO: return ReplaceChoice::Keep;
    case IDC_KEEP_ALL: return ReplaceChoice::KeepAll;
    default: return ReplaceChoice::Stop;
    }
}

void startExtraction(Window &w)
{
    if (w.self->encrypted() && w.password.empty() && !askPassword(w)) {
        if (w.temporary)
            ::EndDialog(w.dialog, statusError);
        return;
    }
    try {
        w.dest = w.temporary ? makeTemporaryFolder() : itemText(w.dialog, IDC_DEST);
    } catch (const oz::core::Error &) {
        w.dest.clear();
    }
    if (w.dest.empty()) {
        showError(w.dialog, w.temporary ? "Cannot create a temporary folder." : "Choose the folder to unzip to.");
        return;
    }
    // The keyboard goes to Stop first: a disabled control that kept it would leave Escape and
    // Enter nowhere to go while the files are written.
    ::SendMessageW(w.dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(w.dialog, IDCANCEL)), TRUE);
    for (int id : {IDOK, IDC_DEST, IDC_BROWSE})
        ::EnableWindow(::GetDlgItem(w.dialog, id), FALSE);
    stopRequested = false; // a Stop of an earlier try is not this one's
    setText(w.dialog, IDCANCEL, "Stop");
    setText(w.dialog, IDC_STATUS, "Unzipping...");
    w.running = true;
    w.worker = std::thread([&w] {
        oz::core::ExtractOptions options;
        options.existing
            = w.temporary ? oz::core::ExtractOptions::Existing::Replace : oz::core::ExtractOptions::Existing::Ask;
        options.ask = replaceQuestion(
            [&w](const ExistingFile &file) {
                return static_cast<ReplaceChoice>(
                    ::SendMessageW(w.dialog, askMessage, 0, reinterpret_cast<LPARAM>(&file)));
            },
            measure);
        options.progress = [&w](std::uint64_t done, std::uint64_t total) {
            ::PostMessageW(w.dialog, progressMessage, total ? static_cast<WPARAM>(done * 1000 / total) : 1000, 0);
        };
        options.stop = &stopRequested;
        // A program is run only from a whole archive.
        options.strict = w.temporary;
        w.outcome = extract(*w.self, w.password, w.dest, options);
        ::PostMessageW(w.dialog, doneMessage, 0, 0);
    });
}

// After a failure the receiver may choose another folder and unzip again. Stop at the question
// ends the program: the receiver chose to keep what is there, which is a kept file's status, and
// the empty folder this run made is gone already.
void finishFailed(Window &w)
{
    const Outcome &o = w.outcome;
    removeTemporaryFolder();
    w.exitStatus = statusOf(o);
    if (o.quit || w.temporary) {
        ::EndDialog(w.dialog, w.exitStatus);
        return;
    }
    const std::string text = o.stopped
        ? "Stopped: " + files(o.report.files) + " unzipped whole; nothing half-written was left."
        : sentence(o.message);
    setText(w.dialog, IDC_STATUS, text);
    // Stopping is the receiver's own choice, not an error to be told about.
    if (!o.stopped)
        showError(w.dialog, text);
    w.finished = false;
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
    std::string text = files(o.report.files) + " unzipped to " + w.dest + ".";
    if (o.report.kept)
        text += " " + counted(o.report.kept, "file that was there already was", "files that were there already were")
            + " kept.";
    if (!o.report.renamed.empty()) {
        text += " " + counted(o.report.renamed.size(), "name was", "names were") + " changed for Windows.";
        ::ShowWindow(::GetDlgItem(w.dialog, IDC_DETAILS), SW_SHOW);
    }
    setText(w.dialog, IDC_STATUS, text);
    w.exitStatus = statusOf(o, 0);
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
        showError(w.dialog, sentence(error));
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
            counted(w.self->dir.entries.size(), "entry", "entries") + (w.self->encrypted() ? ", encrypted." : "."));
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
                            static_cast<LONG_PTR>(askReplace(dialog, *reinterpret_cast<const ExistingFile *>(lParam))));
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

int runWindow(SelfArchive &self, const Options &options)
{
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    Window w;
    w.self = &self;
    w.options = options;
    w.temporary = usesTemporaryFolder(self.settings, options);
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
    Options o;
    std::string error;
    try {
        parseOptions(arguments(), o);
    } catch (const oz::core::Error &e) {
        error = e.what();
    }
    const bool parsed = error.empty();
    if (!parsed || o.any) {
        attachConsole();
        ::SetConsoleCtrlHandler(onConsoleSignal, TRUE);
    }
    const std::string path = modulePath();
    const std::string name = path.substr(path.find_last_of("\\/") + 1);
    if (!parsed) {
        print(stderr, "error: " + error + "\n" + usage(name));
        return statusError;
    }
    if (o.help || o.version) {
        print(stdout, o.help ? usage(name) : std::string("Orvel Zip self-extractor ") + OZ_VERSION + "\n");
        return statusDone;
    }
    SelfArchive self;
    try {
        openSelf(self, o.names);
        takePasswordFromEnvironment(o);
        return o.any ? runOnConsole(self, o) : runWindow(self, o);
    } catch (const oz::core::Error &e) {
        const std::string note = removeTemporaryFolder();
        if (!o.any) {
            showError(nullptr, e.what());
            return statusError;
        }
        print(stderr, "error: " + std::string(e.what()) + "\n" + (note.empty() ? "" : note + "\n"));
        return statusError;
    }
}
