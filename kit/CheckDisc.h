// The check of a disc folder against the launcher's own names, table and rules.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "kit/CheckFindings.h"

// Checks the disc whose root is folder. False, with error set, when it could not be checked at
// all (no such folder, or one that cannot be read); findings then holds what was found so far. A
// folder below the root that cannot be read is a finding, and the check goes on.
// Findings come in the order they were found; the report groups them by severity.
bool CheckDisc(const std::filesystem::path& folder, std::vector<Finding>& findings,
               std::string& error);
