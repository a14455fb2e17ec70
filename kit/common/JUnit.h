// Test results in the JUnit XML form that CI systems read: suites of test cases, each passed or
// failed with a message. Every text may come from a disc, so every text is made fit for XML 1.0
// here (see XmlText).
#pragma once

#include <string>
#include <vector>

struct JUnitCase {
    std::string name;
    std::string className;       // the group it is listed under ("disckit.check")
    bool failed = false;
    std::string failureMessage;  // one line
    std::string failureType;     // a code ("browser-missing", "loops-forever")
    std::string details;         // the failure's text, several lines allowed
    std::string output;          // what the case says when it passes or fails (system-out)
};

struct JUnitSuite {
    std::string name;
    std::vector<JUnitCase> cases;
};

// The document: <testsuites> holding each suite with its counts.
std::string JUnitXml(const std::string& name, const std::vector<JUnitSuite>& suites);

// UTF-8 text as XML 1.0 character data or a quoted attribute value: markup characters as
// references, control characters (those XML cannot carry, C1 and the bidirectional ones), the
// noncharacters U+FFFE and U+FFFF and bytes that are not UTF-8 as \xNN, byte by byte. In element
// text, line ends stay (keepLines).
std::string XmlText(const std::string& utf8, bool keepLines = false);
