#include "TemporaryFolder.h"

#include "core/base/Error.h"
#include "core/base/Utf16.h"

#include <windows.h>

#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

namespace oz::receiver {

namespace {

std::mutex folderMutex;
std::wstring folder;

// What stays of the folder once it cannot go: each file and folder is left for Windows to remove
// at its next start. False when even that is refused (it needs an administrator).
bool removeAtRestart(const std::wstring &path)
{
    std::error_code ec;
    std::vector<std::wstring> left;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        left.push_back(it->path().wstring());
    bool all = true;
    // Deepest first, so that each folder is empty when its turn comes.
    for (auto it = left.rbegin(); it != left.rend(); ++it)
        all = ::MoveFileExW(it->c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && all;
    return ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && all;
}

} // namespace

std::string makeTemporaryFolder()
{
    wchar_t base[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    for (int attempt = 0; n > 0 && attempt < 100; ++attempt) {
        const std::wstring made = std::wstring(base, n) + L"orvelzip-" + std::to_wstring(::GetCurrentProcessId()) + L"-"
            + std::to_wstring(::GetTickCount() + attempt);
        if (::CreateDirectoryW(made.c_str(), nullptr)) {
            std::lock_guard lock(folderMutex);
            folder = made;
            return core::fromWide(made);
        }
    }
    throw core::Error("cannot create a temporary folder", core::Error::Kind::Io);
}

bool haveTemporaryFolder()
{
    std::lock_guard lock(folderMutex);
    return !folder.empty();
}

std::string removeTemporaryFolder()
{
    std::lock_guard lock(folderMutex);
    if (folder.empty())
        return {};
    // A program that just ended may hold a file a moment longer (so may a virus scanner): the
    // removal is tried again for up to five seconds.
    const std::filesystem::path path(folder);
    std::error_code ec;
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::filesystem::remove_all(path, ec);
        if (!std::filesystem::exists(path, ec))
            break;
        ::Sleep(100);
    }
    std::string note;
    if (std::filesystem::exists(path, ec)) {
        const std::string shown = core::fromWide(folder);
        note = removeAtRestart(folder)
            ? "The temporary folder " + shown + " is still in use; Windows removes it when it next starts."
            : "The temporary folder " + shown + " is still in use and could not be removed; remove it yourself.";
    }
    folder.clear();
    return note;
}

} // namespace oz::receiver
