// Building blocks for the repr of every vorlane object.
//
// The quoted form of a text is a double-quoted, single-line rendering in which
// every character that would be invisible, ambiguous or would combine with its
// neighbour is spelled out, so two texts that differ always print differently:
//   NUL -> \0, tab -> \t, CR -> \r, LF -> \n, '\' -> \\, '"' -> \"
//   code points in src/unicode_escape_table.inc (control, format, surrogate,
//   private-use, unassigned, line/paragraph/space separators other than
//   U+0020, and Grapheme_Extend) -> \u{hex}, lowercase, no leading zeros
//   anything else -> unchanged
// The output is valid UTF-8 whenever the input is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::repr {

// Appends the quoted form of `utf8`. The input is expected to be valid UTF-8
// (as produced by PyUnicode_AsUTF8AndSize); a byte that does not start a
// well-formed sequence is written as U+FFFD so the output stays valid UTF-8.
void append_quoted(std::string& out, std::string_view utf8);

// Appends "[" + the quoted form of each item, separated by ", ", + "]".
void append_quoted_list(std::string& out, const std::vector<std::string>& items);

// Appends the plain decimal digits of `v` ("-" first for negatives).
// Callers with other integer types should convert explicitly: a plain `int`
// argument is ambiguous between the two overloads.
void append_decimal(std::string& out, std::uint64_t v);
void append_decimal(std::string& out, std::int64_t v);

// Writes "Name(field=value, field=value)": each call adds one field, texts in
// the quoted form and numbers in decimal; end() writes the closing parenthesis.
class Fields {
public:
    Fields(std::string& out, std::string_view class_name) : out_(out) {
        out_.append(class_name);
        out_ += '(';
    }
    Fields& text(std::string_view name, std::string_view value) {
        append_quoted(label(name), value);
        return *this;
    }
    Fields& number(std::string_view name, std::uint64_t value) {
        append_decimal(label(name), value);
        return *this;
    }
    Fields& list(std::string_view name, const std::vector<std::string>& items) {
        append_quoted_list(label(name), items);
        return *this;
    }
    void end() { out_ += ')'; }

private:
    std::string& label(std::string_view name) {
        if (!first_) out_ += ", ";
        first_ = false;
        out_.append(name);
        out_ += '=';
        return out_;
    }

    std::string& out_;
    bool first_ = true;
};

}  // namespace vorlane::repr
