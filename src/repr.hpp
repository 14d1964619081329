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

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vorlane/ascii.hpp"
#include "vorlane/event_filter.hpp"

namespace vorlane::repr {

// Appends the quoted form of `utf8`. The input is expected to be valid UTF-8
// (as produced by PyUnicode_AsUTF8AndSize); a byte that does not start a
// well-formed sequence is written as U+FFFD so the output stays valid UTF-8.
void append_quoted(std::string& out, std::string_view utf8);

// Appends "[" + the quoted form of each item, separated by ", ", + "]".
void append_quoted_list(std::string& out, const TextList& items);

// Appends the plain decimal digits of `v` ("-" first for negatives).
// Callers with other integer types should convert explicitly: a plain `int`
// argument is ambiguous between the two overloads.
void append_decimal(std::string& out, std::uint64_t v);
void append_decimal(std::string& out, std::int64_t v);

// The fields a representation lists: texts in the quoted form, numbers in
// decimal, lists of texts in brackets.
struct Text {
    std::string_view name;
    std::string_view value;
};
struct Number {
    std::string_view name;
    std::uint64_t value;
};
struct List {
    std::string_view name;
    const TextList& items;
};

// Writes "Name(field=value, field=value)" one field at a time, growing `out`
// as it goes: the general path, for texts that need escapes or are not ASCII.
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
    Fields& list(std::string_view name, const TextList& items) {
        append_quoted_list(label(name), items);
        return *this;
    }
    Fields& add(const Text& f) { return text(f.name, f.value); }
    Fields& add(const Number& f) { return number(f.name, f.value); }
    Fields& add(const List& f) { return list(f.name, f.items); }
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

namespace detail {

// Bytes of the quoted form of a text whose every byte is printable ASCII
// other than '"' and '\\' (its quoted form is the text between quotes);
// 0 for any other text.
inline std::size_t plain_quoted_size(std::string_view text) noexcept {
    return ascii::is_plain(text) ? text.size() + 2 : 0;
}

// Number of decimal digits of v.
inline std::size_t decimal_size(std::uint64_t v) noexcept {
    std::size_t n = 1;
    for (; v >= 10000; v /= 10000) n += 4;
    if (v >= 1000) return n + 3;
    if (v >= 100) return n + 2;
    if (v >= 10) return n + 1;
    return n;
}

// Writes the `size` = decimal_size(v) digits of v, two at a time from the
// right, and returns the end.
char* write_decimal(char* out, std::uint64_t v, std::size_t size) noexcept;

inline char* write_plain_quoted(char* out, std::string_view text) noexcept {
    *out++ = '"';
    std::memcpy(out, text.data(), text.size());
    out += text.size();
    *out++ = '"';
    return out;
}

// 0 when the field's value is not plain.
inline std::size_t value_size(const Text& f) noexcept { return plain_quoted_size(f.value); }
inline std::size_t value_size(const Number& f) noexcept { return decimal_size(f.value); }
inline std::size_t value_size(const List& f) noexcept {
    std::size_t size = f.items.empty() ? 2 : 2 * f.items.size();  // brackets and ", "
    for (std::string_view item : f.items) {
        const std::size_t s = plain_quoted_size(item);
        if (s == 0) return 0;
        size += s;
    }
    return size;
}

inline char* write_value(char* out, const Text& f, std::size_t) noexcept {
    return write_plain_quoted(out, f.value);
}
inline char* write_value(char* out, const Number& f, std::size_t size) noexcept {
    return write_decimal(out, f.value, size);
}
inline char* write_value(char* out, const List& f, std::size_t) noexcept {
    *out++ = '[';
    bool first = true;
    for (std::string_view item : f.items) {
        if (!first) {
            *out++ = ',';
            *out++ = ' ';
        }
        first = false;
        out = write_plain_quoted(out, item);
    }
    *out++ = ']';
    return out;
}

template <class F>
char* write_field(char* out, const F& f, std::size_t size, bool first) noexcept {
    if (!first) {
        *out++ = ',';
        *out++ = ' ';
    }
    std::memcpy(out, f.name.data(), f.name.size());
    out += f.name.size();
    *out++ = '=';
    return write_value(out, f, size);
}

}  // namespace detail

// Appends "Name(field=value, field=value)".  When every value is plain (the
// usual case) the text's exact length is known up front: `out` grows once
// and every piece is copied into place; otherwise the fields are written
// through Fields.
template <class... F>
void write(std::string& out, std::string_view class_name, const F&... fields) {
    const std::size_t sizes[] = {detail::value_size(fields)...};
    std::size_t total = class_name.size() + 2 + 2 * (sizeof...(F) - 1);
    bool plain = true;
    std::size_t k = 0;
    ((plain = plain && sizes[k] != 0, total += fields.name.size() + 1 + sizes[k], ++k), ...);
    if (!plain) {
        Fields slow(out, class_name);
        (slow.add(fields), ...);
        slow.end();
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + total);
    char* p = out.data() + start;
    std::memcpy(p, class_name.data(), class_name.size());
    p += class_name.size();
    *p++ = '(';
    k = 0;
    ((p = detail::write_field(p, fields, sizes[k], k == 0), ++k), ...);
    *p = ')';
}

}  // namespace vorlane::repr
