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

static char *put_wall_clock_ms(char *out)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    unsigned long long t = (unsigned long long)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
    t = (t - 116444736000000000ULL) / 10000; /* 100 ns ticks since 1601 -> ms since 1970 */
    char digits[24];
    int n = 0;
    do {
        digits[n++] = (char)('0' + t % 10);
        t /= 10;
    } while (t);
    while (n)
        *out++ = digits[--n];
    return out;
}

void standin_log(const char *program, const char *event, const char *detail)
{
    /* qzm logs from inside the launcher's LoadLibrary; it must not disturb the error it reads. */
    DWORD saved_error = GetLastError();

    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("STANDIN_LOG", path, sizeof path);
    if (n == 0 || n >= sizeof path)
        lstrcpyA(path, "C:\\standin.log");

    size_t cap = 32 + 2 * (strlen(program) + strlen(event) + strlen(detail));
    char *line = HeapAlloc(GetProcessHeap(), 0, cap);
    if (line) {
        char *p = put_wall_clock_ms(line);
        *p++ = '\t';
        p = put_field(p, program);
        *p++ = '\t';
        p = put_field(p, event);
        *p++ = '\t';
        p = put_field(p, detail);
        *p++ = '\r';
        *p++ = '\n';

        /* Append-only access makes each WriteFile land whole at the end, even with several
         * stand-ins writing at once; a sharing violation only means someone else's open. */
        for (int attempt = 0; attempt < 100; ++attempt) {
            HANDLE f = CreateFileA(path, FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (f != INVALID_HANDLE_VALUE) {
                DWORD written;
                WriteFile(f, line, (DWORD)(p - line), &written, NULL);
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
