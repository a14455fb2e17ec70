#include "kit/common/Options.h"

#include "kit/windows/Languages.h"

bool ParseVerbOptions(const Args& args, const VerbOptions& options, std::string& operand,
                      std::string& error) {
    operand.clear();
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;  // --name=value
        if (arg.compare(0, 2, "--") == 0 && arg.find('=') != std::string::npos) {
            inlineValue = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
        }
        bool known = false;
        // The value of an option that takes one; false when there is none.
        const auto value = [&](std::string& target) {
            if (!inlineValue && i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            target = inlineValue ? *inlineValue : args[++i];
            return true;
        };
        for (const auto& option : options.valued) {
            if (arg != option.first) continue;
            known = true;
            std::string text;
            if (!value(text)) return false;
            *option.second = text;
        }
        for (const auto& option : options.repeated) {
            if (arg != option.first) continue;
            known = true;
            option.second->emplace_back();
            if (!value(option.second->back())) return false;
        }
        for (const auto& option : options.flags) {
            if (arg != option.first) continue;
            known = true;
            if (inlineValue) {
                error = arg + " takes no value";
                return false;
            }
            *option.second = true;
        }
        if (known) continue;
        if (arg.compare(0, 1, "-") == 0 && arg != "-") {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (!operand.empty()) {
            error = std::string("one ") + options.operandName + " only ('" + operand + "', then '" +
                    args[i] + "')";
            return false;
        }
        operand = args[i];
    }
    if (operand.empty()) {
        error = std::string("which ") + options.operandName + "?";
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
