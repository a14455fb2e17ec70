#include "kit/common/Options.h"

#include "kit/windows/Languages.h"
#include "kit/windows/WindowsText.h"

bool ParseVerbOperands(const Args& args, const OptionTable& table, void* values,
                       const char* operandName, std::vector<std::string>& operands,
                       std::string& error, std::set<std::string>* given) {
    operands.clear();
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;  // --name=value
        if (arg.compare(0, 2, "--") == 0 && arg.find('=') != std::string::npos) {
            inlineValue = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
        }
        const OptionRow* row = nullptr;
        for (const OptionRow& candidate : table) {
            if (arg == candidate.name) row = &candidate;
        }
        if (row && given) given->insert(row->name);
        if (row && row->target.arity == Arity::Flag) {
            if (inlineValue) {
                error = arg + " takes no value";
                return false;
            }
            row->target.store(values, std::string());
            continue;
        }
        if (row) {
            if (!inlineValue && i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            row->target.store(values, inlineValue ? *inlineValue : args[++i]);
            continue;
        }
        if (arg.compare(0, 1, "-") == 0 && arg != "-") {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (!operandName) {
            error = "no operand is taken ('" + args[i] + "')";
            return false;
        }
        operands.push_back(args[i]);
    }
    if (operands.empty() && operandName) {
        error = std::string("which ") + operandName + "?";
        return false;
    }
    return true;
}

bool ParseVerbOptions(const Args& args, const OptionTable& table, void* values,
                      const char* operandName, std::string& operand, std::string& error,
                      std::set<std::string>* given) {
    operand.clear();
    std::vector<std::string> operands;
    if (!ParseVerbOperands(args, table, values, operandName, operands, error, given)) return false;
    if (operands.size() > 1) {
        error = std::string("one ") + operandName + " only ('" + operands[0] + "', then '" +
                operands[1] + "')";
        return false;
    }
    operand = operands.empty() ? std::string() : operands[0];
    return true;
}

bool RequestMembers(const OptionTable& table, const void* values,
                    std::vector<std::pair<std::string, Json>>& members, std::string& error) {
    members.clear();
    for (const OptionRow& row : table) {
        if (!row.request.key) continue;
        Json value = row.target.load(values);
        if (row.request.number) {
            const std::string text =
                value.isNull() ? std::string(row.defaultValue ? row.defaultValue : "")
                               : value.text();
            std::uint64_t n = 0;
            if (!ParseUnsigned(text, n)) {
                error = std::string(row.name) + " needs a whole number, not '" + text + "'";
                return false;
            }
            value = Json(n);
        }
        members.emplace_back(row.request.key, std::move(value));
    }
    return true;
}

bool PathOption(const std::optional<std::string>& value, const char* option, const char* what,
                std::string& path, std::string& error) {
    if (!value) return true;
    if (value->empty()) {
        error = std::string(option) + " needs a " + what;
        return false;
    }
    path = *value;
    return true;
}

const SystemProfile* SystemOption(const std::optional<std::string>& name, std::string& error) {
    const std::string wanted = name ? *name : kDefaultProfile;
    const SystemProfile* profile = FindSystemProfile(wanted);
    if (!profile) error = "no system '" + wanted + "'; the systems are: " + SystemProfileNames();
    return profile;
}

bool LanguageOption(const std::optional<std::string>& text, std::uint16_t& langId,
                    std::string& error) {
    if (text && !ParseLanguage(*text, langId)) {
        error = "--lang needs a LANGID (0x0407 or 1031) or a locale name (de-DE), not '" + *text +
                "'";
        return false;
    }
    return true;
}
