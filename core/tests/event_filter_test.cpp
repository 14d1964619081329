#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.hpp"
#include "vorlane/event_filter.hpp"

namespace vorlane {
namespace {

struct EqualCase {
    const char* name;
    std::string a;
    std::string b;
    bool expected;
};

class AsciiCaseInsensitiveEqual : public ::testing::TestWithParam<EqualCase> {};

TEST_P(AsciiCaseInsensitiveEqual, ComparesBothWays) {
    const EqualCase& c = GetParam();
    EXPECT_EQ(ascii_case_insensitive_equal(c.a, c.b), c.expected);
    EXPECT_EQ(ascii_case_insensitive_equal(c.b, c.a), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, AsciiCaseInsensitiveEqual,
    ::testing::Values(EqualCase{"Identical", "0xAbC", "0xAbC", true},
                      EqualCase{"Lower", "0xAbC", "0xabc", true},
                      EqualCase{"Upper", "0xAbC", "0XABC", true},
                      EqualCase{"NoPrefixHandling", "0xAbC", "abc", false},
                      EqualCase{"NoTrimming", "0xAbC", " 0xAbC", false},
                      EqualCase{"TrailingSpace", "0xAbC", "0xAbC ", false},
                      EqualCase{"EmptyVersusText", "0xAbC", "", false},
                      EqualCase{"Longer", "0xAbC", "0xAbCd", false},
                      EqualCase{"BothEmpty", "", "", true},
                      EqualCase{"NoUnicodeFolding", "Ä", "ä", false},
                      EqualCase{"Utf8Identical", "Straße", "STRAßE", true},
                      EqualCase{"NoSharpSFolding", "straße", "STRASSE", false},
                      // '@' (0x40) and '[' (0x5B) border 'A'..'Z'; their +0x20
                      // neighbours '`' and '{' must stay different.
                      EqualCase{"BelowA", "@", "`", false},
                      EqualCase{"AboveZ", "[", "{", false},
                      EqualCase{"AAndZ", "AZ", "az", true},
                      EqualCase{"EmbeddedNul", std::string("a\0B", 3), std::string("A\0b", 3),
                                true},
                      EqualCase{"NulVersusOther", std::string("a\0", 2), "a ", false},
                      EqualCase{"HighBytes", "\xC3\x84", "\xC3\xA4", false}),
    testing_support::CaseName{});

struct MatchCase {
    const char* name;
    std::vector<std::string> entries;
    std::string candidate;
    bool expected;
};

class FilterMatching : public ::testing::TestWithParam<MatchCase> {};

TEST_P(FilterMatching, AddressAndTopic0UseTheSameRuleOnTheirOwnList) {
    const MatchCase& c = GetParam();

    EventFilter by_address;
    for (const auto& e : c.entries) by_address.add_address(e);
    EXPECT_EQ(by_address.matches_address(c.candidate), c.expected);
    EXPECT_TRUE(by_address.matches_topic0(c.candidate));  // its topic list is empty

    EventFilter by_topic;
    for (const auto& e : c.entries) by_topic.add_topic0(e);
    EXPECT_EQ(by_topic.matches_topic0(c.candidate), c.expected);
    EXPECT_TRUE(by_topic.matches_address(c.candidate));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, FilterMatching,
    ::testing::Values(MatchCase{"EmptyListAcceptsAnything", {}, "whatever", true},
                      MatchCase{"EmptyListAcceptsEmpty", {}, "", true},
                      MatchCase{"SingleCaseFolded", {"0xAbC"}, "0XABC", true},
                      MatchCase{"SingleNoMatch", {"0xAbC"}, "0xAbCd", false},
                      MatchCase{"SecondEntryMatches", {"0x1", "0xAbC"}, "0xabc", true},
                      MatchCase{"NoneMatch", {"0x1", "0x2"}, "0x3", false},
                      MatchCase{"EmptyEntryMatchesOnlyEmpty", {""}, "", true},
                      MatchCase{"EmptyEntryRejectsText", {""}, "0x1", false},
                      MatchCase{"EmptyCandidateAgainstText", {"0x1"}, "", false},
                      MatchCase{"UnicodeNotFolded", {"Ä"}, "ä", false},
                      MatchCase{"DuplicatesHarmless", {"0xa", "0xA"}, "0xa", true}),
    testing_support::CaseName{});

TEST(EventFilterBuilders, ForAddressStartsWithThatAddressOnly) {
    EventFilter f = EventFilter::for_address("0xAbC");
    EXPECT_EQ(f.addresses, std::vector<std::string>{"0xAbC"});
    EXPECT_TRUE(f.topic0_values.empty());
    EXPECT_EQ(f.from_block, std::nullopt);
    EXPECT_EQ(f.to_block, std::nullopt);
    EXPECT_TRUE(f.matches_address("0xabc"));
    EXPECT_FALSE(f.matches_address("0xabd"));

    f.add_address("0xdef");
    f.set_from_block(7);
    EXPECT_EQ(f.addresses, (std::vector<std::string>{"0xAbC", "0xdef"}));
    EXPECT_EQ(f.from_block, 7U);
    EXPECT_TRUE(f.matches_address("0xDEF"));
}

}  // namespace
}  // namespace vorlane
