/* An id alone may be reused; with its creation time (ms since 1970, 0 when the process cannot be
 * asked) it names one process, which is how the stand-ins' records are matched to the table. */
#include "proc_table.h"

#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>

static unsigned long long created_ms(DWORD id)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!process)
        return 0;
    FILETIME created, exited, kernel, user;
    unsigned long long ms = 0;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        ms = (unsigned long long)created.dwHighDateTime << 32 | created.dwLowDateTime;
        ms = (ms - 116444736000000000ULL) / 10000;
    }
    CloseHandle(process);
    return ms;
}

int print_process_table(const char *prefix)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 1;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        printf("%s%lu\t%s\t%llu\n", prefix, entry.th32ProcessID, entry.szExeFile,
               created_ms(entry.th32ProcessID));
    CloseHandle(snapshot);
    return 0;
}
