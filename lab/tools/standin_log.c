#include <windows.h>
#include <string.h>

#include "standin_log.h"

static char *put_field(char *out, const char *s)
{
    for (; *s; ++s) {
        switch (*s) {
        case '\r': *out++ = '\\'; *out++ = 'r'; break;
        case '\n': *out++ = '\\'; *out++ = 'n'; break;
        case '\t': *out++ = '\\'; *out++ = 't'; break;
        default: *out++ = *s;
        }
    }
    return out;
}

static char *put_number(char *out, unsigned long long value, unsigned base)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value);
    while (n)
        *out++ = digits[--n];
    return out;
}

/* 100 ns ticks since 1601 -> ms since 1970 */
static unsigned long long ms_since_1970(FILETIME ft)
{
    unsigned long long t = (unsigned long long)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
    return (t - 116444736000000000ULL) / 10000;
}

static unsigned long long created_ms(void)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    return ms_since_1970(created);
}

/* The mode is read without changing it: GetErrorMode exists from Vista on and is looked up, so
 * the stand-ins still run on the older systems the scenarios present; there the mode is read
 * by setting it and putting it back at once. */
static UINT error_mode(void)
{
    typedef UINT(WINAPI * GetErrorModeFn)(void);
    GetErrorModeFn get = (GetErrorModeFn)(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "GetErrorMode");
    if (get)
        return get();
    UINT mode = SetErrorMode(0);
    SetErrorMode(mode);
    return mode;
}

void standin_log(const char *program, const char *event, const char *detail)
{
    /* qzm logs from inside the launcher's LoadLibrary; it must not disturb the error it reads. */
    DWORD saved_error = GetLastError();

    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("STANDIN_LOG", path, sizeof path);
    if (n == 0 || n >= sizeof path)
        lstrcpyA(path, "C:\\standin.log");

    char cwd[MAX_PATH];
    n = GetCurrentDirectoryA(sizeof cwd, cwd);
    if (n == 0 || n >= sizeof cwd)
        cwd[0] = '\0';

    FILETIME now;
    GetSystemTimeAsFileTime(&now);

    size_t cap = 96 + 2 * (strlen(program) + strlen(event) + strlen(detail) + strlen(cwd));
    char *line = HeapAlloc(GetProcessHeap(), 0, cap);
    if (line) {
        char *p = put_number(line, ms_since_1970(now), 10);
        *p++ = '\t';
        p = put_field(p, program);
        *p++ = '\t';
        p = put_field(p, event);
        *p++ = '\t';
        p = put_field(p, detail);
        *p++ = '\t';
        p = put_number(p, GetCurrentProcessId(), 10);
        *p++ = '\t';
        p = put_number(p, created_ms(), 10);
        *p++ = '\t';
        p = put_number(p, error_mode(), 16);
        *p++ = '\t';
        p = put_field(p, cwd);
        *p++ = '\r';
        *p++ = '\n';

        /* "-" names the standard output: a pipe of whoever started the program, which no
         * other program can append to as it could to a file. */
        if (lstrcmpA(path, "-") == 0) {
            DWORD written;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)(p - line), &written, NULL);
        }
        /* Wine appends by asking the file's size and writing there, so two programs writing at
         * once could land on the same place: each holds a lock over the whole file while it
         * appends. A sharing violation only means someone else's open. */
        for (int attempt = 0; attempt < 100 && lstrcmpA(path, "-") != 0; ++attempt) {
            HANDLE f = CreateFileA(path, GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (f != INVALID_HANDLE_VALUE) {
                OVERLAPPED whole;
                ZeroMemory(&whole, sizeof whole);
                BOOL locked = LockFileEx(f, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
                DWORD written;
                SetFilePointer(f, 0, NULL, FILE_END);
                WriteFile(f, line, (DWORD)(p - line), &written, NULL);
                if (locked)
                    UnlockFileEx(f, 0, MAXDWORD, MAXDWORD, &whole);
                CloseHandle(f);
                break;
            }
            if (GetLastError() != ERROR_SHARING_VIOLATION)
                break;
            Sleep(10);
        }
        HeapFree(GetProcessHeap(), 0, line);
    }
    SetLastError(saved_error);
}

void standin_log_process(const char *program)
{
    DWORD saved_error = GetLastError();
    char image[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, image, sizeof image);
    image[n < sizeof image ? n : sizeof image - 1] = '\0';
    const char *command = GetCommandLineA();
    size_t length = strlen(image);
    char *detail = HeapAlloc(GetProcessHeap(), 0, length + 1 + strlen(command) + 1);
    if (detail) {
        memcpy(detail, image, length);
        detail[length] = '\x1f';
        lstrcpyA(detail + length + 1, command);
        standin_log(program, "process", detail);
        HeapFree(GetProcessHeap(), 0, detail);
    }
    SetLastError(saved_error);
}
