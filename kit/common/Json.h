// A small JSON value for disckit's machine-readable reports: objects keep the order in which
// their members were added, so reports read in the same order as the human output.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

class Json {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool value) : kind_(Kind::Bool), bool_(value) {}
    Json(int value) : Json(static_cast<std::int64_t>(value)) {}
    Json(unsigned value) : Json(static_cast<std::int64_t>(value)) {}
    Json(std::int64_t value) : kind_(Kind::Number), number_(std::to_string(value)) {}
    Json(std::uint64_t value) : kind_(Kind::Number), number_(std::to_string(value)) {}
    Json(double value);
    // Text must be UTF-8; bytes that are not are written as U+FFFD.
    Json(const char* text) : kind_(Kind::String), string_(text) {}
    Json(std::string text) : kind_(Kind::String), string_(std::move(text)) {}

    // A number already written as JSON writes it ("12.345"), kept as it is: a value read from
    // another JSON document keeps its digits.
    static Json NumberText(std::string text) {
        Json j;
        j.kind_ = Kind::Number;
        j.number_ = std::move(text);
        return j;
    }
    static Json Array() { Json j; j.kind_ = Kind::Array; return j; }
    static Json Object() { Json j; j.kind_ = Kind::Object; return j; }

    // Appends to an array.
    Json& Push(Json value);
    // Adds a member to an object (a second one of the same key is added as well; don't).
    Json& Set(const std::string& key, Json value);

    Kind kind() const { return kind_; }
    // Reading a value back, for the reports drawn from the same value as the JSON (HTML).
    // A string's text, or a number as written; empty for the other kinds.
    const std::string& text() const { return kind_ == Kind::Number ? number_ : string_; }
    bool boolean() const { return kind_ == Kind::Bool && bool_; }
    bool isNull() const { return kind_ == Kind::Null; }
    const std::vector<Json>& items() const { return items_; }
    // An object's member of that key; a null value when there is none.
    const Json& operator[](const std::string& key) const {
        static const Json missing;
        for (const auto& member : members_) {
            if (member.first == key) return member.second;
        }
        return missing;
    }
    // The same, for changing a report in place once it is made: the member (null when there
    // is none) and the elements.
    Json* Find(const std::string& key) {
        for (auto& member : members_) {
            if (member.first == key) return &member.second;
        }
        return nullptr;
    }
    std::vector<Json>& items() { return items_; }
    // Two-space indentation, one member or element per line, a final newline at top level.
    std::string Dump() const;

private:
    void Write(std::string& out, int indent) const;

    Kind kind_ = Kind::Null;
    bool bool_ = false;
    std::string number_;
    std::string string_;
    std::vector<Json> items_;                              // array elements
    std::vector<std::pair<std::string, Json>> members_;    // object members, in order
};

// text quoted and escaped as a JSON string: control characters (IsControlCharacter) as \uXXXX,
// bytes that are not UTF-8 as U+FFFD.
std::string JsonQuote(const std::string& utf8);
