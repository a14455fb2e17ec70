/* Prints what Windows shows of a program before it runs it, as key=value lines in UTF-8: the
 * strings and numbers of its version resource, as Explorer reads them, and its icons, as the
 * shell extracts them.
 * Usage: Identity path
 *   version=A.B.C.D           the fixed part's file version
 *   string.<Name>=<text>      each string of the first translation
 *   icons=<n>                 how many icons ExtractIconEx counts
 *   large=<w>x<h>, small=...  the first icon as the shell extracts it in its two sizes
 *   images=<w>,<w>,...        the sizes in the first icon group */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

static void print_utf8(const WCHAR *text)
{
    char out[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, (int)sizeof out, NULL, NULL);
    if (n <= 0)
        out[0] = '\0';
    fputs(out, stdout);
}

static void icon_size(const char *key, HICON icon)
{
    ICONINFO info;
    BITMAP bitmap;
    if (!icon || !GetIconInfo(icon, &info))
        return;
    HBITMAP shown = info.hbmColor ? info.hbmColor : info.hbmMask;
    if (GetObjectW(shown, sizeof bitmap, &bitmap))
        printf("%s=%ldx%ld\n", key, bitmap.bmWidth,
               info.hbmColor ? bitmap.bmHeight : bitmap.bmHeight / 2);
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
}

static BOOL CALLBACK first_group(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR found)
{
    (void)module;
    (void)type;
    *(LPWSTR *)found = name;
    return FALSE;
}

int main(void)
{
    int argc = 0;
    WCHAR **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc != 2) {
        fputs("usage: Identity path\n", stderr);
        return 2;
    }
    const WCHAR *path = argv[1];
    DWORD ignored = 0, size = GetFileVersionInfoSizeW(path, &ignored);
    if (size) {
        void *data = HeapAlloc(GetProcessHeap(), 0, size);
        VS_FIXEDFILEINFO *fixed = NULL;
        UINT length = 0;
        WORD *translation = NULL;
        if (data && GetFileVersionInfoW(path, 0, size, data)) {
            if (VerQueryValueW(data, L"\\", (void **)&fixed, &length) && fixed)
                printf("version=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
                       (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
                       (unsigned)LOWORD(fixed->dwFileVersionLS));
            if (VerQueryValueW(data, L"\\VarFileInfo\\Translation", (void **)&translation, &length) &&
                length >= 4) {
                static const WCHAR *names[] = {L"CompanyName", L"FileDescription", L"FileVersion",
                                               L"InternalName", L"LegalCopyright",
                                               L"OriginalFilename", L"ProductName",
                                               L"ProductVersion"};
                for (int i = 0; i < (int)(sizeof names / sizeof names[0]); ++i) {
                    WCHAR query[128];
                    WCHAR *value = NULL;
                    wsprintfW(query, L"\\StringFileInfo\\%04x%04x\\%s", translation[0],
                              translation[1], names[i]);
                    if (VerQueryValueW(data, query, (void **)&value, &length) && value) {
                        fputs("string.", stdout);
                        print_utf8(names[i]);
                        putchar('=');
                        print_utf8(value);
                        putchar('\n');
                    }
                }
            }
        }
    }
    printf("icons=%u\n", ExtractIconExW(path, -1, NULL, NULL, 0));
    HICON large = NULL, small = NULL;
    if (ExtractIconExW(path, 0, &large, &small, 1) > 0) {
        icon_size("large", large);
        icon_size("small", small);
    }
    HMODULE module = LoadLibraryExW(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    LPWSTR group = NULL;
    if (module)
        EnumResourceNamesW(module, MAKEINTRESOURCEW(14), first_group, (LONG_PTR)&group);
    HRSRC found = group ? FindResourceW(module, group, MAKEINTRESOURCEW(14)) : NULL;
    const BYTE *directory = found ? LockResource(LoadResource(module, found)) : NULL;
    if (directory) {
        const WORD count = *(const WORD *)(directory + 4);
        fputs("images=", stdout);
        for (WORD i = 0; i < count; ++i) {
            const BYTE width = directory[6 + 14 * i];
            printf("%s%d", i ? "," : "", width ? width : 256);
        }
        putchar('\n');
    }
    return 0;
}
