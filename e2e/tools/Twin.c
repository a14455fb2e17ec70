/* A disc's program for two trials at once: it writes the token the disc holds (D:\token.txt)
 * into a file of the same name in the Windows directory, then watches that file until the file
 * D:\stop.txt appears (put on the disc by the test, from outside), and writes what it found
 * there before it wrote and when it stopped into twin-seen.txt beside it. Two trials that shared
 * a writable file would show each other's token. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#define TOKEN_MAX 64
/* At most ten minutes of watching (the trial's own time bound is the real limit). */
#define MAX_ROUNDS 6000

static void read_small(const char *path, char *text, DWORD size)
{
    text[0] = '\0';
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        strcpy(text, "(none)");
        return;
    }
    DWORD n = 0;
    if (!ReadFile(h, text, size - 1, &n, NULL))
        n = 0;
    text[n] = '\0';
    CloseHandle(h);
}

static void write_small(const char *path, const char *text)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD n;
        WriteFile(h, text, (DWORD)strlen(text), &n, NULL);
        CloseHandle(h);
    }
}

int main(void)
{
    char windows[MAX_PATH], twin[MAX_PATH], seen_path[MAX_PATH];
    UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    if (n == 0 || n >= sizeof windows - 20)
        return 2;
    snprintf(twin, sizeof twin, "%s\\twin.txt", windows);
    snprintf(seen_path, sizeof seen_path, "%s\\twin-seen.txt", windows);
    char token[TOKEN_MAX], before[TOKEN_MAX], now[TOKEN_MAX], seen[3 * TOKEN_MAX];
    read_small("D:\\token.txt", token, sizeof token);
    read_small(twin, before, sizeof before);
    write_small(twin, token);
    strcpy(now, token);
    for (int round = 0; round < MAX_ROUNDS; round++) {
        if (GetFileAttributesA("D:\\stop.txt") != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
        read_small(twin, now, sizeof now);
        if (strcmp(now, token) != 0)
            break;
    }
    snprintf(seen, sizeof seen, "before=%s;after=%s", before, now);
    write_small(seen_path, seen);
    return 0;
}
