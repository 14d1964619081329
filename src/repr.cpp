// The quoted form and the number formatting shared by every repr.
#include "repr.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace vorlane::repr {
namespace {

#include "unicode_escape_table.inc"

constexpr std::size_t kRangeCount = std::size(kEscapeRanges);

// The binary search below needs the table sorted, disjoint and non-adjacent;
// the generator guarantees it, this catches a hand-edited table.
consteval bool ranges_well_formed() {
    for (std::size_t k = 0; k < kRangeCount; ++k) {
        if (kEscapeRanges[k][0] > kEscapeRanges[k][1] || kEscapeRanges[k][1] > 0x10FFFF) return false;
        if (k > 0 && kEscapeRanges[k][0] <= kEscapeRanges[k - 1][1] + 1) return false;
    }
    return kRangeCount > 0;
}
static_assert(ranges_well_formed(), "kEscapeRanges must be sorted, disjoint and non-adjacent");

constexpr bool is_escaped(std::uint32_t cp) noexcept {
    // First range whose end is not below cp; cp is escaped iff that range starts at or before it.
    std::size_t lo = 0;
    std::size_t hi = kRangeCount;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (kEscapeRanges[mid][1] < cp) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo < kRangeCount && kEscapeRanges[lo][0] <= cp;
}
static_assert(!is_escaped(0x20) && !is_escaped('A') && !is_escaped(0xE9));
static_assert(is_escaped(0x07) && is_escaped(0xA0) && is_escaped(0x301) && is_escaped(0x200B));

// What to do on meeting a byte: copy it as part of the current run, write
// \u{hex}, start decoding a multi-byte sequence, or (any other value) write a
// backslash followed by that character.
enum : std::uint8_t { kPlain = 0, kHex = 1, kMultiByte = 2 };

consteval std::array<std::uint8_t, 256> make_byte_actions() {
    std::array<std::uint8_t, 256> actions{};
    for (std::uint32_t b = 0; b < 0x80; ++b) {
        actions[b] = is_escaped(b) ? kHex : kPlain;
    }
    actions['\0'] = '0';
    actions['\t'] = 't';
    actions['\r'] = 'r';
    actions['\n'] = 'n';
    actions['\\'] = '\\';
    actions['"'] = '"';
    for (std::size_t b = 0x80; b < 0x100; ++b) actions[b] = kMultiByte;
    return actions;
}
constexpr std::array<std::uint8_t, 256> kByteActions = make_byte_actions();

struct Decoded {
    std::uint32_t cp;
    std::size_t length;  // 0: not a well-formed sequence
};

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Decodes the sequence starting with a byte >= 0x80 at s[0], per the
// well-formed UTF-8 byte sequences of Unicode (no overlongs, no surrogates,
// nothing above U+10FFFF).
Decoded decode(const unsigned char* s, std::size_t avail) noexcept {
    const unsigned char b0 = s[0];
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (avail < 2 || !is_continuation(s[1])) return {0, 0};
        return {(std::uint32_t{b0} & 0x1F) << 6 | (std::uint32_t{s[1]} & 0x3F), 2};
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (avail < 3 || !is_continuation(s[1]) || !is_continuation(s[2])) return {0, 0};
        if ((b0 == 0xE0 && s[1] < 0xA0) || (b0 == 0xED && s[1] > 0x9F)) return {0, 0};
        return {(std::uint32_t{b0} & 0x0F) << 12 | (std::uint32_t{s[1]} & 0x3F) << 6 | (std::uint32_t{s[2]} & 0x3F),
                3};
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (avail < 4 || !is_continuation(s[1]) || !is_continuation(s[2]) || !is_continuation(s[3])) return {0, 0};
        if ((b0 == 0xF0 && s[1] < 0x90) || (b0 == 0xF4 && s[1] > 0x8F)) return {0, 0};
        return {(std::uint32_t{b0} & 0x07) << 18 | (std::uint32_t{s[1]} & 0x3F) << 12 |
                    (std::uint32_t{s[2]} & 0x3F) << 6 | (std::uint32_t{s[3]} & 0x3F),
                4};
    }
    return {0, 0};
}

// True when none of the eight bytes at p needs attention.  Each test below
// is exact for "some byte matches": a borrow or carry only ever spills out of
// a byte that matches itself.
bool plain_ascii_word(const unsigned char* p) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    const auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t control = (w - 0x20 * ones) & ~w & highs;  // a byte below 0x20
    const std::uint64_t high = (w + ones) | w;                     // a byte from 0x7F up
    return ((control | (high & highs) | has_zero(w ^ ('"' * ones)) | has_zero(w ^ ('\\' * ones))) ==
            0);
}

void append_hex_escape(std::string& out, std::uint32_t cp) {
    char buf[12] = {'\\', 'u', '{'};
    // Base-16 to_chars writes lowercase digits without leading zeros; six
    // digits always fit, so the result cannot fail.
    const auto res = std::to_chars(buf + 3, buf + sizeof buf - 1, cp, 16);
    *res.ptr = '}';
    out.append(buf, static_cast<std::size_t>(res.ptr + 1 - buf));
}

}  // namespace

void append_quoted(std::string& out, std::string_view utf8) {
    const auto* const s = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    out.reserve(out.size() + n + 2);
    out.push_back('"');
    // Unchanged characters accumulate in [run, i) and are copied in one append.
    std::size_t run = 0;
    std::size_t i = 0;
    while (i < n) {
        // Skip eight plain ASCII bytes at a time: no control character, no
        // '"' or '\\', nothing from 0x7F up.
        while (n - i >= 8 && plain_ascii_word(s + i)) i += 8;
        if (i == n) break;
        const std::uint8_t action = kByteActions[s[i]];
        if (action == kPlain) {
            ++i;
            continue;
        }
        if (action == kMultiByte) {
            const Decoded d = decode(s + i, n - i);
            if (d.length != 0 && !is_escaped(d.cp)) {
                i += d.length;
                continue;
            }
            out.append(utf8.data() + run, i - run);
            if (d.length != 0) {
                append_hex_escape(out, d.cp);
                i += d.length;
            } else {
                out.append("\xEF\xBF\xBD");  // U+FFFD REPLACEMENT CHARACTER
                ++i;
            }
            run = i;
            continue;
        }
        out.append(utf8.data() + run, i - run);
        if (action == kHex) {
            append_hex_escape(out, s[i]);
        } else {
            out.push_back('\\');
            out.push_back(static_cast<char>(action));
        }
        run = ++i;
    }
    out.append(utf8.data() + run, n - run);
    out.push_back('"');
}

void append_quoted_list(std::string& out, const TextList& items) {
    out.push_back('[');
    bool first = true;
    for (std::string_view item : items) {
        if (!first) out.append(", ");
        first = false;
        append_quoted(out, item);
    }
    out.push_back(']');
}

void append_decimal(std::string& out, std::uint64_t v) {
    char buf[20];  // UINT64_MAX has 20 digits
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

void append_decimal(std::string& out, std::int64_t v) {
    char buf[20];  // INT64_MIN is "-" and 19 digits
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

}  // namespace vorlane::repr
