// What makes a report evidence: which disckit made it, when, and of which disc (the image's
// SHA-256 and volume label, the launcher's version). Every verb's JSON and HTML report carries
// it, as the member "identity".
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "kit/common/Json.h"

class DiscReader;

// The time a report is dated: DISCKIT_REPORT_TIME or SOURCE_DATE_EPOCH (seconds since 1970, so
// that reports of identical runs compare equal), else now.
std::time_t ReportTime();

// A time as UTC, ISO 8601: "2026-12-09T07:12:00Z".
std::string IsoUtc(std::time_t t);

// An image's SHA-256 (lowercase hex) and volume label (the primary volume descriptor's, blanks
// at the end dropped; empty when it has none), read from the file at path without following a
// link. False, with why, when it cannot be read.
bool ImageDigestAndLabel(const std::string& path, std::string& sha256, std::string& label, std::string& why);

// The launcher's file and product version from its version resource ("1.2.0.0"; the product
// version's text as the resource gives it, else its numbers), from the disc's root; empty when
// the disc has no launcher or it has no readable version resource.
void LauncherVersions(const DiscReader& disc, std::string& fileVersion, std::string& productVersion);

// The "identity" member: {"disckit", "date", "disc": {"path", "kind", "sha256", "label",
// "launcherFileVersion", "launcherProductVersion"}}. A folder has no digest and no label
// (null); an image's that cannot be read are null too.
Json ReportIdentity(const std::string& discPath, const DiscReader& disc, bool image);

// The identity as a paragraph of an HTML report (nothing when the report has none).
std::string IdentityHtml(const Json& identity);

// The identity in a line for people: "disckit 1.0.0, 2026-12-09T07:12:00Z; image SHA-256 ...".
std::string IdentityWords(const Json& identity);
