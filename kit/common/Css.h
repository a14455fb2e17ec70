// What a style sheet asks the browser to load: the targets of its url() values and @import rules,
// read by a tokenizer that knows strings, escapes and comments, so that a url( inside a comment or
// a string is no link and an escaped character is the one it stands for.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct CssReference {
    std::string target;  // as written, escapes decoded (UTF-8)
    int line = 0;        // the line it starts on
};

// The references of a style sheet, a <style> element's text or a style attribute, in order;
// firstLine is the line the text starts on. Appends at most maxReferences and returns false when
// the text holds more.
bool CssReferences(const std::string& css, int firstLine, std::size_t maxReferences,
                   std::vector<CssReference>& out);
