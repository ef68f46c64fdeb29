#include "Utf16.h"

#include <windows.h>

#include <vector>

namespace oz::core {

std::wstring toWide(const std::string &utf8)
{
    if (utf8.empty())
        return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string fromWide(const std::wstring &wide)
{
    if (wide.empty())
        return {};
    const int n
        = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring longPath(const std::string &utf8)
{
    std::wstring path = toWide(utf8);
    for (auto &c : path)
        if (c == L'/')
            c = L'\\';
    if (path.rfind(L"\\\\?\\", 0) == 0)
        return path;
    const DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::vector<wchar_t> full(n);
    ::GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    std::wstring absolute(full.data());
    if (absolute.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + absolute.substr(2);
    return L"\\\\?\\" + absolute;
}

} // namespace oz::core
