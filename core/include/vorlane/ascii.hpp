// Byte scans shared by the text writers and the filters: sixteen bytes at a
// time with SSE2 (part of every x86-64 processor), eight at a time elsewhere;
// and the decimal digits the writers put down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane::ascii {

namespace detail {

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighs = 0x8080808080808080u;

inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The n < 8 bytes at p, zero-filled above, from loads of fixed width (a
// memcpy of variable length would go through memory, and reading the word
// back would stall on it). Overlapping loads OR equal bytes together.
inline std::uint64_t load_short(const char* p, std::size_t n) noexcept {
    const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return lo | std::uint64_t{hi} << (8 * (n - 4));
    }
    if (n == 0) return 0;
    return byte(0) | byte(n / 2) << (8 * (n / 2)) | byte(n - 1) << (8 * (n - 1));
}

// True when some byte of w is below 0x20, from 0x7F up, '"' or '\\'. Each
// test is exact for "some byte matches": a borrow or carry only spills out
// of a byte that matches itself.
inline bool word_needs_care(std::uint64_t w) noexcept {
    const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    const std::uint64_t control = (w - 0x20 * kOnes) & ~w & kHighs;
    const std::uint64_t high = ((w + kOnes) | w) & kHighs;
    return (control | high | has_zero(w ^ ('"' * kOnes)) | has_zero(w ^ ('\\' * kOnes))) != 0;
}

#if defined(__SSE2__)
inline bool block_needs_care(const char* p) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed compare: bytes from 0x80 up are negative, so below 0x20 too.
    const __m128i bad = _mm_or_si128(
        _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
    return _mm_movemask_epi8(bad) != 0;
}
#endif

}  // namespace detail

// True when every byte is printable ASCII (0x20..0x7E) other than '"' and
// '\\': a text that every quoting scheme of this project writes unchanged.
inline bool is_plain(std::string_view text) noexcept {
    const char* p = text.data();
    const std::size_t n = text.size();
#if defined(__SSE2__)
    if (n >= 16) {
        // Whole blocks, then one last block ending at the last byte (it may
        // overlap the one before).
        for (std::size_t i = 0; i + 16 < n; i += 16) {
            if (detail::block_needs_care(p + i)) return false;
        }
        return !detail::block_needs_care(p + n - 16);
    }
#endif
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            if (detail::word_needs_care(detail::load8(p + i))) return false;
        }
        return !detail::word_needs_care(detail::load8(p + n - 8));
    }
    // Pad with a plain byte so the zero fill does not count as a control.
    const std::uint64_t pad = n == 0 ? 0x41 * detail::kOnes : (0x41 * detail::kOnes) << (8 * n);
    return !detail::word_needs_care(detail::load_short(p, n) | pad);
}

// True when every byte is below 0x80.
inline bool is_ascii(std::string_view s) noexcept {
    std::uint64_t bits = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) bits |= detail::load8(s.data() + i);
    for (; i < s.size(); ++i) bits |= static_cast<unsigned char>(s[i]);
    return (bits & detail::kHighs) == 0;
}

// Number of decimal digits of v.
constexpr std::size_t decimal_size(std::uint64_t v) noexcept {
    std::size_t n = 1;
    for (; v >= 10000; v /= 10000) n += 4;
    if (v >= 1000) return n + 3;
    if (v >= 100) return n + 2;
    if (v >= 10) return n + 1;
    return n;
}
static_assert(decimal_size(0) == 1 && decimal_size(9) == 1 && decimal_size(10) == 2 &&
              decimal_size(9999) == 4 && decimal_size(10000) == 5 &&
              decimal_size(18446744073709551615u) == 20);

// Writes the `size` = decimal_size(v) digits of v, two at a time from the
// right, and returns the end.
inline char* write_decimal(char* out, std::uint64_t v, std::size_t size) noexcept {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char* const end = out + size;
    char* p = end;
    while (v >= 100) {
        const std::size_t pair = static_cast<std::size_t>(v % 100) * 2;
        v /= 100;
        p -= 2;
        std::memcpy(p, kPairs + pair, 2);
    }
    if (v >= 10) {
        std::memcpy(p - 2, kPairs + v * 2, 2);
    } else {
        p[-1] = static_cast<char>('0' + v);
    }
    return end;
}

}  // namespace vorlane::ascii
