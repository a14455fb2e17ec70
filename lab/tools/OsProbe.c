/* Prints what this Windows (or Wine) tells a program about itself, as key=value lines, so the
 * end-to-end scenarios can work out what the launcher should decide here. Built without a
 * manifest, like Start.exe's, so the version it reads is the one the launcher reads.
 * Usage: OsProbe [drive root]  -- with a root (D:\), also the kind of that drive.
 *        OsProbe --short PATH   -- only the short (8.3) form of PATH, read in UTF-16 from the
 *                                  command line, as UTF-8 (shortPath=), or shortPath! when none.
 *        OsProbe --registry FOLDER  -- the report, then the registry as Wine's server holds it
 *                                  saved into FOLDER (registry.c), for a trial to read as it was
 *                                  before the launcher ran; exit code 4 when it cannot be saved. */
#include "registry.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

/* The short form of the path that follows "--short " on the UTF-16 command line. */
static int PrintShortPath(void)
{
    const wchar_t *line = wcsstr(GetCommandLineW(), L"--short ");
    wchar_t path[1024], shortPath[1024];
    char utf8[4096];
    size_t n;
    if (!line)
        return 2;
    line += 8;
    while (*line == L' ')
        line++;
    n = wcslen(line);
    if (n >= 1024)
        return 2;
    memcpy(path, line, (n + 1) * sizeof(wchar_t));
    if (n >= 2 && path[0] == L'"' && path[n - 1] == L'"') {
        path[n - 1] = 0;
        memmove(path, path + 1, n * sizeof(wchar_t));
    }
    DWORD length = GetShortPathNameW(path, shortPath, 1024);
    if (length == 0 || length >= 1024) {
        printf("shortPath!\n");
        return 0;
    }
    WideCharToMultiByte(CP_UTF8, 0, shortPath, -1, utf8, sizeof utf8, NULL, NULL);
    printf("shortPath=%s\n", utf8);
    return 0;
}

typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE, PBOOL);

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--short") == 0)
        return PrintShortPath();
    OSVERSIONINFOEXA v;
    ZeroMemory(&v, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    BOOL extended = GetVersionExA((OSVERSIONINFOA *)&v);
    if (!extended) {
        v.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        GetVersionExA((OSVERSIONINFOA *)&v);
    }
    printf("versionExOk=%d\n", extended ? 1 : 0);
    printf("major=%lu\nminor=%lu\nbuild=%lu\nplatformId=%lu\n", v.dwMajorVersion,
           v.dwMinorVersion, v.dwBuildNumber, v.dwPlatformId);
    printf("productType=%d\nservicePackMajor=%d\ncsdVersion=%s\n", (int)v.wProductType,
           (int)v.wServicePackMajor, v.szCSDVersion);

    char windows_dir[MAX_PATH], system_dir[MAX_PATH], pattern[MAX_PATH + 16];
    GetWindowsDirectoryA(windows_dir, sizeof windows_dir);
    GetSystemDirectoryA(system_dir, sizeof system_dir);
    wsprintfA(pattern, "%s\\SysWow64\\*.*", windows_dir);
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    printf("sysWow64Found=%d\n", find != INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);

    /* Missing from older kernels, hence looked up rather than imported. */
    IsWow64ProcessFn is_wow64_process = (IsWow64ProcessFn)(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    BOOL wow64_ok = is_wow64_process && is_wow64_process(GetCurrentProcess(), &wow64);
    printf("isWow64ProcessFound=%d\nisWow64ProcessOk=%d\nisWow64=%d\n", is_wow64_process != NULL,
           wow64_ok, wow64_ok && wow64);

    printf("systemLangId=0x%04X\n", (unsigned)GetSystemDefaultLangID());
    printf("acp=%u\n", GetACP());
    printf("windowsDir=%s\nsystemDir=%s\n", windows_dir, system_dir);
    if (argc > 2 && strcmp(argv[1], "--registry") == 0) {
        fflush(stdout);
        return save_registry(argv[2]) ? 0 : 4;
    }
    /* OsProbe D:\ also tells what kind of drive that is (5: CD-ROM). */
    if (argc > 1)
        printf("driveType=%u\n", GetDriveTypeA(argv[1]));
    return 0;
}
