#include "kit/common/JUnit.h"

#include "kit/common/Utf8.h"

namespace {

void AppendHexBytes(const std::string& bytes, std::string& out) {
    static const char* hex = "0123456789ABCDEF";
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += "\\x";
        out += hex[b >> 4];
        out += hex[b & 0xF];
    }
}

std::string Attribute(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + XmlText(value) + "\"";
}

}  // namespace

std::string XmlText(const std::string& utf8, bool keepLines) {
    std::string out;
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8At(utf8, at, c);
        if (length == 0) {
            AppendHexBytes(utf8.substr(at, 1), out);
            ++at;
            continue;
        }
        const std::string bytes = utf8.substr(at, length);
        at += length;
        if (keepLines && c == '\n') {
            out += '\n';
        } else if (IsControlCharacter(c) || c == 0xFFFE || c == 0xFFFF) {
            AppendHexBytes(bytes, out);
        } else if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '"') {
            out += "&quot;";
        } else if (c == '\'') {
            out += "&apos;";
        } else {
            out += bytes;
        }
    }
    return out;
}

std::string JUnitXml(const std::string& name, const std::vector<JUnitSuite>& suites) {
    std::size_t tests = 0, failures = 0;
    std::string body;
    for (const JUnitSuite& suite : suites) {
        std::size_t failed = 0;
        for (const JUnitCase& c : suite.cases) failed += c.failed;
        tests += suite.cases.size();
        failures += failed;
        body += "  <testsuite" + Attribute("name", suite.name) +
                Attribute("tests", std::to_string(suite.cases.size())) +
                Attribute("failures", std::to_string(failed)) + Attribute("errors", "0") +
                Attribute("skipped", "0") + ">\n";
        for (const JUnitCase& c : suite.cases) {
            body += "    <testcase" + Attribute("name", c.name) +
                    Attribute("classname", c.className) + Attribute("time", "0");
            if (!c.failed && c.output.empty()) {
                body += "/>\n";
                continue;
            }
            body += ">\n";
            if (c.failed) {
                body += "      <failure" + Attribute("message", c.failureMessage) +
                        Attribute("type", c.failureType) + ">" + XmlText(c.details, true) +
                        "</failure>\n";
            }
            if (!c.output.empty()) {
                body += "      <system-out>" + XmlText(c.output, true) + "</system-out>\n";
            }
            body += "    </testcase>\n";
        }
        body += "  </testsuite>\n";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + Attribute("name", name) +
           Attribute("tests", std::to_string(tests)) +
           Attribute("failures", std::to_string(failures)) + Attribute("errors", "0") + ">\n" +
           body + "</testsuites>\n";
}
