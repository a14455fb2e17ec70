#include "kit/check/CheckFormats.h"

#include <cstring>

#include "kit/Help.h"
#include "kit/common/JUnit.h"
#include "kit/common/Json.h"

namespace {

// SARIF's levels are check's severities by other names.
const char* SarifLevel(Severity severity) {
    switch (severity) {
        case Severity::Error: return "error";
        case Severity::Warning: return "warning";
        case Severity::Note: return "note";
    }
    return "none";
}

constexpr const char* kDiscRoot = "DISCROOT";

Json Text(const std::string& text) {
    Json j = Json::Object();
    j.Set("text", text);
    return j;
}

// Percent-encodes every byte of text but the unreserved ones and those in keep.
std::string PercentEncoded(const std::string& text, const char* keep) {
    static const char* hex = "0123456789ABCDEF";
    std::string uri;
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b != 0 && std::strchr(keep, c) != nullptr) {
            uri += c;
        } else if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                   c == '-' || c == '.' || c == '_' || c == '~') {
            uri += c;
        } else {
            uri += '%';
            uri += hex[b >> 4];
            uri += hex[b & 0xF];
        }
    }
    return uri;
}

}  // namespace

std::string DiscPathUri(const std::string& path) {
    // A '/' inside a name of the disc cannot be a separator: a backslash is the only one.
    std::string uri;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '\\') {
            if (start != 0) uri += '/';
            uri += PercentEncoded(path.substr(start, at - start), "");
            start = at + 1;
        }
    }
    return uri;
}

std::string FolderUri(const std::string& absolutePath) {
    std::string path = absolutePath;
#ifdef _WIN32
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    if (path.size() >= 2 && path[1] == ':') path = "/" + path;
#endif
    std::string uri = "file://" + PercentEncoded(path, "/:");
    if (uri.back() != '/') uri += '/';
    return uri;
}

std::string CheckSarif(const std::vector<Finding>& findings, const std::string& discRootUri) {
    Json log = Json::Object();
    log.Set("$schema", "https://json.schemastore.org/sarif-2.1.0.json");
    log.Set("version", "2.1.0");
    Json run = Json::Object();
    Json& driver = run.Set("tool", Json::Object()).Set("driver", Json::Object());
    driver.Set("name", "disckit");
    driver.Set("version", DisckitVersion());
    driver.Set("semanticVersion", DisckitVersion());
    Json& rules = driver.Set("rules", Json::Array());
    const std::vector<FindingKind>& kinds = FindingKinds();
    for (const FindingKind& kind : kinds) {
        Json rule = Json::Object();
        rule.Set("id", kind.code);
        rule.Set("name", kind.code);
        rule.Set("shortDescription", Text(kind.code));
        rule.Set("fullDescription", Text(kind.message));
        rule.Set("help", Text(kind.message));
        Json& configuration = rule.Set("defaultConfiguration", Json::Object());
        configuration.Set("level", SarifLevel(kind.severity));
        rules.Push(std::move(rule));
    }
    Json& base = run.Set("originalUriBaseIds", Json::Object()).Set(kDiscRoot, Json::Object());
    if (!discRootUri.empty()) base.Set("uri", discRootUri);
    base.Set("description", Text("The root of the disc that was checked (D:\\ to the launcher)."));
    Json& results = run.Set("results", Json::Array());
    for (const Finding& finding : findings) {
        Json result = Json::Object();
        result.Set("ruleId", finding.kind->code);
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            if (kinds[i].code == finding.kind->code) result.Set("ruleIndex", static_cast<std::uint64_t>(i));
        }
        result.Set("level", SarifLevel(finding.kind->severity));
        result.Set("message", Text(finding.Message()));
        Json& locations = result.Set("locations", Json::Array());
        Json location = Json::Object();
        Json& physical = location.Set("physicalLocation", Json::Object());
        Json& artifact = physical.Set("artifactLocation", Json::Object());
        // The disc's root itself is the empty relative reference.
        artifact.Set("uri", DiscPathUri(finding.path));
        artifact.Set("uriBaseId", kDiscRoot);
        if (finding.line != 0) {
            physical.Set("region", Json::Object()).Set("startLine", static_cast<std::uint64_t>(finding.line));
        }
        locations.Push(std::move(location));
        results.Push(std::move(result));
    }
    log.Set("runs", Json::Array()).Push(std::move(run));
    return log.Dump();
}

std::string CheckJUnit(const std::string& disc, const std::vector<Finding>& findings) {
    JUnitSuite suite;
    suite.name = "disckit check " + disc;
    for (const Finding& finding : findings) {
        JUnitCase c;
        c.className = std::string("disckit.check.") + SeverityName(finding.kind->severity);
        c.name = finding.kind->code + (finding.path.empty() ? "" : " " + finding.path);
        // check's exit code fails at error level; warnings and notes pass, saying what they are.
        c.failed = finding.kind->severity == Severity::Error;
        if (c.failed) {
            c.failureType = finding.kind->code;
            c.failureMessage = finding.kind->code + " " + finding.path;
            c.details = finding.Message();
        } else {
            c.output = std::string(SeverityName(finding.kind->severity)) + ": " + finding.Message();
        }
        suite.cases.push_back(std::move(c));
    }
    return JUnitXml("disckit check", {suite});
}
