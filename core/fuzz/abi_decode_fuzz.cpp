// libFuzzer target for the event decoder.  The first byte picks one of a
// few event layouts (static and dynamic types, nested arrays and tuples,
// indexed arguments) and whether the rest is taken as raw text; otherwise
// the rest is hex-encoded: 32 bytes for each indexed argument's topic, then
// the data.  With 0xff first, the rest is a type compiled on its own.
//
// Every input must end as values or a one-line reason, and the values must
// match the plan: each one inside the log's text, exactly as many as a walk
// of the argument types consumes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "vorlane/abi.hpp"

namespace {

using vorlane::abi::Event;
using vorlane::abi::Kind;
using vorlane::abi::Node;
using vorlane::abi::Param;
using vorlane::abi::Value;

void check(bool ok) {
    if (!ok) std::abort();
}

Param p(std::string type, bool indexed = false, std::vector<Param> components = {}) {
    return Param{"a", std::move(type), indexed, std::move(components), ""};
}

std::vector<Event> events() {
    const std::vector<std::vector<Param>> inputs = {
        {p("address", true), p("address", true), p("uint256")},
        {p("address", true), p("address", true), p("int256"), p("int256"), p("uint160"),
         p("uint128"), p("int24")},
        {p("string"), p("bytes"), p("uint8[2][]"), p("bool[]")},
        {p("tuple[]", false, {p("uint16"), p("string[]"), p("tuple[]", false, {p("bytes3"), p("int8")})}),
         p("string", true)},
        {p("uint256[][][][]")},
        {p("tuple[2]", false, {p("address"), p("bool[3]")}), p("bytes32", true), p("int40")},
    };
    std::vector<Event> out;
    for (auto in : inputs) {
        for (std::size_t i = 0; i < in.size(); ++i) in[i].name += std::to_string(i);
        std::string error;
        auto e = Event::compile("E", in, error);
        check(e.has_value());
        out.push_back(std::move(*e));
    }
    return out;
}

struct Checker {
    const std::vector<Node>& nodes;
    const std::vector<Value>& values;
    std::string_view data;
    const std::vector<std::string>& topics;
    std::size_t pos = 0;

    bool inside(const char* p, std::size_t digits) const {
        const auto in = [&](std::string_view t) {
            return p >= t.data() && p + digits <= t.data() + t.size();
        };
        if (in(data)) return true;
        for (const auto& t : topics)
            if (in(t)) return true;
        return false;
    }

    void walk(std::uint32_t index) {
        check(pos < values.size());
        const Node& n = nodes[index];
        const Value& v = values[pos++];
        switch (n.kind) {
            case Kind::tuple:
                check(!v.hex && v.size == n.children.size());
                for (const auto c : n.children) walk(c);
                return;
            case Kind::fixed_array:
            case Kind::dynamic_array:
                check(!v.hex && (n.kind == Kind::dynamic_array || v.size == n.length));
                for (std::uint32_t i = 0; i < v.size; ++i) walk(n.children[0]);
                return;
            case Kind::bytes:
            case Kind::string: check(v.hex && inside(v.hex, 2 * std::size_t{v.size})); return;
            default:
                check(v.hex && v.size == 32 && inside(v.hex, 64));
                (void)vorlane::abi::word_decimal(vorlane::abi::word_limbs(v.hex),
                                                 n.kind == Kind::signed_int);
        }
    }
};

std::string hex(const std::uint8_t* p, std::size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out = "0x";
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    static const std::vector<Event> table = events();
    if (size == 0) return 0;
    const std::uint8_t head = input[0];
    ++input;
    --size;
    std::string error;
    if (head == 0xff) {
        const std::string type(reinterpret_cast<const char*>(input), size);
        const std::vector<Param> in{p(type)};
        const auto e = Event::compile("E", in, error);
        check(e.has_value() != !error.empty());
        if (e) check(e->nodes()[e->arguments()[0].node].depth <= vorlane::abi::kMaxDepth);
        return 0;
    }
    const Event& event = table[(head & 0x7f) % table.size()];
    std::vector<std::string> topics{"0x" + std::string(64, '0')};
    for (std::size_t i = 1; i < event.topic_count(); ++i) {
        const std::size_t n = size < 32 ? size : 32;
        topics.push_back(hex(input, n));
        input += n;
        size -= n;
    }
    const std::string data = head & 0x80 ? std::string(reinterpret_cast<const char*>(input), size)
                                         : hex(input, size);
    std::vector<std::string_view> views(topics.begin(), topics.end());
    std::vector<Value> values;
    std::string reason;
    if (!event.decode(views, data, values, reason)) {
        check(!reason.empty() && reason.find('\n') == std::string::npos);
        return 0;
    }
    Checker checker{event.nodes(), values, data, topics};
    for (const auto& a : event.arguments()) {
        if (a.raw_topic) {
            check(checker.pos < values.size() && checker.inside(values[checker.pos].hex, 64));
            ++checker.pos;
        } else {
            checker.walk(a.node);
        }
    }
    check(checker.pos == values.size());
    return 0;
}
