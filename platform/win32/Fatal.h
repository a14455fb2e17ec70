// How the launcher ends when it cannot go on.
#pragma once

// Ends the process at once with exit code 0, showing nothing and running nothing more.
[[noreturn]] void EndProcessAtOnce();

// Routes the abort signal to EndProcessAtOnce; std::terminate and abort go there already.
void PrepareFatalEnds();

// Gives the stack protector's guard a value of this run. Called first thing in WinMain, which is
// not protected itself: a protected function that is running while the guard changes would take
// the change for an overwritten stack when it returns.
void SeedStackGuard();
