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

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

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

// A field or class name fixed at compile time, so that the text around the
// values ("Checkpoint(", ", block_hash=") is a constant of known length.
template <std::size_t N>
struct Name {
    char chars[N]{};
    consteval Name(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = s[i];
    }
    static constexpr std::size_t size = N - 1;
    constexpr std::string_view view() const { return {chars, size}; }
};

// The fields a representation lists: texts in the quoted form, numbers in
// decimal, lists of texts in brackets.
template <Name N>
struct Text {
    static constexpr auto name = N;
    std::string_view value;
};
template <Name N>
struct Number {
    static constexpr auto name = N;
    std::uint64_t value;
};
template <Name N>
struct List {
    static constexpr auto name = N;
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
    template <Name N>
    Fields& add(const Text<N>& f) { return text(N.view(), f.value); }
    template <Name N>
    Fields& add(const Number<N>& f) { return number(N.view(), f.value); }
    template <Name N>
    Fields& add(const List<N>& f) { return list(N.view(), f.items); }
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

// Copies n bytes with loads and stores of fixed width when n is small (a
// call to memcpy costs more than the copy for the short names and ids of a
// repr); overlapping stores write equal bytes twice.
inline char* put(char* out, const char* s, std::size_t n) noexcept {
    if (n > 16) {
        std::memcpy(out, s, n);
    } else if (n >= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
        std::memcpy(out, &a, 8);
        std::memcpy(out + n - 8, &b, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        std::memcpy(out, &a, 4);
        std::memcpy(out + n - 4, &b, 4);
    } else if (n > 0) {
        out[0] = s[0];
        out[n / 2] = s[n / 2];
        out[n - 1] = s[n - 1];
    }
    return out + n;
}

// Bytes of the quoted form of a text whose every byte is printable ASCII
// other than '"' and '\\' (its quoted form is the text between quotes);
// 0 for any other text.
inline std::size_t plain_quoted_size(std::string_view text) noexcept {
    return ascii::is_plain(text) ? text.size() + 2 : 0;
}

inline char* write_plain_quoted(char* out, std::string_view text) noexcept {
    *out++ = '"';
    out = put(out, text.data(), text.size());
    *out++ = '"';
    return out;
}

// 0 when the field's value is not plain.
template <Name N>
std::size_t value_size(const Text<N>& f) noexcept { return plain_quoted_size(f.value); }
template <Name N>
std::size_t value_size(const Number<N>& f) noexcept { return ascii::decimal_size(f.value); }
template <Name N>
std::size_t value_size(const List<N>& f) noexcept {
    std::size_t size = f.items.empty() ? 2 : 2 * f.items.size();  // brackets and ", "
    for (std::string_view item : f.items) {
        const std::size_t s = plain_quoted_size(item);
        if (s == 0) return 0;
        size += s;
    }
    return size;
}

template <Name N>
char* write_value(char* out, const Text<N>& f, std::size_t) noexcept {
    return write_plain_quoted(out, f.value);
}
template <Name N>
char* write_value(char* out, const Number<N>& f, std::size_t size) noexcept {
    return ascii::write_decimal(out, f.value, size);
}
template <Name N>
char* write_value(char* out, const List<N>& f, std::size_t) noexcept {
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

// "name=" for the first field, ", name=" for the others.
template <Name N, bool First>
inline constexpr auto kLabel = [] {
    std::array<char, N.size + (First ? 1 : 3)> label{};
    std::size_t k = 0;
    if (!First) {
        label[k++] = ',';
        label[k++] = ' ';
    }
    for (std::size_t i = 0; i < N.size; ++i) label[k++] = N.chars[i];
    label[k] = '=';
    return label;
}();

template <Name N>
inline constexpr auto kOpening = [] {
    std::array<char, N.size + 1> opening{};
    for (std::size_t i = 0; i < N.size; ++i) opening[i] = N.chars[i];
    opening[N.size] = '(';
    return opening;
}();

template <bool First, class F>
char* write_field(char* out, const F& f, std::size_t size) noexcept {
    constexpr const auto& label = kLabel<F::name, First>;
    std::memcpy(out, label.data(), label.size());
    return write_value(out + label.size(), f, size);
}

}  // namespace detail

// Appends "Class(field=value, field=value)".  When every value is plain (the
// usual case) the text's exact length is known up front: `out` grows once
// and every piece is copied into place, the constant ones with copies of
// fixed size; otherwise the fields are written through Fields.
template <Name Class, class... F>
void write(std::string& out, const F&... fields) {
    const std::size_t sizes[] = {detail::value_size(fields)...};
    constexpr std::size_t fixed =
        Class.size + 2 + ((F::name.size + 1) + ...) + 2 * (sizeof...(F) - 1);
    std::size_t total = fixed;
    bool plain = true;
    for (std::size_t s : sizes) {
        plain = plain && s != 0;
        total += s;
    }
    if (!plain) {
        Fields slow(out, Class.view());
        (slow.add(fields), ...);
        slow.end();
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + total);
    char* p = out.data() + start;
    constexpr const auto& opening = detail::kOpening<Class>;
    std::memcpy(p, opening.data(), opening.size());
    p += opening.size();
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((p = detail::write_field<I == 0>(p, fields, sizes[I])), ...);
    }(std::index_sequence_for<F...>{});
    *p = ')';
}

}  // namespace vorlane::repr
