// The JSON-RPC answer decoder: answers it reads, in a compact rendering, and
// malformed answers with the exact failure each one gets.
#include "vorlane/rpc_decode.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.hpp"

namespace vorlane::rpc {
namespace {

std::string repeat(std::string_view unit, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += unit;
    return out;
}

const std::string kHash = "0x" + repeat("ab", 32);
const std::string kParent = "0x" + repeat("CD", 32);
const std::string kBloom = "0x" + repeat("0f", 255) + "F1";
const std::string kAddress = "0x" + repeat("11", 20);

std::string header_json(std::string_view number = "0x1b4", std::string_view hash = kHash,
                        std::string_view bloom = kBloom) {
    return R"({"number":")" + std::string(number) + R"(","hash":")" + std::string(hash) +
           R"(","parentHash":")" + kParent + R"(","timestamp":"0x5","logsBloom":")" +
           std::string(bloom) + R"(","miner":null,"transactions":[")" + kHash + R"(",")" + kHash +
           R"("]})";
}

std::string log_json(std::string_view extra = "", std::string_view topics = "") {
    return R"({"address":")" + kAddress + R"(","topics":[)" + std::string(topics) +
           R"(],"data":"0xAb","blockNumber":"0x01","transactionHash":")" + kHash +
           R"(","blockHash":")" + kHash + R"(","logIndex":"0x0")" + std::string(extra) + "}";
}

std::string ok(int id, const std::string& result) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":)" + result + "}";
}

// "n=<number> tx=<count> bloom=<first><last>" for a header, "[<block>/<index>
// <topic count> <data>[ tx=<transaction index>], ...]" for logs, the value of
// a quantity, "null", or
// "error <code> <message> <data>".
std::string render(const Answer& a) {
    std::string out;
    for (const Entry& e : a.entries) {
        if (!out.empty()) out += " | ";
        switch (e.state) {
            case Entry::State::null: out += "null"; break;
            case Entry::State::quantity: out += std::to_string(e.quantity); break;
            case Entry::State::header:
                out += "n=" + std::to_string(e.header.number) + " t=" +
                       std::to_string(e.header.timestamp) + " tx=" +
                       std::to_string(e.header.tx_count) + " bloom=" +
                       std::to_string(e.header.logs_bloom[0]) + "," +
                       std::to_string(e.header.logs_bloom[255]) + " parent=" +
                       std::string(e.header.parent_hash.substr(0, 6));
                break;
            case Entry::State::logs:
                out += "[";
                for (std::size_t i = e.logs_begin; i < e.logs_end; ++i) {
                    const Log& l = a.logs[i];
                    out += (i > e.logs_begin ? ", " : "") + std::to_string(l.block_number) + "/" +
                           std::to_string(l.log_index) + " " + std::to_string(l.topic_count) +
                           " " + std::string(l.data);
                    if (l.transaction_index) out += " tx=" + std::to_string(*l.transaction_index);
                }
                out += "]";
                break;
            case Entry::State::error:
                out += "error " + std::to_string(e.error.code) + " " + e.error.message + " " +
                       e.error.data.value_or("-");
                break;
        }
    }
    return out;
}

struct Case {
    std::string name;
    std::vector<std::uint8_t> kinds;
    std::string body;
    std::string expected;  // the rendering, or the failure's message
};

constexpr std::uint8_t H = 0, L = 1, Q = 2;

class Decodes : public ::testing::TestWithParam<Case> {};

TEST_P(Decodes, Renders) {
    const Case& c = GetParam();
    Decoder decoder;
    Answer answer;
    Failure failure;
    ASSERT_TRUE(decoder.decode(c.body, c.kinds, answer, failure)) << failure.message;
    EXPECT_EQ(render(answer), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    RpcDecode, Decodes,
    ::testing::Values(
        Case{"SingleQuantity", {Q}, ok(0, R"("0x00ff")"), "255"},
        Case{"SingleInArray", {Q}, "[" + ok(0, R"("0xA")") + "]", "10"},
        Case{"MaxQuantity", {Q}, ok(0, R"("0xFFFFFFFFFFFFFFFF")"), "18446744073709551615"},
        Case{"Header", {H}, ok(0, header_json()), "n=436 t=5 tx=2 bloom=15,241 parent=0xCDCD"},
        Case{"ShuffledBatch", {Q, H, L},
             "[" + ok(2, "[" + log_json() + "]") + "," + ok(0, "null") + "," +
                 ok(1, header_json("0x2")) + "]",
             "null | n=2 t=5 tx=2 bloom=15,241 parent=0xCDCD | [1/0 0 0xAb]"},
        Case{"ResultBeforeId", {Q, Q},
             R"([{"result":"0x2","id":1,"jsonrpc":"2.0"},{"id":0,"result":"0x1"}])", "1 | 2"},
        Case{"RemovedLogsLeftOut", {L},
             ok(0, "[" + log_json(R"(,"removed":true)") + "," +
                       log_json(R"(,"removed":false)", "\"" + kHash + "\",\"" + kHash + "\"") +
                       "]"),
             "[1/0 2 0xAb]"},
        Case{"TransactionIndexOrNone", {L},
             ok(0, "[" + log_json(R"(,"transactionIndex":"0x2a")") + "," +
                       log_json(R"(,"transactionIndex":null)") + "," + log_json() + "]"),
             "[1/0 0 0xAb tx=42, 1/0 0 0xAb, 1/0 0 0xAb]"},
        Case{"ErrorItems", {Q, L},
             R"([{"id":1,"error":{"code":-32005,"message":"too many","data":{"max":5}}},)"
             R"({"id":0,"error":{"message":"x\"y","code":3,"data":"0x1"}}])",
             "error 3 x\"y 0x1 | error -32005 too many {\"max\":5}"},
        Case{"SingleErrorWithNullId", {L},
             R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"bad"}})",
             "error -32600 bad -"}),
    testing_support::CaseName{});

class Refuses : public ::testing::TestWithParam<Case> {};

TEST_P(Refuses, WithMessage) {
    const Case& c = GetParam();
    Decoder decoder;
    Answer answer;
    Failure failure;
    ASSERT_FALSE(decoder.decode(c.body, c.kinds, answer, failure)) << render(answer);
    EXPECT_EQ(failure.message, c.expected);
}

const std::string kLong = "0x" + repeat("0", 120);

INSTANTIATE_TEST_SUITE_P(
    RpcDecode, Refuses,
    ::testing::Values(
        Case{"Empty", {Q}, " \n", "the answer is empty"},
        Case{"Html", {Q}, "<html><body>502 Bad Gateway</body></html>",
             "the answer is an HTML page, not JSON: '<html><body>502 Bad Gateway</body></html>'"},
        Case{"CutShort", {Q}, R"({"id":0,"result":"0x1)",
             R"(the answer is not valid JSON: cut short after 21 bytes, ending '{"id":0,"result":"0x1')"},
        Case{"CutShortObject", {Q, Q}, R"([{"id":0,"result":"0x1"},{"id":1)",
             R"(the answer is not valid JSON: cut short after 32 bytes, ending '[{"id":0,"result":"0x1"},{"id":1')"},
        Case{"Scalar", {Q}, " 42", "the answer is a number, not a JSON object or array: '42'"},
        Case{"Trailing", {Q}, ok(0, R"("0x1")") + " x",
             "the answer is not valid JSON: content after its end: 'x'"},
        Case{"UnknownKind", {Q, 3}, "[]", "unknown result kind 3 for call 1"},
        Case{"BatchRefused", {Q, Q},
             R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"batch too large"}})",
             "the node refused the batch: 'batch too large' (-32600)"},
        Case{"BatchAnsweredByOne", {Q, Q}, ok(0, R"("0x1")"),
             "expected an array of 2 responses, got one response object"},
        Case{"MissingId", {Q, Q}, "[" + ok(0, R"("0x1")") + R"(,{"result":"0x1"}])",
             "response at position 1: missing field 'id'"},
        Case{"DuplicateId", {Q, Q}, "[" + ok(0, R"("0x1")") + "," + ok(0, R"("0x1")") + "]",
             "response at position 1: duplicate id 0"},
        Case{"UnexpectedId", {Q, Q}, "[" + ok(2, R"("0x1")") + "]",
             "response at position 0: unexpected id 2"},
        Case{"AbsentCalls", {Q, Q, Q}, "[" + ok(1, R"("0x1")") + "]", "no response to calls 0, 2"},
        Case{"SingleWrongId", {Q}, ok(1, R"("0x1")"), "response: unexpected id 1"},
        Case{"BadId", {Q, Q}, R"([{"id":"0","result":"0x1"}])", R"(response at position 0: bad id: '"0"')"},
        Case{"NoResult", {Q}, R"({"id":0})", "response: neither a result nor an error"},
        Case{"Both", {Q}, R"({"id":0,"result":null,"error":{"code":1,"message":""}})",
             "response: both a result and an error"},
        Case{"LeadingZerosTooLong", {Q}, ok(0, R"("0x00010000000000000000")"),
             R"(response: result: does not fit in 64 bits: '"0x00010000000000000000"')"},
        Case{"EmptyQuantity", {Q}, ok(0, R"("0x")"), R"(response: result: no hex digits: '"0x"')"},
        Case{"QuantityNumber", {Q}, ok(0, "12"), "response: result: expected a hex quantity, got a number: '12'"},
        Case{"NoPrefix", {Q}, ok(0, R"("12")"), R"(response: result: missing 0x prefix: '"12"')"},
        Case{"MissingHeaderField", {H}, ok(0, R"({"number":"0x1"})"), "response: result: missing field 'hash'"},
        Case{"DuplicateHeaderField", {H}, ok(0, R"({"number":"0x1","number":"0x2"})"),
             "response: result: duplicate field 'number'"},
        Case{"ShortHash", {H}, ok(0, header_json("0x1", "0x" + repeat("ab", 31))),
             "response: result.hash: expected 32 bytes, got 31: '\"0x" + repeat("ab", 31) + "\"'"},
        Case{"NonHexHash", {H}, ok(0, header_json("0x1", "0x" + repeat("ab", 31) + "ag")),
             "response: result.hash: non-hex character 'g': '\"0x" + repeat("ab", 31) + "ag\"'"},
        Case{"OddData", {L}, ok(0, "[" + log_json() + "," + R"({"data":"0x123"}])"),
             R"(response: result[1].data: odd number of hex digits: '"0x123"')"},
        Case{"FiveTopics", {L}, ok(0, "[" + log_json("", repeat("\"" + kHash + "\",", 4) + "\"" + kHash + "\"") + "]"),
             "response: result[0].topics: more than 4 topics: '[\"" + kHash + "\",\"0x" + repeat("ab", 13) + "a'..."},
        Case{"BadTopic", {L}, ok(0, "[" + log_json("", R"("0x12")") + "]"),
             R"(response: result[0].topics[0]: expected 32 bytes, got 1: '"0x12"')"},
        Case{"RemovedNotBool", {L}, ok(0, "[" + log_json(R"(,"removed":"yes")") + "]"),
             R"(response: result[0].removed: expected a boolean, got a string: '"yes"')"},
        Case{"TransactionIndexNumber", {L}, ok(0, "[" + log_json(R"(,"transactionIndex":5)") + "]"),
             "response: result[0].transactionIndex: expected a hex quantity, got a number: '5'"},
        Case{"LogsNotArray", {L}, ok(0, "{}"), "response: result: expected an array, got an object: '{}}'"},
        Case{"EscapedHex", {Q}, ok(0, R"("0x\u0031")"), R"(response: result: escape sequence in a hex string: '"0x\\u0031"}')"},
        Case{"ErrorWithoutCode", {Q}, R"({"id":0,"error":{"message":"m"}})", "response: error: missing field 'code'"},
        Case{"LongQuote", {Q}, ok(0, "\"" + kLong + "g\""),
             "response: result: non-hex character 'g': '\"" + kLong.substr(0, 99) + "'..."},
        Case{"InvalidUtf8", {Q}, "{\"id\":0,\"result\":\"\xff\"}",
             R"(the answer is not valid JSON (invalid UTF-8): '{"id":0,"result":"\xff"}')"},
        Case{"Unbalanced", {Q}, R"({"id":0,"result":"0x1","x":[1,}  )",
             R"(the answer is not valid JSON (bad structure): '{"id":0,"result":"0x1","x":[1,}  ')"},
        Case{"BadJsonInside", {Q, Q}, R"([{"id":0,"result":"0x1"} {"id":1,"result":"0x1"}])",
             R"(the answer is not valid JSON (bad structure) at byte 25: '{"id":1,"result":"0x1"}]')"}),
    testing_support::CaseName{});

// A logs bloom as the full 256 bytes or as a quantity (leading zeros
// dropped, any digit count): "<index>:<byte>" for each byte that is not zero.
class ReadsBloom : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(ReadsBloom, LeftPadded) {
    const auto& [bloom, expected] = GetParam();
    Decoder decoder;
    Answer answer;
    Failure failure;
    const std::vector<std::uint8_t> kinds{H};
    ASSERT_TRUE(decoder.decode(ok(0, header_json("0x1", kHash, bloom)), kinds, answer, failure))
        << failure.message;
    std::string nonzero;
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto& bytes = answer.entries[0].header.logs_bloom;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i])
            nonzero += (nonzero.empty() ? "" : " ") + std::to_string(i) + ":" +
                       kDigits[bytes[i] >> 4] + kDigits[bytes[i] & 15];
    EXPECT_EQ(nonzero, expected);
}

INSTANTIATE_TEST_SUITE_P(
    RpcDecode, ReadsBloom,
    ::testing::Values(std::pair{"0x0", ""}, std::pair{"0x1a", "255:1a"},
                      std::pair{"0x1Ab", "254:01 255:ab"},
                      std::pair{"0x" + repeat("0", 509) + "100", "254:01"},
                      std::pair{"0x8" + repeat("0", 510) + "1", "0:80 255:01"},
                      std::pair{"0xf" + repeat("0", 510), "0:0f"}));

INSTANTIATE_TEST_SUITE_P(
    RpcBloom, Refuses,
    ::testing::Values(
        Case{"Empty", {H}, ok(0, header_json("0x1", kHash, "0x")),
             R"(response: result.logsBloom: no hex digits: '"0x"')"},
        Case{"TooLong", {H}, ok(0, header_json("0x1", kHash, "0x1" + repeat("0", 512))),
             "response: result.logsBloom: more than 512 hex digits: '\"0x1" + repeat("0", 96) +
                 "'..."},
        Case{"NonHex", {H}, ok(0, header_json("0x1", kHash, "0x1g")),
             R"(response: result.logsBloom: non-hex character 'g': '"0x1g"')"},
        Case{"NoPrefix", {H}, ok(0, header_json("0x1", kHash, "1a")),
             R"(response: result.logsBloom: missing 0x prefix: '"1a"')"}),
    testing_support::CaseName{});

TEST(RpcDecode, QuoteEscapesAndCuts) {
    EXPECT_EQ(quote("a'b\\c\n\xff"), R"('a\'b\\c\x0a\xff')");
    EXPECT_EQ(quote(std::string(101, 'x')), "'" + std::string(100, 'x') + "'...");
}

}  // namespace
}  // namespace vorlane::rpc
