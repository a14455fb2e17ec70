/* Stand-in for the optional helper the launcher starts and later terminates by name. */
#include <windows.h>
#include <string.h>

#include "standin_log.h"

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR args, int show)
{
    (void)prev;
    (void)args;
    (void)show;

    /* Log under the name we were started as, so a scenario can tell Q7.exe from a look-alike
     * (q7.EXE, Q7x.exe) and see which of them the launcher's name match terminated. */
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    path[n < sizeof path ? n : sizeof path - 1] = '\0';
    char *name = strrchr(path, '\\');
    name = name ? name + 1 : path;
    char *dot = strrchr(name, '.');
    if (dot)
        *dot = '\0';
    standin_log_process(name);
    standin_log(name, "start", GetCommandLineA());

    WNDCLASSA wc = {0};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = inst;
    wc.lpszClassName = "Q7StandIn";
    RegisterClassA(&wc);
    CreateWindowExA(0, wc.lpszClassName, name, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                    CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, inst, NULL);

    /* Pumping messages makes us "idle" for whoever waits on our start-up; we never quit on our
     * own, only termination ends us. */
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
