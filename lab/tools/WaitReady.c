/* Waits until each given process is ready for input (its message loop waits for messages) or has
 * ended, for at most wait-ms in all, then prints what became of each and the visible top-level
 * windows, so that a screenshot taken next shows what the programs show, and then the process
 * table (one program started, not two: each costs a second where 32-bit code is emulated).
 * Usage: WaitReady wait-ms [pid...]   -- process ids in hexadecimal, as Wine's traces write them
 * Prints, in UTF-8, one line each:
 *   process\t<pid>\tready | ended <exit code> | busy | gone
 *   window\t<pid>\t<class>\t<title>
 *   running\t<id, decimal>\t<executable name>\t<created ms>   (as ProcList prints it)
 * A program without a message queue (a console program) is ready only once it has ended. */
#include "proc_table.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static void print_utf8(const WCHAR *text)
{
    char out[2048];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, (int)sizeof out, NULL, NULL);
    if (n <= 0)
        out[0] = '\0';
    for (char *p = out; *p; ++p)
        if (*p == '\t' || *p == '\r' || *p == '\n')
            *p = ' ';
    fputs(out, stdout);
}

static BOOL CALLBACK list_window(HWND hwnd, LPARAM unused)
{
    (void)unused;
    if (!IsWindowVisible(hwnd))
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    WCHAR cls[256], title[512];
    if (!GetClassNameW(hwnd, cls, 256))
        cls[0] = 0;
    if (!GetWindowTextW(hwnd, title, 512))
        title[0] = 0;
    printf("window\t%lx\t", pid);
    print_utf8(cls);
    putchar('\t');
    print_utf8(title);
    putchar('\n');
    return TRUE;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs("usage: WaitReady wait-ms [pid...]\n", stderr);
        return 2;
    }
    const DWORD budget = strtoul(argv[1], NULL, 10);
    const DWORD start = GetTickCount();
    for (int i = 2; i < argc; ++i) {
        DWORD pid = strtoul(argv[i], NULL, 16);
        /* The idle event is handed out only for full query rights. */
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
        if (!process)
            process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (!process) {
            printf("process\t%lx\tgone\n", pid);
            continue;
        }
        DWORD spent = GetTickCount() - start;
        DWORD left = spent < budget ? budget - spent : 0;
        DWORD idle = WaitForInputIdle(process, left);
        /* No message queue to wait on: ready means ended. */
        if (idle == WAIT_FAILED)
            WaitForSingleObject(process, left);
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code))
            printf("process\t%lx\tended %lu\n", pid, code);
        else
            printf("process\t%lx\t%s\n", pid, idle == 0 ? "ready" : "busy");
        CloseHandle(process);
    }
    EnumWindows(list_window, 0);
    return print_process_table("running\t");
}
