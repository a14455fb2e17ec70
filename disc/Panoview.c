/* Stand-in for the page browser: shows which page the launcher asked for, and lives until it
 * is closed or terminated, as the real browser does. */
#include <windows.h>
#include <string.h>

#include "standin_log.h"

/* What follows the program name on a command line, without the blanks between them. */
static const char *arguments(const char *cmd)
{
    const char *p = cmd;
    if (*p == '"') {
        p = strchr(p + 1, '"');
        p = p ? p + 1 : cmd + strlen(cmd);
    } else {
        while (*p && *p != ' ' && *p != '\t')
            ++p;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

#ifdef PANOVIEW_HANDS_OVER_TO
/* Built as a small starter, as some browsers are: it starts the real viewer, a program of
 * another name beside it, with its own arguments, and exits at once. A launcher that waits for a
 * process of the browser's name never sees one, as long as the starter is gone before the
 * launcher looks: it imports no more than the system's base library, so that it starts and ends
 * as fast as a program can. */
static int hand_over(const char *cmd)
{
    char path[MAX_PATH], line[4096];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    char *slash = n && n < MAX_PATH ? strrchr(path, '\\') : NULL;
    if (!slash || (size_t)(slash + 1 - path) + sizeof PANOVIEW_HANDS_OVER_TO > sizeof path)
        return 1;
    strcpy(slash + 1, PANOVIEW_HANDS_OVER_TO);
    const char *args = arguments(cmd);
    if (strlen(path) + strlen(args) + 4 > sizeof line)
        return 1;
    strcpy(line, "\"");
    strcat(line, path);
    strcat(line, "\" ");
    strcat(line, args);
    STARTUPINFOA si = {0};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(path, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return 2;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR args, int show)
{
    (void)inst;
    (void)prev;
    (void)args;
    (void)show;
    const char *cmd = GetCommandLineA();
    standin_log("Panoview", "start", cmd);
    return hand_over(cmd);
}

#else

static char page[1024];
static char heading[1200];
static WCHAR first_line[256];
static HFONT font;

/* The page is everything after the program name. The launcher opens a quote before the page
 * and never closes it, so stray quotes at either end are not part of the path. */
static void find_page(const char *cmd)
{
    const char *p = arguments(cmd);
    if (*p == '"')
        ++p;
    lstrcpynA(page, p, sizeof page);
    size_t n = strlen(page);
    while (n && (page[n - 1] == ' ' || page[n - 1] == '"'))
        page[--n] = '\0';
}

/* The first run of text inside <body>, good enough to tell the languages' pages apart. */
static void read_first_line(void)
{
    char html[8192];
    HANDLE f = CreateFileA(page, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD got = 0;
    if (!ReadFile(f, html, sizeof html - 1, &got, NULL))
        got = 0;
    CloseHandle(f);
    html[got] = '\0';

    const char *p = strstr(html, "<body");
    if (!p)
        p = html;
    char text[512];
    size_t n = 0;
    int in_tag = 0;
    for (; *p && n < sizeof text - 1; ++p) {
        if (*p == '<') {
            if (n)
                break;
            in_tag = 1;
        } else if (*p == '>') {
            in_tag = 0;
        } else if (!in_tag) {
            if (*p == '\r' || *p == '\n') {
                if (n)
                    break;
            } else if (n || (*p != ' ' && *p != '\t')) {
                text[n++] = *p;
            }
        }
    }
    text[n] = '\0';
    MultiByteToWideChar(CP_UTF8, 0, text, -1, first_line, sizeof first_line / sizeof *first_line);
}

static void paint(HWND hwnd)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    HGDIOBJ old = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    RECT rc;
    GetClientRect(hwnd, &rc);
    InflateRect(&rc, -24, -24);
    rc.top += DrawTextA(dc, heading, -1, &rc, DT_WORDBREAK | DT_NOPREFIX) + 24;
    DrawTextW(dc, first_line, -1, &rc, DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    EndPaint(hwnd, &ps);
}

static LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_PAINT:
        paint(hwnd);
        return 0;
    case WM_SIZE:
        InvalidateRect(hwnd, NULL, TRUE);
        return 0;
    case WM_DESTROY:
        standin_log("Panoview", "exit", "");
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR args, int show)
{
    (void)prev;
    (void)args;
    const char *cmd = GetCommandLineA();
    standin_log_process("Panoview");
    standin_log("Panoview", "start", cmd);

    find_page(cmd);
    read_first_line();
    wsprintfA(heading, "Panoview stand-in\nopening %s", page);
    char title[1100];
    wsprintfA(title, "Panoview - %s", page);
    font = CreateFontA(-28, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, "Arial");

    WNDCLASSA wc = {0};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = "PanoviewStandIn";
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowExA(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 900, 420, NULL, NULL, inst, NULL);
    ShowWindow(hwnd, show);
    UpdateWindow(hwnd);
    /* The page is on the screen: what a screenshot waits for. */
    standin_log("Panoview", "shown", page);

    /* The launcher's start waits for us to go idle; answer promptly by pumping from the start. */
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    DeleteObject(font);
    return (int)msg.wParam;
}

#endif
