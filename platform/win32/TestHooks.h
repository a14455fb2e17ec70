// Hooks for the end-to-end tests: conditions and faults that a scenario cannot otherwise bring
// about on the machine it runs on ("fallback-search": a system without SetDefaultDllDirectories;
// "image-name-other-way": a process name the first way cannot read). They exist only in tools/StartTest.exe, the test build of the
// launcher (LAUNCHER_TEST_HOOKS); in Start.exe every hook is a constant "no" and compiles away.
#pragma once

#ifdef LAUNCHER_TEST_HOOKS
// Whether the hook is named in the environment variable START_TEST_HOOKS (comma-separated).
bool TestHookSet(const char* name);
// Brings about the fault the environment names, if any: "bad-alloc" throws std::bad_alloc (as
// running out of memory would), "terminate" calls std::terminate, "abort" calls abort,
// "stack-overrun" writes past an array on the stack, over the stack protector's guard.
void RunTestFaultHook();
#else
constexpr bool TestHookSet(const char*) { return false; }
inline void RunTestFaultHook() {}
#endif
