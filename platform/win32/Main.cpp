// The application layer: start-up, the one application object, one call of InitInstance, and
// exit code 0 whatever it returned.
#include "app/LauncherApp.h"
#include "platform/win32/Fatal.h"
#include "platform/win32/Win32Platform.h"

#include <windows.h>

namespace {
// Static storage, constructed before WinMain in this order and destroyed after it in reverse.
Win32Platform g_platform;
LauncherApp g_app(g_platform);
}  // namespace

__attribute__((no_stack_protector)) int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    SeedStackGuard();
    PrepareFatalEnds();
    PrepareProcess();
    // Whether the instance was turned away or the sequence ran, the launcher ends the same way.
    g_app.InitInstance();
    return 0;
}
