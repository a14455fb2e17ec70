/* A disc's program that tries to change the system it runs on for good: it writes a new file
 * into every folder of drive C: (the Windows directory's included), appends to the first file of
 * each folder, and adds a registry key. Run as a disc's launcher in a trial, it must leave the
 * template the next trial starts from as it was. Prints how many folders it wrote into. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#define MAX_DEPTH 32
#define MAX_FOLDERS 20000

static const char MARK[] = "scribbled by a disc\r\n";
static unsigned folders, files_changed;

static void write_into(const char *folder)
{
    char path[MAX_PATH];
    if (snprintf(path, sizeof path, "%s\\scribble.txt", folder) >= (int)sizeof path)
        return;
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           NULL);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD n;
        WriteFile(h, MARK, sizeof MARK - 1, &n, NULL);
        CloseHandle(h);
        folders++;
    }
}

static void append_to(const char *file)
{
    HANDLE h = CreateFileA(file, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD n;
        if (WriteFile(h, MARK, sizeof MARK - 1, &n, NULL))
            files_changed++;
        CloseHandle(h);
    }
}

static void walk(const char *folder, int depth)
{
    if (depth > MAX_DEPTH || folders >= MAX_FOLDERS)
        return;
    write_into(folder);
    char pattern[MAX_PATH];
    if (snprintf(pattern, sizeof pattern, "%s\\*", folder) >= (int)sizeof pattern)
        return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    int appended = 0;
    do {
        if (!strcmp(found.cFileName, ".") || !strcmp(found.cFileName, "..")
            || !strcmp(found.cFileName, "scribble.txt"))
            continue;
        char path[MAX_PATH];
        if (snprintf(path, sizeof path, "%s\\%s", folder, found.cFileName) >= (int)sizeof path)
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                walk(path, depth + 1);
        } else if (!appended) {
            append_to(path);
            appended = 1;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

int main(void)
{
    char windows[MAX_PATH];
    UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    walk("C:", 0);
    /* The Windows directory again, should it not be under C:. */
    if (n > 0 && n < sizeof windows && _strnicmp(windows, "C:\\", 3) != 0)
        walk(windows, 0);
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Scribbled", 0, NULL, 0, KEY_WRITE, NULL,
                        &key, NULL) == ERROR_SUCCESS) {
        RegSetValueExA(key, "By", 0, REG_SZ, (const BYTE *)"a disc", 7);
        RegCloseKey(key);
    }
    printf("wrote into %u folders, appended to %u files\n", folders, files_changed);
    return 0;
}
