// The event decoder: the plans it compiles, the values it walks out of
// encodings and the exact reason each malformed log gets.
#include "vorlane/abi.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.hpp"

namespace vorlane::abi {
namespace {

// A word of 64 digits: `tail` right-aligned in `fill` digits.
std::string word(std::string_view tail, char fill = '0') {
    return std::string(64 - tail.size(), fill) + std::string(tail);
}

std::string repeat(std::string_view unit, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += unit;
    return out;
}

// "t a b c" describes inputs: each of "name:type" with an "!" suffix for an
// indexed one and "(t1,t2)" components after a tuple type.
Param param(std::string_view text) {
    Param p;
    const std::size_t colon = text.find(':');
    p.name = std::string(text.substr(0, colon));
    std::string_view type = text.substr(colon + 1);
    if (type.ends_with('!')) {
        p.indexed = true;
        type.remove_suffix(1);
    }
    if (const std::size_t open = type.find('('); open != std::string_view::npos) {
        std::string_view inner = type.substr(open + 1, type.rfind(')') - open - 1);
        std::size_t i = 0;
        while (!inner.empty()) {
            const std::size_t comma = inner.find(',');
            Param c;
            c.name = 'c';
            c.name += std::to_string(i++);
            c.type = std::string(inner.substr(0, comma));
            p.components.push_back(c);
            inner = comma == std::string_view::npos ? "" : inner.substr(comma + 1);
        }
        p.type = std::string(type.substr(0, open)) + std::string(type.substr(type.rfind(')') + 1));
    } else {
        p.type = std::string(type);
    }
    return p;
}

std::vector<Param> params(std::initializer_list<std::string_view> texts) {
    std::vector<Param> out;
    for (auto t : texts) out.push_back(param(t));
    return out;
}

// Values rendered: a word by its last 8 digits, bytes/string content in
// full with its length, arrays and tuples as "#count".
std::string render(const std::vector<Value>& values) {
    std::string out;
    for (const Value& v : values) {
        if (!out.empty()) out += ' ';
        if (!v.hex) out += std::string("#") + std::to_string(v.size);
        else if (v.size == 32 && std::string_view(v.hex, 64).find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos)
            out += std::string(v.hex + 56, 8);
        else out += std::to_string(v.size) + std::string(":") + std::string(v.hex, 2 * v.size);
    }
    return out;
}

struct PlanCase {
    std::string name;
    std::vector<Param> inputs;
    std::string expected;  // signature and topic count, or the error
};

class Plan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(Plan, CompilesOrRefuses) {
    const PlanCase& c = GetParam();
    std::string error;
    const auto event = Event::compile("E", c.inputs, error);
    EXPECT_EQ(event ? event->signature() + std::string(" ") + std::to_string(event->topic_count()) : error,
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Abi, Plan,
    ::testing::Values(
        PlanCase{"aliases", params({"a:uint!", "b:int", "c:bytes32", "d:uint8[2][]"}),
                 "E(uint256,int256,bytes32,uint8[2][]) 2"},
        PlanCase{"tuple", params({"a:tuple(address,string)[3]", "b:bool!"}),
                 "E((address,string)[3],bool) 2"},
        PlanCase{"duplicate", params({"a:uint8", "a:bool"}), "event E has two arguments named 'a'"},
        PlanCase{"fixed", params({"a:fixed128x18"}), "event E: unsupported type 'fixed128x18'"},
        PlanCase{"odd_bits", params({"a:uint7"}), "event E: unsupported type 'uint7'"},
        PlanCase{"leading_zero", params({"a:uint08"}), "event E: unsupported type 'uint08'"},
        PlanCase{"bytes33", params({"a:bytes33"}), "event E: unsupported type 'bytes33'"},
        PlanCase{"zero_array", params({"a:bool[0]"}), "event E: unsupported type 'bool[0]'"},
        PlanCase{"open_bracket", params({"a:bool[2"}), "event E: unsupported type 'bool[2'"},
        PlanCase{"function", params({"a:function"}), "event E: unsupported type 'function'"},
        PlanCase{"empty_tuple", params({"a:tuple"}), "event E: tuple type 'tuple' has no components"},
        PlanCase{"too_deep", params({"a:bool" + repeat("[]", 33)}),
                 "event E: type 'bool" + repeat("[]", 33) + "' is nested more than 32 levels deep"},
        PlanCase{"huge", params({"a:uint256[65536][65536]"}),
                 "event E: type 'uint256[65536][65536]' is too large"},
        PlanCase{"four_indexed", params({"a:bool!", "b:bool!", "c:bool!", "d:bool!"}),
                 "event E has 4 indexed arguments; a log holds at most 3"}),
    testing_support::CaseName{});

struct LogCase {
    std::string name;
    std::vector<Param> inputs;
    std::vector<std::string> topics;  // after topic0
    std::string data;                 // digits after "0x"
    std::string expected;             // rendered values, or the reason
};

class Decode : public ::testing::TestWithParam<LogCase> {};

TEST_P(Decode, WalksOrRejects) {
    const LogCase& c = GetParam();
    std::string error;
    const auto event = Event::compile("E", c.inputs, error);
    ASSERT_TRUE(event) << error;
    std::vector<std::string> texts{std::string("0x") + word("")};
    for (const auto& t : c.topics) texts.push_back("0x" + t);
    std::vector<std::string_view> topics(texts.begin(), texts.end());
    const std::string data = "0x" + c.data;
    std::vector<Value> values;
    std::string reason;
    const bool ok = event->decode(topics, data, values, reason);
    EXPECT_EQ(ok ? render(values) : reason, c.expected);
}

const std::string kAddr = word("00000000000000000000000000000000000000a1");
const std::string kOne = word("1");
const std::string kTwo = word("2");

INSTANTIATE_TEST_SUITE_P(
    Abi, Decode,
    ::testing::Values(
        LogCase{"transfer", params({"f:address!", "t:address!", "v:uint256"}), {kAddr, kAddr},
                word("FF"), "000000a1 000000a1 000000FF"},
        LogCase{"negative_int24", params({"t:int24"}), {}, word("fffffe", 'f'), "fffffffe"},
        LogCase{"dynamic", params({"s:string", "n:uint8[]", "b:bytes"}), {},
                word("60") + word("a0") + word("100") + word("3") + word("616263").substr(58) +
                    std::string(58, '0') + word("2") + kOne + kTwo + word("0") ,
                "3:616263 #2 00000001 00000002 0:"},
        LogCase{"tuple_array", params({"p:tuple(uint8,string)[]"}), {},
                word("20") + word("1") + word("20") + word("7") + word("40") + word("1") +
                    std::string("78") + std::string(62, '0'),
                "#1 #2 00000007 1:78"},
        LogCase{"empty_arrays", params({"a:uint8[][]", "b:bool"}), {},
                word("40") + kOne + word("1") + word("20") + word("0"), "#1 #0 00000001"},
        LogCase{"raw_topic", params({"s:string!"}), {word("abc", 'e')}, "", "eeeeeabc"},
        LogCase{"backwards_offset", params({"a:bytes", "b:bytes"}), {},
                word("40") + word("40") + word("1") + std::string("ab") + std::string(62, '0'),
                "1:ab 1:ab"},
        LogCase{"topic_count", params({"a:address!"}), {}, "", "1 topics, the event has 2"},
        LogCase{"short_static", params({"a:uint256"}), {}, std::string(62, '0'),
                "data is 31 bytes, the event's static data is 32"},
        LogCase{"long_static", params({"a:uint256"}), {}, kOne + "00",
                "data is 33 bytes, the event's static data is 32"},
        LogCase{"short_head", params({"a:string", "b:uint8"}), {}, word("40"),
                "data is 32 bytes, the event's head is 64"},
        LogCase{"odd_digits", params({"a:bytes"}), {}, "0", "data is not hex"},
        LogCase{"not_hex", params({"a:uint8"}), {}, word("g"), "data is not hex"},
        LogCase{"bool", params({"a:bool"}), {}, kTwo, "bool value 2"},
        LogCase{"address_topic", params({"a:address!"}), {word("1", 'f')}, "",
                "topic 1: dirty padding in address"},
        LogCase{"short_topic", params({"a:bytes32!"}), {"ab"}, "",
                "topic 1 is not a 32-byte hex word"},
        LogCase{"uint_padding", params({"a:uint8"}), {}, word("100"), "dirty padding in uint8"},
        LogCase{"sign", params({"a:int16"}), {}, word("8000"), "int16 not sign-extended"},
        LogCase{"sign_high", params({"a:int16"}), {}, word("7fff", 'f'), "int16 not sign-extended"},
        LogCase{"bytes_padding", params({"a:bytes2"}), {}, std::string("abcd01") + std::string(58, '0'),
                "dirty padding in bytes2"},
        LogCase{"offset", params({"a:bytes"}), {}, word("1000"), "offset 4096 out of range"},
        LogCase{"huge_offset", params({"a:bytes"}), {}, word(std::string("1") + std::string(16, '0')),
                "offset 18446744073709551616 out of range"},
        LogCase{"length", params({"a:bytes"}), {}, word("20") + word("21") + kOne,
                "length 33 out of range"},
        LogCase{"array_length", params({"a:uint8[]"}), {}, word("20") + word("2") + kOne,
                "length 2 out of range"},
        LogCase{"content_padding", params({"a:bytes"}), {}, word("20") + kOne + std::string("ab") + word("1").substr(2),
                "dirty padding after bytes"},
        LogCase{"utf8", params({"a:string"}), {}, word("20") + word("2") + std::string("c0af") + std::string(60, '0'),
                "invalid UTF-8 in string"},
        LogCase{"surrogate", params({"a:string"}), {}, word("20") + word("3") + std::string("eda080") + std::string(58, '0'),
                "invalid UTF-8 in string"},
        // An outer array whose every offset points at one inner array.
        // Six-element arrays at three levels whose offsets all point at the
        // one array of the next level: 259 values from 22 words.
        LogCase{"reuse", params({"a:uint8[][][]"}), {},
                word("20") + repeat(word("6") + repeat(word("c0"), 6), 2) + word("6") + repeat(kOne, 6),
                "more values than the data can hold"}),
    testing_support::CaseName{});

TEST(AbiWord, DecimalOfWords) {
    const auto dec = [](std::string_view hex, bool is_signed) {
        const std::string w = word(hex, is_signed && hex[0] >= '8' ? 'f' : '0');
        return word_decimal(word_limbs(w.data()), is_signed);
    };
    EXPECT_EQ(dec("0", false), "0");
    EXPECT_EQ(dec("8ac7230489e80000", false), "10000000000000000000");
    EXPECT_EQ(dec("8AC7230489E80000", false), "10000000000000000000");
    EXPECT_EQ(dec(std::string(64, 'f'), false),
              "115792089237316195423570985008687907853269984665640564039457584007913129639935");
    EXPECT_EQ(dec(std::string("8") + std::string(63, '0'), true),
              "-57896044618658097711785492504343953926634992332820282019728792003956564819968");
    EXPECT_EQ(dec("ff85", true), "-123");
}

}  // namespace
}  // namespace vorlane::abi
