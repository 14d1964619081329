// The event layout plan and the strict walk of a log's head/tail encoding.
#include "vorlane/abi.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane::abi {
namespace {

// Static types larger than this are refused: no event carries one, and it
// keeps every size computation far from overflow.
constexpr std::uint64_t kMaxStaticSize = std::uint64_t{1} << 24;

constexpr char kZeros[65] = "0000000000000000000000000000000000000000000000000000000000000000";

bool zeros(const char* p, std::size_t n) noexcept { return std::memcmp(p, kZeros, n) == 0; }

constexpr std::array<std::uint8_t, 256> make_hex_table() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = 16;
    for (int c = '0'; c <= '9'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
    return t;
}
constexpr std::array<std::uint8_t, 256> kHex = make_hex_table();

// A decimal number of at most 5 digits without a leading zero, else -1.
long small_number(std::string_view digits) {
    if (digits.empty() || digits.size() > 5 || (digits[0] == '0' && digits.size() > 1)) return -1;
    long v = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (ec != std::errc() || end != digits.data() + digits.size()) return -1;
    return v;
}

class Compiler {
public:
    Compiler(std::string_view event, std::vector<Node>& nodes, std::string& error)
        : event_(event), nodes_(nodes), error_(error) {}

    // The node of `type` (with its components), or nullopt with the error set.
    std::optional<std::uint32_t> add(const Param& param, std::uint32_t level) {
        const std::string_view type = param.type;
        const std::size_t bracket = type.find('[');
        const std::string_view base = type.substr(0, bracket);
        std::optional<std::uint32_t> index =
            base == "tuple" ? add_tuple(type, param.components, level) : add_value(type, base);
        if (!index) return std::nullopt;
        if (base == "tuple") nodes_[*index].struct_name = struct_name(param.internal_type);
        std::string_view rest = bracket == std::string_view::npos ? "" : type.substr(bracket);
        while (!rest.empty()) {
            const std::size_t close = rest.find(']');
            if (rest[0] != '[' || close == std::string_view::npos) return unsupported(type);
            const std::string_view digits = rest.substr(1, close - 1);
            rest.remove_prefix(close + 1);
            if (++level > kMaxDepth) return too_deep(type);
            const Node& element = nodes_[*index];
            Node array;
            array.children = {*index};
            array.depth = element.depth + 1;
            if (digits.empty()) {
                array.kind = Kind::dynamic_array;
                array.dynamic = true;
                array.canonical = element.canonical + "[]";
            } else {
                const long k = small_number(digits);
                if (k < 1) return unsupported(type);
                array.kind = Kind::fixed_array;
                array.length = static_cast<std::uint32_t>(k);
                array.dynamic = element.dynamic;
                const std::uint64_t frame = std::uint64_t{array.length} * element.head;
                if (frame > kMaxStaticSize) return too_large(type);
                array.frame = static_cast<std::uint32_t>(frame);
                array.head = array.dynamic ? 32 : array.frame;
                array.canonical = element.canonical + "[" + std::string(digits) + "]";
            }
            index = push(std::move(array));
        }
        return index;
    }

private:
    // "struct Pool.Key[2]" -> "Key"; "" for anything else.
    static std::string struct_name(std::string_view internal) {
        if (!internal.starts_with("struct ")) return {};
        internal.remove_prefix(7);
        internal = internal.substr(0, internal.find('['));
        if (const std::size_t dot = internal.rfind('.'); dot != std::string_view::npos)
            internal.remove_prefix(dot + 1);
        return std::string(internal);
    }

    std::optional<std::uint32_t> push(Node node) {
        nodes_.push_back(std::move(node));
        return static_cast<std::uint32_t>(nodes_.size() - 1);
    }

    std::optional<std::uint32_t> fail(std::string text) {
        error_ = "event " + std::string(event_) + ": " + std::move(text);
        return std::nullopt;
    }
    std::optional<std::uint32_t> unsupported(std::string_view type) {
        return fail("unsupported type '" + std::string(type) + "'");
    }
    std::optional<std::uint32_t> too_deep(std::string_view type) {
        return fail("type '" + std::string(type) + "' is nested more than " +
                    std::to_string(kMaxDepth) + " levels deep");
    }
    std::optional<std::uint32_t> too_large(std::string_view type) {
        return fail("type '" + std::string(type) + "' is too large");
    }

    std::optional<std::uint32_t> add_value(std::string_view type, std::string_view base) {
        Node node;
        node.canonical = std::string(base);
        const auto bits = [&](std::string_view prefix, Kind kind) {
            const std::string_view digits = base.substr(prefix.size());
            const long n = digits.empty() ? 256 : small_number(digits);
            if (n < 8 || n > 256 || n % 8) return false;
            node.kind = kind;
            node.size = static_cast<std::uint16_t>(n);
            node.canonical = std::string(prefix) + std::to_string(n);
            return true;
        };
        bool ok = true;
        if (base == "address") node.kind = Kind::address;
        else if (base == "bool") node.kind = Kind::boolean;
        else if (base == "string") node.kind = Kind::string;
        else if (base == "bytes") node.kind = Kind::bytes;
        else if (base.starts_with("uint")) ok = bits("uint", Kind::unsigned_int);
        else if (base.starts_with("int")) ok = bits("int", Kind::signed_int);
        else if (base.starts_with("bytes")) {
            const long n = small_number(base.substr(5));
            ok = n >= 1 && n <= 32;
            node.kind = Kind::fixed_bytes;
            node.size = static_cast<std::uint16_t>(n);
        } else ok = false;
        if (!ok) return unsupported(type);
        node.dynamic = node.kind == Kind::bytes || node.kind == Kind::string;
        return push(std::move(node));
    }

    std::optional<std::uint32_t> add_tuple(std::string_view type,
                                           const std::vector<Param>& components,
                                           std::uint32_t level) {
        if (components.empty()) return fail("tuple type '" + std::string(type) + "' has no components");
        if (++level > kMaxDepth) return too_deep(type);
        Node node;
        node.kind = Kind::tuple;
        node.canonical = "(";
        std::uint64_t frame = 0;
        for (const Param& c : components) {
            const auto child = add(c, level);
            if (!child) return std::nullopt;
            const Node& n = nodes_[*child];
            node.children.push_back(*child);
            node.names.push_back(c.name);
            node.dynamic = node.dynamic || n.dynamic;
            node.depth = std::max(node.depth, n.depth + 1);
            frame += n.head;
            if (node.canonical.size() > 1) node.canonical += ',';
            node.canonical += n.canonical;
        }
        if (frame > kMaxStaticSize) return too_large(type);
        node.canonical += ')';
        node.frame = static_cast<std::uint32_t>(frame);
        node.head = node.dynamic ? 32 : node.frame;
        return push(std::move(node));
    }

    std::string_view event_;
    std::vector<Node>& nodes_;
    std::string& error_;
};

// Whether the UTF-8 text whose bytes are the 2n digits at `hex` is valid
// (no overlong forms, no surrogates, nothing past U+10FFFF), as strict
// decoders require.
bool valid_utf8(const char* hex, std::size_t n) {
    const auto byte = [hex](std::size_t i) {
        return static_cast<std::uint8_t>(kHex[static_cast<unsigned char>(hex[2 * i])] << 4 |
                                         kHex[static_cast<unsigned char>(hex[2 * i + 1])]);
    };
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = byte(i);
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint8_t lo = 0x80, hi = 0xbf;  // the second byte's range
        if (b >= 0xc2 && b <= 0xdf) len = 2;
        else if (b >= 0xe0 && b <= 0xef) {
            len = 3;
            if (b == 0xe0) lo = 0xa0;
            if (b == 0xed) hi = 0x9f;
        } else if (b >= 0xf0 && b <= 0xf4) {
            len = 4;
            if (b == 0xf0) lo = 0x90;
            if (b == 0xf4) hi = 0x8f;
        } else return false;
        if (i + len > n) return false;
        const std::uint8_t second = byte(i + 1);
        if (second < lo || second > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((byte(i + k) & 0xc0) != 0x80) return false;
        i += len;
    }
    return true;
}

// Checks a 64-digit word as a value of a static value type.  False with the
// reason when its padding or range is wrong.
bool check_word(const Node& node, const char* w, std::string& reason) {
    switch (node.kind) {
        case Kind::unsigned_int:
            if (zeros(w, 64 - node.size / 4)) return true;
            reason = "dirty padding in " + node.canonical;
            return false;
        case Kind::signed_int: {
            const std::size_t pad = 64 - node.size / 4;
            if (pad == 0) return true;
            const bool negative = kHex[static_cast<unsigned char>(w[pad])] >= 8;
            bool ok = true;
            if (negative) {
                for (std::size_t i = 0; i < pad && ok; ++i) ok = (w[i] | 0x20) == 'f';
            } else {
                ok = zeros(w, pad);
            }
            if (!ok) reason = node.canonical + " not sign-extended";
            return ok;
        }
        case Kind::address:
            if (zeros(w, 24)) return true;
            reason = "dirty padding in address";
            return false;
        case Kind::boolean:
            if (zeros(w, 63) && (w[63] == '0' || w[63] == '1')) return true;
            reason = "bool value " + word_decimal(word_limbs(w), false);
            return false;
        case Kind::fixed_bytes:
            if (zeros(w + 2 * node.size, 64 - 2 * node.size)) return true;
            reason = "dirty padding in " + node.canonical;
            return false;
        default:
            return true;
    }
}

// The walk of one log's data.
class Walk {
public:
    Walk(const std::vector<Node>& nodes, const char* hex, std::uint64_t size,
         std::vector<Value>& out, std::string& reason, std::size_t limit)
        : nodes_(nodes), hex_(hex), size_(size), out_(out), reason_(reason), limit_(limit) {}

    // The value of `node`, whose encoding starts at byte `pos`.
    bool value(std::uint32_t index, std::uint64_t pos) {
        const Node& node = nodes_[index];
        switch (node.kind) {
            case Kind::bytes:
            case Kind::string: {
                std::uint64_t length;
                if (!number(pos, "length", length)) return false;
                const std::uint64_t padded = (length + 31) / 32 * 32;
                if (length > size_ || pos + 32 + padded > size_)
                    return fail("length " + std::to_string(length) + " out of range");
                const char* content = at(pos + 32);
                if (!zeros(content + 2 * length, 2 * (padded - length)))
                    return fail("dirty padding after " + node.canonical);
                if (node.kind == Kind::string && !valid_utf8(content, length))
                    return fail("invalid UTF-8 in string");
                return push(content, static_cast<std::uint32_t>(length));
            }
            case Kind::tuple:
                if (!push(nullptr, static_cast<std::uint32_t>(node.children.size()))) return false;
                return items(node.children, false, node.children.size(), pos);
            case Kind::fixed_array:
                if (!push(nullptr, node.length)) return false;
                return items(node.children, true, node.length, pos);
            case Kind::dynamic_array: {
                std::uint64_t length;
                if (!number(pos, "length", length)) return false;
                const std::uint64_t room = (size_ - pos - 32) / nodes_[node.children[0]].head;
                if (length > room) return fail("length " + std::to_string(length) + " out of range");
                if (!push(nullptr, static_cast<std::uint32_t>(length))) return false;
                return items(node.children, true, length, pos + 32);
            }
            default:
                if (pos + 32 > size_) return fail("data ends inside a value");
                if (!check_word(node, at(pos), reason_)) return false;
                return push(at(pos), 32);
        }
    }

    // The items of a tuple (one per child) or of an array (`count` elements
    // of its one child) whose head starts at `frame`.
    bool items(const std::vector<std::uint32_t>& children, bool array, std::uint64_t count,
               std::uint64_t frame) {
        std::uint64_t head = frame;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint32_t child = children[array ? 0 : i];
            if (!item(child, head, frame)) return false;
            head += nodes_[child].head;
        }
        return true;
    }

    // One item whose head is at `head` in the frame starting at `frame`.
    bool item(std::uint32_t child, std::uint64_t head, std::uint64_t frame) {
        const Node& node = nodes_[child];
        if (!node.dynamic) return value(child, head);
        std::uint64_t offset;
        if (!number(head, "offset", offset)) return false;
        if (offset > size_ || frame + offset + node.frame > size_)
            return fail("offset " + std::to_string(offset) + " out of range");
        return value(child, frame + offset);
    }

private:
    const char* at(std::uint64_t pos) const noexcept { return hex_ + 2 * pos; }

    bool fail(std::string text) {
        reason_ = std::move(text);
        return false;
    }

    bool push(const char* hex, std::uint32_t size) {
        if (out_.size() >= limit_) return fail("more values than the data can hold");
        out_.push_back(Value{hex, size});
        return true;
    }

    // An offset or length word: a number below 2^64 ("offset 2^70 out of
    // range" otherwise).
    bool number(std::uint64_t pos, const char* what, std::uint64_t& v) {
        if (pos + 32 > size_) return fail(std::string("data ends inside a ") + what);
        const auto limbs = word_limbs(at(pos));
        if (limbs[0] || limbs[1] || limbs[2])
            return fail(std::string(what) + " " + word_decimal(limbs, false) + " out of range");
        v = limbs[3];
        return true;
    }

    const std::vector<Node>& nodes_;
    const char* hex_;
    std::uint64_t size_;
    std::vector<Value>& out_;
    std::string& reason_;
    std::size_t limit_;
};

}  // namespace

bool is_hex_data(std::string_view text) noexcept {
    if (text.size() < 2 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || text.size() % 2)
        return false;
    std::size_t i = 2;
#if defined(__SSE2__)
    // Sixteen digits at a time: each byte in '0'-'9', 'a'-'f' or 'A'-'F'
    // (signed compares: bytes from 0x80 up are negative, in no range).
    const auto in = [](__m128i v, char lo, char hi) {
        return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                             _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(hi + 1))));
    };
    for (; i + 16 <= text.size(); i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        const __m128i ok = _mm_or_si128(in(v, '0', '9'), _mm_or_si128(in(v, 'a', 'f'), in(v, 'A', 'F')));
        if (_mm_movemask_epi8(ok) != 0xffff) return false;
    }
#endif
    std::uint8_t bad = 0;
    for (; i < text.size(); ++i) bad |= kHex[static_cast<unsigned char>(text[i])];
    return (bad & 16) == 0;
}

void hex_to_bytes(const char* hex, std::size_t n, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(kHex[static_cast<unsigned char>(hex[2 * i])] << 4 |
                                           kHex[static_cast<unsigned char>(hex[2 * i + 1])]);
}

namespace {

// (hi:lo) / d and its remainder, for hi < d.
std::uint64_t divide(std::uint64_t hi, std::uint64_t lo, std::uint64_t d, std::uint64_t& rest) {
#if defined(__x86_64__)
    std::uint64_t q, r;
    __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(lo), "d"(hi), "r"(d));
    rest = r;
    return q;
#else
    __extension__ using u128 = unsigned __int128;
    const u128 cur = static_cast<u128>(hi) << 64 | lo;
    rest = static_cast<std::uint64_t>(cur % d);
    return static_cast<std::uint64_t>(cur / d);
#endif
}

}  // namespace

void append_word_decimal(std::string& out, const std::array<std::uint64_t, 4>& limbs,
                         bool is_signed) {
    std::array<std::uint64_t, 4> v = limbs;
    const bool negative = is_signed && (v[0] >> 63);
    if (negative) {  // two's complement: invert and add one
        bool carry = true;
        for (std::size_t i = 4; i-- > 0;) {
            v[i] = ~v[i] + (carry ? 1 : 0);
            carry = carry && v[i] == 0;
        }
    }
    if (negative) out += '-';
    // Nineteen digits at a time, least significant group first, dividing
    // only the limbs that are still non-zero.
    constexpr std::uint64_t kGroup = 10000000000000000000ull;
    std::uint64_t groups[5];
    std::size_t count = 0;
    std::size_t top = 0;
    while (top < 3 && v[top] == 0) ++top;
    while (top < 3 || v[3] >= kGroup) {
        std::uint64_t rest = 0;
        for (std::size_t i = top; i < 4; ++i) v[i] = divide(rest, v[i], kGroup, rest);
        groups[count++] = rest;
        while (top < 3 && v[top] == 0) ++top;
    }
    char buf[20];
    auto r = std::to_chars(buf, buf + sizeof buf, v[3]);
    out.append(buf, r.ptr);
    for (std::size_t i = count; i-- > 0;) {
        r = std::to_chars(buf, buf + sizeof buf, groups[i]);
        out.append(19 - static_cast<std::size_t>(r.ptr - buf), '0');
        out.append(buf, r.ptr);
    }
}

std::string word_decimal(const std::array<std::uint64_t, 4>& limbs, bool is_signed) {
    std::string out;
    append_word_decimal(out, limbs, is_signed);
    return out;
}

std::optional<Event> Event::compile(std::string_view name, std::span<const Param> inputs,
                                    std::string& error) {
    Event event;
    event.name_ = std::string(name);
    event.signature_ = event.name_ + "(";
    Compiler compiler(name, event.nodes_, error);
    for (const Param& p : inputs) {
        for (const Argument& a : event.arguments_) {
            if (a.name == p.name) {
                error = "event " + event.name_ + " has two arguments named '" + p.name + "'";
                return std::nullopt;
            }
        }
        const auto index = compiler.add(p, 0);
        if (!index) return std::nullopt;
        const Node& node = event.nodes_[*index];
        Argument a{p.name, p.indexed, false, *index};
        if (p.indexed) {
            a.raw_topic = node.dynamic || node.kind == Kind::tuple || node.kind == Kind::fixed_array;
            ++event.topic_count_;
        } else {
            event.data_head_ += node.head;
            event.data_static_ = event.data_static_ && !node.dynamic;
        }
        event.depth_ = std::max(event.depth_, node.depth);
        if (event.arguments_.size()) event.signature_ += ',';
        event.signature_ += node.canonical;
        event.arguments_.push_back(std::move(a));
    }
    if (event.topic_count_ > 4) {
        error = "event " + event.name_ + " has " + std::to_string(event.topic_count_ - 1) +
                " indexed arguments; a log holds at most 3";
        return std::nullopt;
    }
    event.signature_ += ')';
    return event;
}

bool Event::decode(std::span<const std::string_view> topics, std::string_view data,
                   std::vector<Value>& values, std::string& reason) const {
    if (topics.size() != topic_count_) {
        reason = std::to_string(topics.size()) + " topics, the event has " +
                 std::to_string(topic_count_);
        return false;
    }
    if (!is_hex_data(data)) {
        reason = "data is not hex";
        return false;
    }
    const std::uint64_t size = (data.size() - 2) / 2;
    if (data_static_ ? size != data_head_ : size < data_head_) {
        reason = "data is " + std::to_string(size) + " bytes, the event's " +
                 (data_static_ ? "static data is " : "head is ") + std::to_string(data_head_);
        return false;
    }
    // A legitimate encoding spends at least one word on every value but the
    // arrays and tuples around it: anything beyond that bound reuses data
    // through offsets, which could otherwise multiply without end.
    const std::size_t limit =
        values.size() + (size / 32 + 2) * (depth_ + 2) + arguments_.size();
    Walk walk(nodes_, data.data() + 2, size, values, reason, limit);
    std::uint64_t head = 0;
    std::size_t topic = 1;
    for (const Argument& a : arguments_) {
        if (!a.indexed) {
            if (!walk.item(a.node, head, 0)) return false;
            head += nodes_[a.node].head;
            continue;
        }
        const std::string_view t = topics[topic];
        if (t.size() != 66 || !is_hex_data(t)) {
            reason = "topic " + std::to_string(topic) + " is not a 32-byte hex word";
            return false;
        }
        if (!a.raw_topic && !check_word(nodes_[a.node], t.data() + 2, reason)) {
            reason = "topic " + std::to_string(topic) + ": " + reason;
            return false;
        }
        values.push_back(Value{t.data() + 2, 32});
        ++topic;
    }
    return true;
}

}  // namespace vorlane::abi
