// Solidity ABI decoding of event logs, straight from the log's hex text.
// An event's argument types are compiled once into a layout plan; each log
// is then checked against it as strictly as the reference decoders check
// (zero padding, sign extension, 0/1 booleans, offsets and lengths inside
// the data, valid UTF-8) and walked into a flat list of values that a
// binding turns into objects or text.  Nothing is thrown for a malformed
// log: it becomes a one-line reason.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::abi {

enum class Kind : std::uint8_t {
    unsigned_int,  // uint<N>
    signed_int,    // int<N>
    address,
    boolean,
    fixed_bytes,   // bytes<N>
    bytes,
    string,
    tuple,
    fixed_array,   // T[k]
    dynamic_array, // T[]
};

// One type of the plan.  Nodes refer to each other by index in the event's
// node list.
struct Node {
    Kind kind = Kind::unsigned_int;
    std::uint16_t size = 0;        // bits of an integer, bytes of bytes<N>
    std::uint32_t length = 0;      // elements of a fixed array
    bool dynamic = false;          // encoded in the tail, reached by an offset
    std::uint32_t head = 32;       // bytes it takes in its tuple's head
    std::uint32_t frame = 32;      // bytes its own encoding starts with
    std::uint32_t depth = 0;       // levels of arrays and tuples below it
    std::vector<std::uint32_t> children;  // tuple components, or the element
    std::vector<std::string> names;       // tuple component names ("" unnamed)
    std::string struct_name;              // a tuple's struct, from the ABI's internalType
    std::string canonical;                // "uint256", "(address,bool)[]"
};

// A parameter as an ABI describes it.
struct Param {
    std::string name;
    std::string type;  // "uint", "bytes32", "tuple[2][]", ...
    bool indexed = false;
    std::vector<Param> components;  // for tuple types
    std::string internal_type;      // "struct Pool.Key[]", when the ABI gives it
};

struct Argument {
    std::string name;
    bool indexed = false;
    // An indexed argument of a dynamic type or of a static array or tuple
    // type: the log holds only its hash, delivered as the raw topic.
    bool raw_topic = false;
    std::uint32_t node = 0;
};

// One decoded value, in pre-order of each argument's type.  A static value
// (an integer, address, bool, bytes<N>, a raw topic) is its 64-digit word;
// bytes and string are their content's digits and byte count; an array or
// tuple is its element count, its elements following.
struct Value {
    const char* hex = nullptr;
    std::uint32_t size = 0;
};

inline constexpr std::uint32_t kMaxDepth = 32;

class Event {
public:
    // The plan of event `name` with these inputs, or nullopt with `error`
    // naming the event and what is wrong with it.
    static std::optional<Event> compile(std::string_view name, std::span<const Param> inputs,
                                        std::string& error);

    [[nodiscard]] const std::string& name() const noexcept { return name_; }
    // "Transfer(address,address,uint256)"
    [[nodiscard]] const std::string& signature() const noexcept { return signature_; }
    [[nodiscard]] const std::vector<Node>& nodes() const noexcept { return nodes_; }
    [[nodiscard]] const std::vector<Argument>& arguments() const noexcept { return arguments_; }
    // 1 + the indexed arguments.
    [[nodiscard]] std::size_t topic_count() const noexcept { return topic_count_; }

    // Checks one log (its topics, topic0 included, and its data, "0x" and
    // hex digits of either case) and appends its values, argument by
    // argument in input order.  False with a one-line `reason` when the log
    // breaks the event's encoding; `values` is then unspecified.
    [[nodiscard]] bool decode(std::span<const std::string_view> topics, std::string_view data,
                              std::vector<Value>& values, std::string& reason) const;

private:
    Event() = default;
    std::string name_;
    std::string signature_;
    std::vector<Node> nodes_;
    std::vector<Argument> arguments_;
    std::size_t topic_count_ = 1;
    std::uint64_t data_head_ = 0;  // bytes of the non-indexed arguments' heads
    bool data_static_ = true;
    std::uint32_t depth_ = 0;
};

// True when `text` is "0x" and an even number of hex digits.
bool is_hex_data(std::string_view text) noexcept;

// The value of 16 hex digits (checked ones, either case).  Eight digits at a
// time: a digit's low nibble is its value, plus 9 for a letter (bit 6 set).
inline std::uint64_t hex_u64(const char* hex) noexcept {
    const auto half = [](const char* p) {
        std::uint64_t x;
        std::memcpy(&x, p, 8);  // p[0] in the low byte
        x = (x & 0x0F0F0F0F0F0F0F0Full) + 9 * ((x >> 6) & 0x0101010101010101ull);
        // Pairs of digits into bytes, then the four bytes together.
        x = ((x & 0x000F000F000F000Full) << 4) | ((x >> 8) & 0x000F000F000F000Full);
        x = (x | (x >> 8)) & 0x0000FFFF0000FFFFull;
        const auto v = static_cast<std::uint32_t>(x | (x >> 16));
        return std::uint64_t{__builtin_bswap32(v)};
    };
    return half(hex) << 32 | half(hex + 8);
}

// A 64-digit word as four 64-bit limbs, most significant first.
inline std::array<std::uint64_t, 4> word_limbs(const char* hex) noexcept {
    return {hex_u64(hex), hex_u64(hex + 16), hex_u64(hex + 32), hex_u64(hex + 48)};
}

// 2n hex digits as n bytes.
void hex_to_bytes(const char* hex, std::size_t n, std::uint8_t* out) noexcept;

// The decimal text of a word read as unsigned or as two's complement.
std::string word_decimal(const std::array<std::uint64_t, 4>& limbs, bool is_signed);
void append_word_decimal(std::string& out, const std::array<std::uint64_t, 4>& limbs,
                         bool is_signed);

}  // namespace vorlane::abi
