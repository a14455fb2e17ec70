// What a simulation says: a run and the matrix of runs for people, and as JSON (which the HTML
// reports are drawn from).
#pragma once

#include <iosfwd>
#include <string>

#include "kit/common/Json.h"
#include "kit/simulate/Simulation.h"

void PrintRun(const SimRun& run, const std::string& discLabel, std::ostream& out);
Json RunToJson(const SimRun& run, const std::string& discLabel);
Json SystemToJson(const SimConfig& config);

void PrintMatrix(const Matrix& matrix, std::ostream& out);
Json MatrixToJson(const Matrix& matrix, const SimConfig& base, bool fixedCodePage);

// The matrix as JUnit XML: a suite per system, a test case per language, failing where the cell
// is not as expected.
std::string MatrixJUnit(const Matrix& matrix, const std::string& discLabel);
