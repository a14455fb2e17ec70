// The command-line shape every verb of disckit shares: options "--name VALUE" (or
// "--name=VALUE"), flags "--name", and one operand (the disc) anywhere among them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kit/Verbs.h"
#include "kit/windows/Profiles.h"

struct VerbOptions {
    std::vector<std::pair<const char*, std::optional<std::string>*>> valued;
    std::vector<std::pair<const char*, bool*>> flags;
    const char* operandName;  // "disc folder": for the messages
    // Options that may come more than once: each value is added, in the order given.
    std::vector<std::pair<const char*, std::vector<std::string>*>> repeated = {};
};

// Fills the options' targets and operand from args. False, with a one-line reason in error, on
// an unknown option, a missing or unwanted value, or no operand or more than one; the targets
// are then unspecified. A later value of the same option replaces an earlier one, except for the
// repeated ones.
bool ParseVerbOptions(const Args& args, const VerbOptions& options, std::string& operand,
                      std::string& error);

// The file or folder that an option names (--html FILE, --out DIR) into path, left alone
// without the option. False, with "OPTION needs a WHAT" in error, for an empty value.
bool PathOption(const std::optional<std::string>& value, const char* option, const char* what,
                std::string& path, std::string& error);

// The profile that --system names, the default one without it. Null, with the reason in error,
// for a name the profile table does not have.
const SystemProfile* SystemOption(const std::optional<std::string>& name, std::string& error);

// The LANGID that --lang gives (0x0407, 1031 or de-DE) into langId, left alone without it. False,
// with the reason in error, for a value that names no language.
bool LanguageOption(const std::optional<std::string>& text, std::uint16_t& langId,
                    std::string& error);
