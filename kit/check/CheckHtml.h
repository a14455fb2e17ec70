// The HTML report of disckit check, drawn from the very JSON value that --json writes, so that
// the two cannot say different things.
#pragma once

#include <string>

#include "kit/common/Json.h"

// The findings grouped by severity, each with its code, path and sentence.
std::string CheckHtml(const Json& report);
