#include "kit/windows/Autorun.h"

#include "app/LauncherApp.h"
#include "kit/windows/WindowsText.h"

std::string LauncherAutorun(const std::string& label) {
    const std::string launcher = names::kLauncher;
    return "[autorun]\r\nopen=" + launcher + "\r\nicon=" + launcher + ",0\r\n" +
           (label.empty() ? std::string() : "label=" + label + "\r\n");
}

std::string AutorunText(const std::string& raw) {
    std::string text;
    if (raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE') {
        for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
            const unsigned unit =
                static_cast<unsigned char>(raw[i]) |
                (static_cast<unsigned>(static_cast<unsigned char>(raw[i + 1])) << 8);
            text += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        return text;
    }
    if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
    return raw;
}

std::string FromDiscRoot(std::string path) {
    if (path.rfind(".\\", 0) == 0) path.erase(0, 2);
    if (path.rfind('\\', 0) == 0) path.erase(0, 1);
    return path;
}

std::string AutorunEntry(const std::string& text, const std::string& wanted, std::size_t* line) {
    const auto trim = [](std::string& s) {
        const char* blanks = " \t\r";
        const std::size_t first = s.find_first_not_of(blanks);
        s.erase(0, first == std::string::npos ? s.size() : first);
        s.erase(s.find_last_not_of(blanks) + 1);
    };
    std::string section;
    std::size_t start = 0, number = 0;
    if (line) *line = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string content = text.substr(start, end - start);
        start = end + 1;
        ++number;
        trim(content);
        if (content.empty() || content[0] == ';') continue;
        if (content[0] == '[') {
            section = UpperUtf8(content.substr(1, content.find(']') - 1));
            trim(section);
            continue;
        }
        const std::size_t equals = content.find('=');
        if (section != "AUTORUN" || equals == std::string::npos) continue;
        std::string key = UpperUtf8(content.substr(0, equals)), value = content.substr(equals + 1);
        trim(key);
        trim(value);
        if (key == wanted && !value.empty()) {
            if (line) *line = number;
            return value;
        }
    }
    return {};
}

std::string AutorunOpens(const std::string& text, std::size_t* line) {
    const std::string open = AutorunEntry(text, "OPEN", line);
    const std::string command = open.empty() ? AutorunEntry(text, "SHELLEXECUTE", line) : open;
    std::string program;
    if (!command.empty() && command[0] == '"') {
        program = command.substr(1, command.find('"', 1) - 1);
    } else {
        program = command.substr(0, command.find_first_of(" \t"));
    }
    program = FromDiscRoot(program);
    return program;
}
