// Compiled into tools/StartTest.exe only.
#include "platform/win32/TestHooks.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

bool TestHookSet(const char* name) {
    char hooks[256];
    const DWORD n = GetEnvironmentVariableA("START_TEST_HOOKS", hooks, sizeof hooks);
    if (n == 0 || n >= sizeof hooks) return false;
    const std::size_t length = std::strlen(name);
    for (const char* p = hooks; *p;) {
        const char* end = std::strchr(p, ',');
        const std::size_t token = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (token == length && std::strncmp(p, name, length) == 0) return true;
        if (!end) break;
        p = end + 1;
    }
    return false;
}

namespace {
// Writes past the end of an array on its own stack frame, as an overflow would.
__attribute__((noinline)) void OverrunStackArray(volatile std::size_t length) {
    char buffer[16];
    for (std::size_t i = 0; i < length; ++i) reinterpret_cast<volatile char*>(buffer)[i] = 'x';
}
}  // namespace

void RunTestFaultHook() {
    if (TestHookSet("bad-alloc")) {
        // More than a 32-bit process can ever have: the allocation fails as memory running out
        // would, through the image's own operator new.
        volatile std::size_t huge = ~static_cast<std::size_t>(0) - 4095;
        static_cast<volatile char*>(::operator new(huge))[0] = 'x';
    }
    if (TestHookSet("terminate")) std::terminate();
    if (TestHookSet("abort")) std::abort();
    if (TestHookSet("stack-overrun")) OverrunStackArray(64);
}
