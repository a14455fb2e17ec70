// The launcher's end when it cannot go on (out of memory, std::terminate, abort): like every
// other end, exit code 0 and no box of its own. The run-time's own ends report an "abnormal
// program termination" in a box that waits for a user who can do nothing about it, and end with
// exit code 3.
#include "platform/win32/Fatal.h"

#include <windows.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <new>

[[noreturn]] void EndProcessAtOnce() {
    // Nothing more of a process in this state may run: no exit processing, no handlers.
    TerminateProcess(GetCurrentProcess(), 0);
    ExitProcess(0);  // not reached; the call above does not return for the process itself
}

// The run-time's default terminate handler, replaced: it is what std::terminate calls (an
// exception nobody catches, std::bad_alloc among them, or one thrown where none may pass). The
// library's own would print to a console the launcher does not have and then call abort, and it
// carries the whole demangler into the image for that.
namespace __gnu_cxx {
void __verbose_terminate_handler() { EndProcessAtOnce(); }
}  // namespace __gnu_cxx

// The image is built without exceptions, and nothing in it catches one: the run-time's helpers
// that would throw (a string or vector grown past its limit, an empty function called, memory
// running out) end the process the quiet way instead. Linking none of the library's own keeps
// its exception machinery (the unwinder, the personality routine, the exception classes) out of
// the image, which is most of its weight.
namespace std {
void __throw_bad_alloc() { EndProcessAtOnce(); }
void __throw_bad_array_new_length() { EndProcessAtOnce(); }
void __throw_length_error(const char*) { EndProcessAtOnce(); }
void __throw_logic_error(const char*) { EndProcessAtOnce(); }
void __throw_out_of_range(const char*) { EndProcessAtOnce(); }
void __throw_out_of_range_fmt(const char*, ...) { EndProcessAtOnce(); }
void __throw_invalid_argument(const char*) { EndProcessAtOnce(); }
void __throw_bad_function_call() { EndProcessAtOnce(); }
}  // namespace std

// Memory running out ends the launcher at once, as any other end it cannot go on from.
void* operator new(std::size_t size) {
    if (void* block = std::malloc(size ? size : 1)) return block;
    EndProcessAtOnce();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

// The library's string functions are compiled with exceptions: they name the catch and rethrow
// of the C++ run-time and the unwinder's resume, which no path of this image can reach, since
// nothing in it throws. Their own stand-ins keep the machinery out.
extern "C" {
void* __cxa_begin_catch(void*) { EndProcessAtOnce(); }
void __cxa_end_catch() { EndProcessAtOnce(); }
void __cxa_rethrow() { EndProcessAtOnce(); }
void _Unwind_Resume(void*) { EndProcessAtOnce(); }
int __gxx_personality_v0() { EndProcessAtOnce(); }
}

// Replaces the system run-time's abort for everything linked into the image, the compiler's
// support libraries included: the system's shows its box before anything else could intervene.
extern "C" void abort() { EndProcessAtOnce(); }

// The stack protector's guard and failure routine, the image's own. The compiler's support
// library has both too, but fills the guard through a cryptographic provider, a library the
// system loads by name before the launcher's first line (from the launcher's own folder first,
// where the search cannot be restricted), and ends a smashed process with a crash or exit code 127.
extern "C" {
// Any value until SeedStackGuard replaces it; only the constructors of static objects run before.
std::uintptr_t __stack_chk_guard = 0x2B992DDFu;
[[noreturn]] void __stack_chk_fail() { EndProcessAtOnce(); }
}

// Not protected itself: the guard changes under it (and under the start-up frames below it,
// which are not protected either).
__attribute__((no_stack_protector)) void SeedStackGuard() {
    // What the system's own compilers take for their guard: the time, the ids, the counters and
    // where the stack lies, which differs between runs of the same image.
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    std::uintptr_t seed = time.dwLowDateTime ^ time.dwHighDateTime ^ GetCurrentProcessId() ^
                          (GetCurrentThreadId() << 16) ^ GetTickCount() ^ counter.LowPart ^
                          static_cast<std::uintptr_t>(counter.HighPart);
    seed ^= reinterpret_cast<std::uintptr_t>(&seed);
    if (seed != 0) __stack_chk_guard = seed;
}

void PrepareFatalEnds() {
    // Whatever still raises the abort signal (the system run-time's own abort, should anything
    // reach it) ends the same way.
    std::signal(SIGABRT, [](int) { EndProcessAtOnce(); });
}
