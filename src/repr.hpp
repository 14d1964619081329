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

}  // namespace vorlane::repr
