#include "kit/common/Css.h"

#include "kit/common/Utf8.h"

namespace {

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (c | 0x20) - 'a' + 10;
}

bool IsNewline(char c) { return c == '\n' || c == '\r' || c == '\f'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || IsNewline(c); }

bool IsNameChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || u >= 0x80;
}

class Tokenizer {
public:
    Tokenizer(const std::string& css, int line) : s_(css), line_(line) {}

    bool Run(std::size_t max, std::vector<CssReference>& out) {
        bool afterImport = false;
        std::size_t added = 0;
        const auto add = [&](std::string target, int line) {
            if (added == max) return false;
            ++added;
            out.push_back({std::move(target), line});
            return true;
        };
        while (at_ < s_.size()) {
            const char c = s_[at_];
            if (IsBlank(c)) {
                Advance();
            } else if (c == '/' && Peek(1) == '*') {
                SkipComment();
            } else if (c == '"' || c == '\'') {
                const int line = line_;
                std::string text;
                const bool whole = ReadString(text);
                if (afterImport && whole && !add(text, line)) return false;
                afterImport = false;
            } else if (c == '@') {
                Advance();
                afterImport = Lower(ReadName()) == "import";
            } else if (IsNameChar(c) || StartsEscape()) {
                const int line = line_;
                const std::string name = ReadName();
                afterImport = false;
                if (at_ < s_.size() && s_[at_] == '(' && Lower(name) == "url") {
                    Advance();
                    std::string target;
                    if (ReadUrl(target) && !add(target, line)) return false;
                }
            } else {
                afterImport = false;
                Advance();
            }
        }
        return true;
    }

private:
    char Peek(std::size_t ahead) const {
        return at_ + ahead < s_.size() ? s_[at_ + ahead] : '\0';
    }

    // One character on, counting lines ("\r\n" is one line end).
    void Advance() {
        const char c = s_[at_++];
        if (c == '\n' || c == '\f' || (c == '\r' && (at_ >= s_.size() || s_[at_] != '\n'))) {
            ++line_;
        }
    }

    bool StartsEscape() const {
        return at_ + 1 < s_.size() && s_[at_] == '\\' && !IsNewline(s_[at_ + 1]);
    }

    static std::string Lower(std::string text) {
        for (char& c : text) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return text;
    }

    void SkipComment() {
        Advance();
        Advance();
        while (at_ < s_.size()) {
            if (s_[at_] == '*' && Peek(1) == '/') {
                Advance();
                Advance();
                return;
            }
            Advance();
        }
    }

    // After a backslash that starts an escape: the character it stands for.
    void ReadEscape(std::string& out) {
        if (at_ >= s_.size()) {
            AppendUtf8(0xFFFD, out);
            return;
        }
        if (!IsHex(s_[at_])) {
            const std::size_t start = at_;
            Advance();
            out.append(s_, start, at_ - start);
            return;
        }
        char32_t value = 0;
        for (int digits = 0; digits < 6 && at_ < s_.size() && IsHex(s_[at_]); ++digits) {
            value = value * 16 + static_cast<char32_t>(HexValue(s_[at_]));
            Advance();
        }
        if (at_ < s_.size() && IsBlank(s_[at_])) {
            if (s_[at_] == '\r' && Peek(1) == '\n') Advance();
            Advance();
        }
        if (value == 0 || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) value = 0xFFFD;
        AppendUtf8(value, out);
    }

    std::string ReadName() {
        std::string name;
        while (at_ < s_.size()) {
            if (IsNameChar(s_[at_])) {
                name += s_[at_];
                Advance();
            } else if (StartsEscape()) {
                Advance();
                ReadEscape(name);
            } else {
                break;
            }
        }
        return name;
    }

    // At an opening quote: the string up to its closing one. False when a line end cuts it short
    // (a bad string, which is no value).
    bool ReadString(std::string& text) {
        const char quote = s_[at_];
        Advance();
        while (at_ < s_.size()) {
            const char c = s_[at_];
            if (c == quote) {
                Advance();
                return true;
            }
            if (IsNewline(c)) return false;
            Advance();
            if (c != '\\') {
                text += c;
            } else if (at_ < s_.size() && IsNewline(s_[at_])) {
                if (s_[at_] == '\r' && Peek(1) == '\n') Advance();
                Advance();  // a line continued
            } else {
                ReadEscape(text);
            }
        }
        return true;  // the end of the text closes it
    }

    void SkipBlanks() {
        while (at_ < s_.size() && IsBlank(s_[at_])) Advance();
    }

    // What is left of a bad url( up to its closing parenthesis.
    void SkipBadUrl() {
        while (at_ < s_.size() && s_[at_] != ')') {
            if (StartsEscape()) Advance();
            Advance();
        }
        if (at_ < s_.size()) Advance();
    }

    // After "url(": its target, quoted or not. False for a bad one, which loads nothing.
    bool ReadUrl(std::string& target) {
        SkipBlanks();
        if (at_ < s_.size() && (s_[at_] == '"' || s_[at_] == '\'')) {
            const bool whole = ReadString(target);
            SkipBlanks();
            if (whole && at_ < s_.size() && s_[at_] == ')') {
                Advance();
                return true;
            }
            SkipBadUrl();
            return false;
        }
        while (at_ < s_.size()) {
            const char c = s_[at_];
            const auto u = static_cast<unsigned char>(c);
            if (c == ')') {
                Advance();
                return true;
            }
            if (IsBlank(c)) {
                SkipBlanks();
                if (at_ < s_.size() && s_[at_] == ')') {
                    Advance();
                    return true;
                }
                SkipBadUrl();
                return false;
            }
            if (c == '"' || c == '\'' || c == '(' || u < 0x20 || u == 0x7F) {
                SkipBadUrl();
                return false;
            }
            if (c == '\\') {
                if (!StartsEscape()) {
                    SkipBadUrl();
                    return false;
                }
                Advance();
                ReadEscape(target);
                continue;
            }
            target += c;
            Advance();
        }
        return true;  // the end of the text closes it
    }

    const std::string& s_;
    std::size_t at_ = 0;
    int line_;
};

}  // namespace

bool CssReferences(const std::string& css, int firstLine, std::size_t maxReferences,
                   std::vector<CssReference>& out) {
    return Tokenizer(css, firstLine).Run(maxReferences, out);
}
