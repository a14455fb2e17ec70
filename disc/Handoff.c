/* Stand-in for the setup program the launcher copies to the Windows directory. Scenarios only
 * check that the copy is this file, so the banner below doubles as its fingerprint. */
#include <windows.h>

#include "standin_log.h"

static const char banner[] = "Handoff setup stand-in\r\n";

int main(void)
{
    standin_log("Handoff", "start", GetCommandLineA());
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), banner, sizeof banner - 1, &written, NULL);
    return 0;
}
