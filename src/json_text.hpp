// Pieces of JSON text shared by vorlane_rpc's line writers: the escapes of
// characters that a JSON string cannot hold as they are.
#pragma once

#include <cstdint>
#include <string>

namespace vorlane::py::json_text {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// "\uXXXX" for a UTF-16 code unit.
inline void append_u4(std::string& out, std::uint32_t c) {
    out += "\\u";
    out += kHexDigits[(c >> 12) & 15];
    out += kHexDigits[(c >> 8) & 15];
    out += kHexDigits[(c >> 4) & 15];
    out += kHexDigits[c & 15];
}

// The escape of a character below U+10000 that is not written as it is:
// the short forms json uses, else "\uXXXX".
inline void append_escape(std::string& out, std::uint32_t c) {
    switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: append_u4(out, c);
    }
}

}  // namespace vorlane::py::json_text
