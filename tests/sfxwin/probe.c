/* A stand-in for the program a self-extractor runs: it writes its arguments, one per line in
   brackets, and its working folder to the file named by OZ_PROBE_OUT, then exits with the
   status its first argument gives. OZ_PROBE_SLEEP (milliseconds) makes it wait first, as the
   real installer a bootstrapper starts takes its time, and then tells whether its folder still
   holds a.txt; OZ_PROBE_BROADCAST makes it tell every window that the environment changed, as
   installers do, and write how long that took. OZ_PROBE_WINDOW=CAPTION writes instead the texts of
   the controls of the window with that caption, one per line, as a receiver reads them. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static BOOL CALLBACK writeText(HWND control, LPARAM to)
{
    wchar_t text[2048];
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, 2048, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &n))
        n = 0;
    text[n < 2048 ? n : 2047] = 0;
    for (wchar_t *c = text; *c; ++c)
        if (*c == L'\r' || *c == L'\n')
            *c = L'|';
    fwprintf((FILE *)to, L"%ls\n", text);
    return TRUE;
}

static int readWindow(const wchar_t *caption, const wchar_t *out)
{
    HWND window = FindWindowW(NULL, caption);
    FILE *f = window && out ? _wfopen(out, L"w, ccs=UTF-8") : NULL;
    if (!f)
        return 3;
    EnumChildWindows(window, writeText, (LPARAM)f);
    fclose(f);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (_wgetenv(L"OZ_PROBE_WINDOW"))
        return readWindow(_wgetenv(L"OZ_PROBE_WINDOW"), _wgetenv(L"OZ_PROBE_OUT"));
    const wchar_t *out = _wgetenv(L"OZ_PROBE_OUT");
    const wchar_t *sleep = _wgetenv(L"OZ_PROBE_SLEEP");
    if (sleep)
        Sleep((DWORD)_wtoi(sleep));
    DWORD broadcast = 0;
    if (_wgetenv(L"OZ_PROBE_BROADCAST")) {
        const DWORD start = GetTickCount();
        DWORD_PTR result = 0;
        SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, (LPARAM)L"Environment", SMTO_NORMAL, 10000, &result);
        broadcast = GetTickCount() - start;
    }
    FILE *f = out ? _wfopen(out, L"w, ccs=UTF-8") : NULL;
    wchar_t cwd[4096];
    GetCurrentDirectoryW(4096, cwd);
    if (f) {
        fwprintf(f, L"cwd=%ls\n", cwd);
        if (sleep)
            fwprintf(f, L"sibling=%ls\n", GetFileAttributesW(L"a.txt") != INVALID_FILE_ATTRIBUTES ? L"yes" : L"no");
        if (_wgetenv(L"OZ_PROBE_BROADCAST"))
            fwprintf(f, L"broadcast=%lu\n", (unsigned long)broadcast);
        for (int i = 1; i < argc; ++i)
            fwprintf(f, L"[%ls]\n", argv[i]);
        fclose(f);
    }
    return argc > 1 ? _wtoi(argv[1]) : 0;
}
