#include "kit/common/Options.h"

#include "kit/windows/Languages.h"

bool ParseVerbOptions(const Args& args, const OptionTable& table, void* values,
                      const char* operandName, std::string& operand, std::string& error) {
    operand.clear();
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
        if (!operand.empty()) {
            error = std::string("one ") + operandName + " only ('" + operand + "', then '" +
                    args[i] + "')";
            return false;
        }
        operand = args[i];
    }
    if (operand.empty() && operandName) {
        error = std::string("which ") + operandName + "?";
        return false;
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
