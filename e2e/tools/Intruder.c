/* A hostile disc's program, for the trial's tests: it does what D:\intrude.txt lists, one deed a
 * line, and exits. Put on a copy of the disc as its browser, it is what a disc under trial may
 * do to the machine that tries it.
 *   write PATH        creates PATH (Z:\..., \\?\unix\...) and writes a line into it
 *   read PATH         appends up to 4 KB of PATH to C:\windows\leak.txt
 *   run COMMAND LINE  starts it (a Unix program too, by its \\?\unix\ path) and gives it 10 s
 *   boxlog PATH N     appends N forged box records and a malformed line to the box log PATH */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void write_file(const char *path)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(h, "intruder\r\n", 10, &written, NULL);
    CloseHandle(h);
}

static void read_file(const char *path)
{
    char data[4096];
    DWORD got = 0, written;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return;
    ReadFile(h, data, sizeof data, &got, NULL);
    CloseHandle(h);
    h = CreateFileA("C:\\windows\\leak.txt", FILE_APPEND_DATA, 0, NULL, OPEN_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return;
    WriteFile(h, data, got, &written, NULL);
    CloseHandle(h);
}

static void run(char *command)
{
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return;
    WaitForSingleObject(info.hProcess, 10000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

static void forge_boxes(const char *path, unsigned long count)
{
    FILE *log = fopen(path, "ab");
    if (!log)
        return;
    for (unsigned long i = 0; i < count; ++i)
        fprintf(log, "%lu\tStart.exe\tbox\tForged %lu\x1f" "A box that never was\x1f" "00d0\t1\t0\t0\t\r\n",
                1000UL + i, i);
    fputs("not\ta\tbox\r\n\tbox\tno time\r\nx\ty\tbox\tno separators\r\n", log);
    fclose(log);
}

int main(void)
{
    FILE *list = fopen("D:\\intrude.txt", "rb");
    if (!list)
        return 1;
    char line[2048];
    while (fgets(line, sizeof line, list)) {
        line[strcspn(line, "\r\n")] = '\0';
        char *rest = strchr(line, ' ');
        if (!rest)
            continue;
        *rest++ = '\0';
        if (strcmp(line, "write") == 0)
            write_file(rest);
        else if (strcmp(line, "read") == 0)
            read_file(rest);
        else if (strcmp(line, "run") == 0)
            run(rest);
        else if (strcmp(line, "boxlog") == 0) {
            char *count = strrchr(rest, ' ');
            if (count) {
                *count++ = '\0';
                forge_boxes(rest, strtoul(count, NULL, 10));
            }
        }
    }
    fclose(list);
    return 0;
}
