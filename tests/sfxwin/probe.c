/* A stand-in for the program a self-extractor runs: it writes its arguments, one per line in
   brackets, and its working folder to the file named by OZ_PROBE_OUT, then exits with the
   status its first argument gives. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *out = _wgetenv(L"OZ_PROBE_OUT");
    FILE *f = out ? _wfopen(out, L"w, ccs=UTF-8") : NULL;
    wchar_t cwd[4096];
    GetCurrentDirectoryW(4096, cwd);
    if (f) {
        fwprintf(f, L"cwd=%ls\n", cwd);
        for (int i = 1; i < argc; ++i)
            fwprintf(f, L"[%ls]\n", argv[i]);
        fclose(f);
    }
    return argc > 1 ? _wtoi(argv[1]) : 0;
}
