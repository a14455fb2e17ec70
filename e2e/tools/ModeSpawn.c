/* Sets its error mode and starts a program, to tell whether this system passes a process's
 * error mode on to the programs it starts, as Windows does (unless CREATE_DEFAULT_ERROR_MODE).
 * Usage: ModeSpawn <mode, hexadecimal> <program>   -- exit code 0 once the program is started. */
#include <windows.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    SetErrorMode((UINT)strtoul(argv[1], NULL, 16));
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!CreateProcessA(argv[2], NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return 1;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}
