// Ending processes by executable name.
#pragma once

#include <string>

class Platform;

// 1 when a and b are equal once the bytes 'A' to 'Z' of both are lowered; every other byte,
// including every byte from 0x80 up, must match exactly whatever the code page. Whole names only.
int NamesEqualNoCase(const std::string& a, const std::string& b);

// Ends every running process whose executable name equals name (see NamesEqualNoCase), not just
// the first. Uses the snapshot source where the system has one, else the module source, else does
// nothing. Returns 1 when the snapshot walk ran to its end, 0 otherwise (the module-source walk
// reports 0 whatever it ended). Processes that cannot be opened or ended are passed over, and so
// is every process whose name, read again through the opened handle (one way, else the other),
// is not (or no longer) name, or cannot be read either way.
int TerminateProcessesByName(Platform& platform, const std::string& name);
