/* The lowest possible floor for "time to the page browser": a program that starts the same
 * browser command as Start.exe and exits. Whatever Start.exe takes beyond this is its own work
 * (the system calls of the launch sequence plus its code around them). */
#include <windows.h>

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR args, int show)
{
    (void)inst;
    (void)prev;
    (void)args;
    (void)show;

    /* Our folder, with its trailing backslash: the disc's root, as Start.exe sees it. */
    char dir[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    while (n && dir[n - 1] != '\\')
        --n;
    dir[n] = '\0';

    char program[MAX_PATH + 32];
    lstrcpyA(program, dir);
    lstrcatA(program, "Panoview.exe");
    /* The launcher's exact command line: an opening quote before the page and no closing one. */
    char line[MAX_PATH + 64];
    lstrcpyA(line, "Panoview.exe \"");
    lstrcatA(line, dir);
    lstrcatA(line, "lang\\Eng\\Welcome.htm");

    /* The same start-up details as the launcher's (show window, no inheritance, no wait). */
    STARTUPINFOA si = {0};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(program, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return 2;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
