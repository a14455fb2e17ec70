#include "kit/common/Json.h"

#include <cmath>
#include <cstdio>

#include "kit/common/Utf8.h"

Json::Json(double value) : kind_(Kind::Number) {
    if (!std::isfinite(value)) {
        kind_ = Kind::Null;
        return;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6g", value);
    number_ = buffer;
}

Json& Json::Push(Json value) {
    items_.push_back(std::move(value));
    return items_.back();
}

Json& Json::Set(const std::string& key, Json value) {
    members_.emplace_back(key, std::move(value));
    return members_.back().second;
}

std::string JsonQuote(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            char esc[8];
            switch (c) {
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
            }
            ++i;
        } else if (char32_t ch = 0; const std::size_t n = DecodeUtf8At(s, i, ch)) {
            // DEL, C1 and the bidirectional controls are valid in JSON, but a report shown in a
            // terminal or a page would act on them.
            if (IsControlCharacter(ch)) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(ch));
                out += esc;
            } else {
                out.append(s, i, n);
            }
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
    return out;
}

void Json::Write(std::string& out, int indent) const {
    const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
    switch (kind_) {
        case Kind::Null: out += "null"; break;
        case Kind::Bool: out += bool_ ? "true" : "false"; break;
        case Kind::Number: out += number_; break;
        case Kind::String: out += JsonQuote(string_); break;
        case Kind::Array:
            if (items_.empty()) {
                out += "[]";
                break;
            }
            out += "[\n";
            for (std::size_t i = 0; i < items_.size(); ++i) {
                out += pad;
                items_[i].Write(out, indent + 2);
                out += i + 1 < items_.size() ? ",\n" : "\n";
            }
            out.append(static_cast<std::size_t>(indent), ' ');
            out += ']';
            break;
        case Kind::Object:
            if (members_.empty()) {
                out += "{}";
                break;
            }
            out += "{\n";
            for (std::size_t i = 0; i < members_.size(); ++i) {
                out += pad + JsonQuote(members_[i].first) + ": ";
                members_[i].second.Write(out, indent + 2);
                out += i + 1 < members_.size() ? ",\n" : "\n";
            }
            out.append(static_cast<std::size_t>(indent), ' ');
            out += '}';
            break;
    }
}

std::string Json::Dump() const {
    std::string out;
    Write(out, 0);
    out += '\n';
    return out;
}
