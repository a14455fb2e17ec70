// How the launcher ends when it cannot go on.
#pragma once

// Ends the process at once with exit code 0, showing nothing and running nothing more.
[[noreturn]] void EndProcessAtOnce();

// Routes the abort signal to EndProcessAtOnce; std::terminate and abort go there already.
void PrepareFatalEnds();
