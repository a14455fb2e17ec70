/* Lists the running processes, one "<id>\t<executable name>\t<created ms>" line each, so a
 * scenario can tell what was still running at its end and match each process to the stand-ins'
 * records (an id alone may be reused; with its creation time it names one process). The
 * creation time is in ms since 1970, 0 when the process cannot be asked.
 *
 * ProcList --serve lists the table once for every line read from stdin, each list followed by
 * a line holding only "." ("!" when the table could not be read), until stdin ends: one
 * process answers a scenario's every question, where a new one would take up to a second to
 * start when 32-bit code is emulated. */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <string.h>

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

static int list(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        printf("%lu\t%s\t%llu\n", entry.th32ProcessID, entry.szExeFile,
               created_ms(entry.th32ProcessID));
    CloseHandle(snapshot);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2 || strcmp(argv[1], "--serve") != 0)
        return list();
    char request[64];
    while (fgets(request, sizeof request, stdin)) {
        fputs(list() == 0 ? ".\n" : "!\n", stdout);
        fflush(stdout);
    }
    return 0;
}
