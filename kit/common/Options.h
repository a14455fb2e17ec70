// The command-line shape every verb of disckit shares: options "--name VALUE" (or
// "--name=VALUE"), flags "--name", and one operand (the disc) anywhere among them.
//
// Each verb declares its options once, as one table of rows: the name, the argument, the help,
// what the shell may offer, the default and where the value goes. The same rows parse the
// command line, write `--help`, the manual page and the bash completion, and (for the trial)
// the request handed to the driver. A new option is a new row, and the code that uses its value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kit/Verbs.h"
#include "kit/common/Json.h"
#include "kit/windows/Profiles.h"

// What the shell may offer as the value of an option.
enum class ValueKind {
    Free,     // a number or text: nothing to offer
    Choices,  // the blank-separated words in OptionRow::choices
    System,   // a name of the profile table
    Language, // a locale name of the language table
    Folder,
    File,
};

// How an option is written: a flag alone, or with a value (once: a later one replaces an
// earlier one; or repeated: each is kept, in the order given).
enum class Arity { Flag, Value, Repeated };

// Where a row's value goes: a member of the verb's values struct, whose type gives the arity
// (bool: a flag; std::optional<std::string>: a value; std::vector<std::string>: repeated).
struct OptionTarget {
    void (*store)(void* values, const std::string& value);
    Arity arity;
    // The value back, as JSON: a flag true or false, a value its text or null without it, a
    // repeated option an array of its texts.
    Json (*load)(const void* values);
};

namespace options_detail {
template <class Pointer> struct MemberOf;
template <class Class, class Member> struct MemberOf<Member Class::*> {
    using Owner = Class;
    using Type = Member;
};
inline void Assign(bool& target, const std::string&) { target = true; }
inline void Assign(std::optional<std::string>& target, const std::string& value) { target = value; }
inline void Assign(std::vector<std::string>& target, const std::string& value) {
    target.push_back(value);
}
template <class T> constexpr Arity ArityOf();
template <> constexpr Arity ArityOf<bool>() { return Arity::Flag; }
template <> constexpr Arity ArityOf<std::optional<std::string>>() { return Arity::Value; }
template <> constexpr Arity ArityOf<std::vector<std::string>>() { return Arity::Repeated; }
template <auto Member> void Store(void* values, const std::string& value) {
    using M = MemberOf<decltype(Member)>;
    Assign(static_cast<typename M::Owner*>(values)->*Member, value);
}
inline Json AsJson(bool value) { return Json(value); }
inline Json AsJson(const std::optional<std::string>& value) { return value ? Json(*value) : Json(); }
inline Json AsJson(const std::vector<std::string>& values) {
    Json array = Json::Array();
    for (const std::string& value : values) array.Push(value);
    return array;
}
template <auto Member> Json Load(const void* values) {
    using M = MemberOf<decltype(Member)>;
    return AsJson(static_cast<const typename M::Owner*>(values)->*Member);
}
}  // namespace options_detail

// The target of a row: Into<&TrialValues::lang>.
template <auto Member>
constexpr OptionTarget Into = {
    options_detail::Store<Member>,
    options_detail::ArityOf<typename options_detail::MemberOf<decltype(Member)>::Type>(),
    options_detail::Load<Member>};

// Where a row's value goes in the request a verb hands to another program (the trial's driver):
// the member's key, and whether the value is a number. Written by RequestMembers.
struct OptionRequest {
    const char* key = nullptr;  // null: the row's value is not in the request
    bool number = false;
};
constexpr OptionRequest ToRequest(const char* key) { return {key, false}; }
constexpr OptionRequest ToRequestAsNumber(const char* key) { return {key, true}; }

struct OptionRow {
    const char* name;          // "--system"
    const char* argument;      // "NAME"; null for a flag
    const char* help;          // one sentence or a few, for people
    ValueKind kind;
    const char* choices;       // for ValueKind::Choices
    const char* defaultValue;  // what holds without the option; the help says "Default: X."
    OptionTarget target;
    OptionRequest request = {};  // the trial's rows: the request member the value goes to
};

// A verb's rows.
struct OptionTable {
    const OptionRow* rows;
    std::size_t count;
    const OptionRow* begin() const { return rows; }
    const OptionRow* end() const { return rows + count; }
};

#define DISCKIT_OPTION_TABLE(rows) OptionTable{rows, sizeof rows / sizeof rows[0]}

// Fills the rows' targets in values (the verb's values struct, which the rows' targets point
// into) and operand from args. False, with a one-line reason in error, on an unknown option, a
// missing or unwanted value, or no operand or more than one (operandName, such as "disc
// folder", names it in the reason); values are then unspecified. given, when there, gets the
// name of every option the command line holds. A verb that takes no operand passes a null
// operandName, and any operand is then refused.
bool ParseVerbOptions(const Args& args, const OptionTable& table, void* values,
                      const char* operandName, std::string& operand, std::string& error,
                      std::set<std::string>* given = nullptr);
// The same for a verb that takes one operand or more (merge's reports), in the order given.
bool ParseVerbOperands(const Args& args, const OptionTable& table, void* values,
                       const char* operandName, std::vector<std::string>& operands,
                       std::string& error, std::set<std::string>* given = nullptr);

// The members of a request (key and value, in the rows' order) that the rows naming one
// (OptionRow::request) give, from values as ParseVerbOptions filled them: a flag true or false;
// a value its text, or without the option null; a number its value, or without the option its
// row's default; a repeated option an array. False, with "OPTION needs a number" in error, for a
// number row whose value is not a whole number.
bool RequestMembers(const OptionTable& table, const void* values,
                    std::vector<std::pair<std::string, Json>>& members, std::string& error);

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
