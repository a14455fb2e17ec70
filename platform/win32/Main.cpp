// The application layer: start-up, the one application object, one call of InitInstance, and
// exit code 0 whatever it returned.
#include "app/LauncherApp.h"
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <cstdlib>

// The only exception the launcher can meet is running out of memory. The run-time's default
// handler would print the exception's demangled name to a console the launcher does not have,
// and carries the whole demangler into the image for it.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace {
// Static storage, constructed before WinMain in this order and destroyed after it in reverse.
Win32Platform g_platform;
LauncherApp g_app(g_platform);
}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    PrepareProcess();
    // Whether the instance was turned away or the sequence ran, the launcher ends the same way.
    g_app.InitInstance();
    return 0;
}
