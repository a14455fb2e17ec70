/* Lists the running processes, one "<id>\t<executable name>" line each, so a scenario can tell
 * what was still running at its end. */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>

int main(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        printf("%lu\t%s\n", entry.th32ProcessID, entry.szExeFile);
    CloseHandle(snapshot);
    return 0;
}
