/* Stand-in for the library the launcher probes by loading and freeing it. */
#include <windows.h>

#include "standin_log.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH];
        DWORD n = GetModuleFileNameA(self, path, sizeof path);
        path[n < sizeof path ? n : sizeof path - 1] = '\0';
        standin_log("qzm", "load", path);
    } else if (reason == DLL_PROCESS_DETACH) {
        standin_log("qzm", "unload", "");
    }
    return TRUE;
}
