// The launcher's picture of the running processes, rebuilt for every running check.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

// One process as a fill saw it.
struct ProcessEntry {
    std::string name;  // executable name as read; the running check upper-cases it in place
    std::uint32_t id = 0;
    // The handle the fill read this process through. The fill has closed it by the time it
    // returns; it is kept for the record only and must never be used.
    ProcessHandle handle = 0;
};

// Ordered, owning list of entries. Clearing keeps the storage for the next fill.
using ProcessList = std::vector<std::unique_ptr<ProcessEntry>>;
