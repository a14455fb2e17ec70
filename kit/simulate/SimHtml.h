// The HTML reports of disckit simulate, drawn from the very JSON values that --json writes, so
// that the two cannot say different things.
#pragma once

#include <string>
#include <vector>

#include "kit/common/Json.h"

// simulate, one run: the outcome first, the system, a timeline on the simulated clock, every
// effect, what still runs and the files written.
std::string RunHtml(const Json& run);

// simulate --matrix: the grid, coloured by result, each cell linking to its run's effects on one
// line. runs[row][column] are the runs' JSON values, in the grid's order.
std::string MatrixHtml(const Json& matrix, const std::vector<std::vector<Json>>& runs,
                       const std::string& discLabel);
