// check's findings in the forms CI systems read: SARIF 2.1.0 for code-scanning results (a rule per
// finding code, a result per finding with its place on the disc) and JUnit XML for test results
// (a test case per finding, failing where the check fails: at error level).
#pragma once

#include <string>
#include <vector>

#include "kit/check/CheckFindings.h"

// A path on the disc (backslashes, below its root, UTF-8) as a relative URI reference: slashes
// between the folders, each byte but the unreserved ones percent-encoded.
std::string DiscPathUri(const std::string& path);

// A local absolute path (a folder) as a file URI ending with '/': "file:///home/a/my%20disc/".
std::string FolderUri(const std::string& absolutePath);

// The SARIF log. discRootUri: the disc's root as an absolute URI ending with '/', such as
// "file:///home/a/disc/", when it has one (a folder); empty for an image.
std::string CheckSarif(const std::vector<Finding>& findings, const std::string& discRootUri);

// The JUnit document: one suite named after the disc, a case per finding.
std::string CheckJUnit(const std::string& disc, const std::vector<Finding>& findings);
