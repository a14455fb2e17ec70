/* Stand-in for a system library planted beside the launcher under a system library's name (the
 * scenarios copy it there): records that it was loaded, under which name and into which program.
 * Exports nothing, so a program that takes it in place of the real library gets no further. */
#include <windows.h>
#include <string.h>

#include "standin_log.h"

static void module_path(HMODULE module, char *path, DWORD size)
{
    DWORD n = GetModuleFileNameA(module, path, size);
    path[n < size ? n : size - 1] = '\0';
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        /* "<the library's path>\x1f<the program's path>" */
        char detail[2 * MAX_PATH + 1];
        module_path(self, detail, MAX_PATH);
        size_t n = strlen(detail);
        detail[n] = '\x1f';
        module_path(NULL, detail + n + 1, MAX_PATH);
        standin_log("Planted", "load", detail);
    }
    return TRUE;
}
