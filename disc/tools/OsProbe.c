/* Prints what this Windows (or Wine) tells a program about itself, as key=value lines, so the
 * end-to-end scenarios can work out what the launcher should decide here. Built without a
 * manifest, like Start.exe's, so the version it reads is the one the launcher reads.
 * Usage: OsProbe [drive root]  -- with a root (D:\), also the kind of that drive. */
#include <windows.h>
#include <stdio.h>

typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE, PBOOL);

int main(int argc, char **argv)
{
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
    /* OsProbe D:\ also tells what kind of drive that is (5: CD-ROM). */
    if (argc > 1)
        printf("driveType=%u\n", GetDriveTypeA(argv[1]));
    return 0;
}
