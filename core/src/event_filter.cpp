#include "vorlane/event_filter.hpp"

#include "vorlane/ascii.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace vorlane {

namespace {

// ---------------------------------------------------------------------------
// ASCII case folding, eight or sixteen bytes at a time

using ascii::detail::kHighs;
using ascii::detail::kOnes;
using ascii::detail::load8;
using ascii::detail::load_short;

constexpr std::uint64_t kCaseBits = 0x20 * kOnes;  // the one bit 'A' and 'a' differ in

// Whether two words are equal once ASCII 'A'..'Z' are folded to lower case.
// Folding only ever changes the 0x20 bit of a letter, so the words must not
// differ anywhere else, and each byte where that bit differs must be a
// letter (then the other word holds the same letter in the other case).
// Every per-byte sum below stays under 0x100: nothing carries into the next
// byte.
bool equal_folded(std::uint64_t x, std::uint64_t y) noexcept {
    const std::uint64_t diff = x ^ y;
    if (diff == 0) return true;
    if ((diff & ~kCaseBits) != 0) return false;
    const std::uint64_t lower = x | kCaseBits;   // letters of either case become 'a'..'z'
    const std::uint64_t low7 = lower & ~kHighs;  // bytes from 0x80 up are excluded below
    const std::uint64_t letters =
        (low7 + (0x80 - 'a') * kOnes) & ~(low7 + (0x80 - 'z' - 1) * kOnes) & ~x & kHighs;
    return ((diff << 2) & ~letters) == 0;  // 0x20 << 2 is 0x80, the byte's marker bit
}

#if defined(__SSE2__)
// 'A'..'Z' get their 0x20 bit.  Adding 0x80 - 'A' moves exactly 'A'..'Z'
// (and no other byte, from 0x80 up included) to the 26 lowest signed values.
__m128i fold16(__m128i v) noexcept {
    const __m128i shifted = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(0x80 - 'A')));
    const __m128i upper = _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(0x80 + 26)));
    return _mm_or_si128(v, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
}

bool equal_folded16(const char* a, const char* b) noexcept {
    const __m128i x = fold16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)));
    const __m128i y = fold16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(x, y)) == 0xFFFF;
}
#endif

// n >= 8: whole blocks, then one last block ending at the last byte (it may
// overlap the one before; comparing bytes twice does no harm).
bool equal_folded_long(const char* a, const char* b, std::size_t n) noexcept {
#if defined(__SSE2__)
    if (n >= 16) {
        for (std::size_t i = 0; i + 16 < n; i += 16) {
            if (!equal_folded16(a + i, b + i)) return false;
        }
        return equal_folded16(a + n - 16, b + n - 16);
    }
#endif
    for (std::size_t i = 0; i + 8 < n; i += 8) {
        if (!equal_folded(load8(a + i), load8(b + i))) return false;
    }
    return equal_folded(load8(a + n - 8), load8(b + n - 8));
}

bool equal_folded_any(const char* a, const char* b, std::size_t n) noexcept {
    if (n >= 8) return equal_folded_long(a, b, n);
    if (n == 0) return true;
    return equal_folded(load_short(a, n), load_short(b, n));
}

}  // namespace

bool ascii_case_insensitive_equal(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && equal_folded_any(a.data(), b.data(), a.size());
}

// ---------------------------------------------------------------------------
// TextList

namespace {

constexpr std::size_t kMaxBytes = std::numeric_limits<std::uint32_t>::max();

// malloc/realloc rather than new: growing a long list in place (or by
// remapping its pages) is what keeps appends cheap.
void* allocate(std::size_t size) {
    void* p = std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* reallocate(void* old, std::size_t size) {
    void* p = std::realloc(old, size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

// The byte block has kSlack zero bytes past its capacity, and every byte
// past `used` is zero: a scan may load eight bytes from any entry's start,
// however short the entry, without a bounds test and without reading
// memory that was never written.
constexpr std::size_t kSlack = 8;

char* allocate_bytes(std::size_t capacity) {
    char* bytes = static_cast<char*>(allocate(capacity + kSlack));
    std::memset(bytes + capacity, 0, kSlack);
    return bytes;
}

char* grow_bytes(char* bytes, std::size_t old_capacity, std::size_t capacity) {
    bytes = static_cast<char*>(reallocate(bytes, capacity + kSlack));
    std::memset(bytes + old_capacity + kSlack, 0, capacity - old_capacity);
    return bytes;
}

// At least `needed`; twice `capacity` when that is more, within 32 bits.
std::size_t grown(std::size_t capacity, std::size_t needed) noexcept {
    return std::max(needed, std::min(2 * capacity, kMaxBytes));
}

}  // namespace

TextList::TextList(const TextList& other) {
    if (other.empty()) return;
    const Block& src = *other.block_;
    const std::size_t slot_bytes = sizeof(Slot) * src.count;
    char* bytes = allocate_bytes(src.used);
    Block* b = nullptr;
    try {
        b = static_cast<Block*>(allocate(sizeof(Block) + slot_bytes));
    } catch (...) {
        std::free(bytes);
        throw;
    }
    *b = Block{src.count, src.count, src.used, src.used, bytes};
    std::memcpy(b + 1, slots_of(&src), slot_bytes);
    if (src.used != 0) std::memcpy(bytes, src.bytes, src.used);
    block_ = b;
}

TextList& TextList::operator=(const TextList& other) {
    if (this != &other) *this = TextList(other);
    return *this;
}

TextList& TextList::operator=(TextList&& other) noexcept {
    if (this != &other) {
        TextList old(std::move(*this));
        block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
}

void TextList::release() noexcept {
    std::free(block_->bytes);
    std::free(block_);
}

void TextList::push_back(std::string_view text) {
    const std::size_t n = text.size();
    Block* b = block_;
    if (b == nullptr) {
        // The first entry gets an exact fit: a filter often holds one address.
        if (n > kMaxBytes) throw std::length_error("TextList: more than 4 GiB of text");
        char* bytes = allocate_bytes(n);
        try {
            b = static_cast<Block*>(allocate(sizeof(Block) + sizeof(Slot)));
        } catch (...) {
            std::free(bytes);
            throw;
        }
        *b = Block{0, 1, 0, static_cast<std::uint32_t>(n), bytes};
        block_ = b;
    } else {
        if (n > kMaxBytes - b->used || b->count == kMaxBytes)
            throw std::length_error("TextList: more than 4 GiB of text");
        if (n > b->byte_capacity - b->used) {
            const std::size_t capacity = grown(b->byte_capacity, b->used + n);
            b->bytes = grow_bytes(b->bytes, b->byte_capacity, capacity);
            b->byte_capacity = static_cast<std::uint32_t>(capacity);
        }
        if (b->count == b->slot_capacity) {
            const std::size_t capacity = grown(b->slot_capacity, b->count + std::size_t{1});
            b = static_cast<Block*>(reallocate(b, sizeof(Block) + sizeof(Slot) * capacity));
            b->slot_capacity = static_cast<std::uint32_t>(capacity);
            block_ = b;
        }
    }
    reinterpret_cast<Slot*>(b + 1)[b->count] = Slot{b->used, static_cast<std::uint32_t>(n)};
    if (n != 0) std::memcpy(b->bytes + b->used, text.data(), n);
    b->used += static_cast<std::uint32_t>(n);
    b->count += 1;
}

bool TextList::contains_ascii_folded(std::string_view text) const noexcept {
    if (block_ == nullptr) return false;
    const Slot* slot = slots_of(block_);
    const Slot* const end = slot + block_->count;
    const char* const bytes = bytes_of(block_);
    const char* const t = text.data();
    const std::size_t n = text.size();
    if (n > kMaxBytes) return false;
    // The first eight bytes (zero-filled past a short text) decide almost
    // every entry: it can only match if its length is n and those bytes
    // differ from the text's in nothing but case bits.  Four entries are
    // tested without a branch between them; a candidate is then checked in
    // full, in order.
    const std::uint64_t head = n >= 8 ? load8(t) : load_short(t, n);
    const std::uint64_t mask = ~kCaseBits & (n >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1);
    const auto candidate = [&](const Slot& s) {
        return ((load8(bytes + s.offset) ^ head) & mask) == 0 && s.length == n;
    };
    const auto full_match = [&](const Slot& s) {
        return candidate(s) && equal_folded_any(bytes + s.offset, t, n);
    };
    for (; end - slot >= 4; slot += 4) {
        if (candidate(slot[0]) | candidate(slot[1]) | candidate(slot[2]) | candidate(slot[3])) {
            for (int k = 0; k < 4; ++k) {
                if (full_match(slot[k])) return true;
            }
        }
    }
    for (; slot != end; ++slot) {
        if (full_match(*slot)) return true;
    }
    return false;
}

bool operator==(const TextList& a, const TextList& b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    if (n == 0) return true;
    const TextList::Slot* sa = TextList::slots_of(a.block_);
    const TextList::Slot* sb = TextList::slots_of(b.block_);
    for (std::size_t i = 0; i < n; ++i) {
        if (sa[i].length != sb[i].length) return false;
    }
    // Entries sit back to back in insertion order: equal lengths put every
    // entry at the same offset in both lists.
    return std::memcmp(TextList::bytes_of(a.block_), TextList::bytes_of(b.block_),
                       a.block_->used) == 0;
}

// ---------------------------------------------------------------------------
// EventFilter

EventFilter EventFilter::for_address(std::string_view address) {
    EventFilter filter;
    filter.addresses.push_back(address);
    return filter;
}

}  // namespace vorlane
