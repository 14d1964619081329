#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "case_name.hpp"
#include "vorlane/indexer_config.hpp"

namespace vorlane {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

const std::string kDefaultJson =
    R"({"id":"default","chain":"ethereum","from_block":0,"to_block":null,"confirmation_depth":12,)"
    R"("batch_size":1000,"checkpoint_interval":100,"poll_interval_ms":2000,)"
    R"("filter":{"addresses":[],"topic0_values":[],"from_block":null,"to_block":null}})";

// The default text with `id` replaced by the given JSON string literal.
std::string default_with_id(const std::string& id_literal) {
    return R"({"id":)" + id_literal + kDefaultJson.substr(std::string(R"({"id":"default")").size());
}

struct JsonCase {
    const char* name;
    std::function<void(IndexerConfig&)> edit;
    std::string expected;
};

class IndexerConfigJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(IndexerConfigJson, WritesExactText) {
    IndexerConfig config;
    GetParam().edit(config);
    const auto json = config.to_json();
    ASSERT_TRUE(json.ok()) << json.error();
    EXPECT_EQ(json.value(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IndexerConfigJson,
    ::testing::Values(
        JsonCase{"Default", [](IndexerConfig&) {}, kDefaultJson},
        JsonCase{"ToBlockZeroIsPresent", [](IndexerConfig& c) { c.to_block = 0; },
                 R"({"id":"default","chain":"ethereum","from_block":0,"to_block":0,)"
                 R"("confirmation_depth":12,"batch_size":1000,"checkpoint_interval":100,)"
                 R"("poll_interval_ms":2000,"filter":{"addresses":[],"topic0_values":[],)"
                 R"("from_block":null,"to_block":null}})"},
        JsonCase{"MaxUnsignedEverywhere",
                 [](IndexerConfig& c) {
                     c.from_block = kMax;
                     c.to_block = kMax;
                     c.confirmation_depth = kMax;
                     c.batch_size = kMax;
                     c.checkpoint_interval = kMax;
                     c.poll_interval_ms = kMax;
                     c.filter.from_block = kMax;
                     c.filter.to_block = kMax;
                 },
                 R"({"id":"default","chain":"ethereum","from_block":18446744073709551615,)"
                 R"("to_block":18446744073709551615,"confirmation_depth":18446744073709551615,)"
                 R"("batch_size":18446744073709551615,"checkpoint_interval":18446744073709551615,)"
                 R"("poll_interval_ms":18446744073709551615,"filter":{"addresses":[],)"
                 R"("topic0_values":[],"from_block":18446744073709551615,)"
                 R"("to_block":18446744073709551615}})"},
        JsonCase{"QuoteAndBackslash", [](IndexerConfig& c) { c.id = R"(a"b\c)"; },
                 default_with_id(R"("a\"b\\c")")},
        JsonCase{"ShortEscapes", [](IndexerConfig& c) { c.id = "\b\t\n\f\r"; },
                 default_with_id(R"("\b\t\n\f\r")")},
        JsonCase{"ControlU0001", [](IndexerConfig& c) { c.id = "x\x01y"; },
                 default_with_id(R"("x\u0001y")")},
        JsonCase{"ControlU001FLowercaseHex", [](IndexerConfig& c) { c.id = "\x1f"; },
                 default_with_id(R"("\u001f")")},
        JsonCase{"NulCharacter", [](IndexerConfig& c) { c.id = std::string("a\0b", 3); },
                 default_with_id(R"("a\u0000b")")},
        JsonCase{"DeleteSlashAndNonAsciiUnchanged",
                 [](IndexerConfig& c) { c.id = "\x7f/é€😀"; },
                 default_with_id("\"\x7f/é€😀\"")},
        JsonCase{"FilledFilter",
                 [](IndexerConfig& c) {
                     c.id = "transfers";
                     c.chain = "base";
                     c.from_block = 5;
                     c.to_block = 900;
                     c.confirmation_depth = 0;
                     c.batch_size = 1;
                     c.checkpoint_interval = 2;
                     c.poll_interval_ms = 3;
                     c.filter = EventFilter::for_address("0xAbC");
                     c.filter.add_address("0xdef");
                     c.filter.add_topic0("0xddf2");
                     c.filter.add_topic0("");
                     c.filter.set_from_block(10);
                 },
                 R"({"id":"transfers","chain":"base","from_block":5,"to_block":900,)"
                 R"("confirmation_depth":0,"batch_size":1,"checkpoint_interval":2,)"
                 R"("poll_interval_ms":3,"filter":{"addresses":["0xAbC","0xdef"],)"
                 R"("topic0_values":["0xddf2",""],"from_block":10,"to_block":null}})"},
        JsonCase{"EscapesInsideFilterArrays",
                 [](IndexerConfig& c) { c.filter.add_address("q\"\n"); },
                 R"({"id":"default","chain":"ethereum","from_block":0,"to_block":null,)"
                 R"("confirmation_depth":12,"batch_size":1000,"checkpoint_interval":100,)"
                 R"("poll_interval_ms":2000,"filter":{"addresses":["q\"\n"],"topic0_values":[],)"
                 R"("from_block":null,"to_block":null}})"}),
    testing_support::CaseName{});

struct InvalidCase {
    const char* name;
    std::function<void(IndexerConfig&)> edit;
    std::string expected_error;
};

class IndexerConfigInvalidUtf8 : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(IndexerConfigInvalidUtf8, FailsWithTheWriterMessage) {
    IndexerConfig config;
    GetParam().edit(config);
    const auto json = config.to_json();
    ASSERT_FALSE(json.ok());
    EXPECT_EQ(json.error(), GetParam().expected_error);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IndexerConfigInvalidUtf8,
    ::testing::Values(
        InvalidCase{"LoneContinuationInId", [](IndexerConfig& c) { c.id = "a\xff"; },
                    "[json.exception.type_error.316] invalid UTF-8 byte at index 1: 0xFF"},
        InvalidCase{"TruncatedSequenceInChain", [](IndexerConfig& c) { c.chain = "\xc3"; },
                    "[json.exception.type_error.316] incomplete UTF-8 string; last byte: 0xC3"},
        InvalidCase{"InFilterTopic", [](IndexerConfig& c) { c.filter.add_topic0("ok\x80"); },
                    "[json.exception.type_error.316] invalid UTF-8 byte at index 2: 0x80"}),
    testing_support::CaseName{});

// Plain-ASCII configs take the direct writer; the JSON library is the
// oracle.  Texts of every length up to past two 16-byte blocks, with every
// ASCII byte (escapes included) at random places, and numbers of every width.
TEST(IndexerConfigJsonWriter, AgreesWithTheJsonLibraryOnRandomAsciiConfigs) {
    std::mt19937_64 rng(20240517);
    const auto text = [&] {
        std::string t(rng() % 40, '\0');
        const bool mostly_plain = rng() % 2 == 0;
        for (char& c : t)
            c = static_cast<char>(mostly_plain && rng() % 8 != 0 ? 0x20 + rng() % 95 : rng() % 128);
        return t;
    };
    const auto number = [&] { return rng() >> (rng() % 64); };
    const auto maybe = [&]() -> std::optional<std::uint64_t> {
        if (rng() % 3 == 0) return std::nullopt;
        return number();
    };
    using Json = nlohmann::ordered_json;
    const auto optional_json = [](const std::optional<std::uint64_t>& v) { return v ? Json(*v) : Json(nullptr); };
    for (int round = 0; round < 2000; ++round) {
        IndexerConfig c;
        c.id = text();
        c.chain = text();
        c.from_block = number();
        c.to_block = maybe();
        c.confirmation_depth = number();
        c.batch_size = number();
        c.checkpoint_interval = number();
        c.poll_interval_ms = number();
        Json addresses = Json::array(), topics = Json::array();
        for (std::uint64_t k = rng() % 4; k > 0; --k) {
            const std::string a = text();
            c.filter.add_address(a);
            addresses.push_back(a);
        }
        for (std::uint64_t k = rng() % 4; k > 0; --k) {
            const std::string t = text();
            c.filter.add_topic0(t);
            topics.push_back(t);
        }
        c.filter.from_block = maybe();
        c.filter.to_block = maybe();

        Json filter = Json::object();
        filter["addresses"] = addresses;
        filter["topic0_values"] = topics;
        filter["from_block"] = optional_json(c.filter.from_block);
        filter["to_block"] = optional_json(c.filter.to_block);
        Json j = Json::object();
        j["id"] = c.id;
        j["chain"] = c.chain;
        j["from_block"] = c.from_block;
        j["to_block"] = optional_json(c.to_block);
        j["confirmation_depth"] = c.confirmation_depth;
        j["batch_size"] = c.batch_size;
        j["checkpoint_interval"] = c.checkpoint_interval;
        j["poll_interval_ms"] = c.poll_interval_ms;
        j["filter"] = filter;

        const auto json = c.to_json();
        ASSERT_TRUE(json.ok());
        ASSERT_EQ(json.value(), j.dump()) << "round " << round;
        ASSERT_EQ(c.ascii_json_size(), json.value().size());
    }
}

}  // namespace
}  // namespace vorlane
