/* Answers the message boxes of an unattended run and records each one in the stand-ins' log.
 * Usage: BoxWatcher [delay-ms [ack-folder]]
 *   delay-ms    how long a box stays up before it is answered (300)
 *   ack-folder  also hold each box until the file <ack-folder>\box-<n> exists, n counting the
 *               boxes from 1 in the order they were seen, so that whoever reads the log can
 *               look at the box (take a screenshot) before it goes; the record then ends with
 *               the id of the process that shows the box (hexadecimal) and the box's window
 *               rectangle on the screen, frame and title bar included ("left,top,right,bottom",
 *               decimal), which is what such a screenshot is cut to. */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "standin_log.h"

#define BOX_CLASS "#32770"
#define MESSAGE_TEXT_ID 0xFFFF

/* Boxes seen and not yet gone: a box is recorded when first seen and answered once. */
static struct box {
    HWND hwnd;
    DWORD seen_at;
    BOOL answered;
    unsigned number;
} boxes[64];
static int box_count;
static unsigned boxes_seen;
static const char *ack_folder;

static void record(HWND hwnd)
{
    char caption[1024], text[8192], detail[sizeof caption + sizeof text + 96];
    caption[0] = text[0] = '\0';
    GetWindowTextA(hwnd, caption, (int)sizeof caption);
    GetDlgItemTextA(hwnd, MESSAGE_TEXT_ID, text, (int)sizeof text);
    size_t n = strlen(caption);
    memcpy(detail, caption, n);
    detail[n] = '\x1f';
    strcpy(detail + n + 1, text);
    if (ack_folder) {
        DWORD pid = 0;
        RECT r = {0, 0, 0, 0};
        GetWindowThreadProcessId(hwnd, &pid);
        GetWindowRect(hwnd, &r);
        n = strlen(detail);
        wsprintfA(detail + n, "\x1f%lx\x1f%ld,%ld,%ld,%ld", pid, r.left, r.top, r.right, r.bottom);
    }
    standin_log("BoxWatcher", "box", detail);
}

static BOOL CALLBACK look_at(HWND hwnd, LPARAM unused)
{
    (void)unused;
    char cls[sizeof BOX_CLASS + 1];
    if (!IsWindowVisible(hwnd) || !GetClassNameA(hwnd, cls, (int)sizeof cls) ||
        strcmp(cls, BOX_CLASS) != 0)
        return TRUE;
    for (int i = 0; i < box_count; ++i)
        if (boxes[i].hwnd == hwnd)
            return TRUE;
    if (box_count == (int)(sizeof boxes / sizeof *boxes))
        return TRUE;
    record(hwnd);
    boxes[box_count].hwnd = hwnd;
    boxes[box_count].seen_at = GetTickCount();
    boxes[box_count].answered = FALSE;
    boxes[box_count].number = ++boxes_seen;
    ++box_count;
    return TRUE;
}

static void answer(HWND hwnd)
{
    /* A box without OK (Yes/No) gets its default button, so a run never hangs on a question. */
    int id = IDOK;
    if (!GetDlgItem(hwnd, IDOK)) {
        LRESULT def = SendMessageA(hwnd, DM_GETDEFID, 0, 0);
        if (HIWORD(def) == DC_HASDEFID)
            id = LOWORD(def);
    }
    PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(hwnd, id));
}

/* Whether whoever reads the log has let box number go (always, without an ack folder). */
static BOOL released(unsigned number)
{
    if (!ack_folder)
        return TRUE;
    char path[MAX_PATH];
    if (lstrlenA(ack_folder) > MAX_PATH - 32)
        return TRUE;
    wsprintfA(path, "%s\\box-%u", ack_folder, number);
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int main(int argc, char **argv)
{
    DWORD delay = argc > 1 ? strtoul(argv[1], NULL, 10) : 300;
    ack_folder = argc > 2 ? argv[2] : NULL;
    for (;;) {
        EnumWindows(look_at, 0);
        DWORD now = GetTickCount();
        for (int i = 0; i < box_count;) {
            struct box *b = &boxes[i];
            if (!IsWindow(b->hwnd)) {
                *b = boxes[--box_count];
                continue;
            }
            if (!b->answered && now - b->seen_at >= delay && released(b->number)) {
                answer(b->hwnd);
                b->answered = TRUE;
            }
            ++i;
        }
        Sleep(50);
    }
}
