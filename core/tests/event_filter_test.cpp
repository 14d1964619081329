#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "case_name.hpp"
#include "vorlane/event_filter.hpp"

namespace vorlane {
namespace {

std::vector<std::string> texts(const TextList& list) {
    return {list.begin(), list.end()};
}

// The rule, one byte at a time.
bool reference_equal(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return fold(x) == fold(y); });
}

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
    EXPECT_EQ(texts(f.addresses), std::vector<std::string>{"0xAbC"});
    EXPECT_TRUE(f.topic0_values.empty());
    EXPECT_EQ(f.from_block, std::nullopt);
    EXPECT_EQ(f.to_block, std::nullopt);
    EXPECT_TRUE(f.matches_address("0xabc"));
    EXPECT_FALSE(f.matches_address("0xabd"));

    f.add_address("0xdef");
    f.set_from_block(7);
    EXPECT_EQ(texts(f.addresses), (std::vector<std::string>{"0xAbC", "0xdef"}));
    EXPECT_EQ(f.from_block, 7U);
    EXPECT_TRUE(f.matches_address("0xDEF"));
}

// The comparison works on eight bytes at a time; every length around a word
// boundary, every position and every pair of bytes next to or across the
// letter ranges (and their copies from 0x80 up, which differ by 0x20 too)
// must agree with the byte-wise rule.
TEST(AsciiCaseInsensitiveEqualWords, AgreesWithTheByteRuleAtEveryPosition) {
    const std::string interesting = std::string("@AMZ[`amz{0\x7f\x80\xc1\xe1\xda\xfa\xff", 18) +
                                    std::string(1, '\0');
    for (std::size_t n : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 42u, 66u}) {
        SCOPED_TRACE(n);
        const std::string base(n, 'q');
        for (std::size_t pos = 0; pos < n; ++pos) {
            for (char x : interesting) {
                for (char y : interesting) {
                    std::string a = base, b = base;
                    a[pos] = x;
                    b[pos] = y;
                    ASSERT_EQ(ascii_case_insensitive_equal(a, b), reference_equal(a, b))
                        << "pos " << pos << ": " << int(static_cast<unsigned char>(x)) << " vs "
                        << int(static_cast<unsigned char>(y));
                }
            }
        }
    }
}

TEST(TextListTest, KeepsEntriesInOrderThroughGrowthCopiesAndMoves) {
    TextList list;
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.begin(), list.end());
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        // Lengths 0..40, some empty, so both parts of the block grow unevenly.
        std::string t(static_cast<std::size_t>(i % 41), static_cast<char>('a' + i % 26));
        list.push_back(t);
        expected.push_back(t);
    }
    ASSERT_EQ(list.size(), expected.size());
    EXPECT_EQ(texts(list), expected);
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(list[i], expected[i]);

    TextList copy = list;
    EXPECT_EQ(copy, list);
    copy.push_back("extra");
    EXPECT_NE(copy, list);
    EXPECT_EQ(texts(list), expected);  // the original is untouched

    TextList moved = std::move(copy);
    EXPECT_EQ(moved.size(), expected.size() + 1);
    copy = list;  // a moved-from list can be assigned again
    EXPECT_EQ(copy, list);
    copy = copy;
    EXPECT_EQ(copy, list);
}

TEST(TextListTest, EqualityComparesEntriesNotJustTheirBytes) {
    TextList ab, a_b, ab_again;
    ab.push_back("ab");
    a_b.push_back("a");
    a_b.push_back("b");
    ab_again.push_back("ab");
    EXPECT_NE(ab, a_b);
    EXPECT_EQ(ab, ab_again);
    TextList empty_entry;
    empty_entry.push_back("");
    EXPECT_NE(empty_entry, TextList{});
}

TEST(TextListTest, ScanAgreesWithTheRuleOnAMixedList) {
    TextList list;
    std::vector<std::string> entries;
    for (int i = 0; i < 200; ++i) {
        std::string t = "0x" + std::to_string(i * 7919) + (i % 3 ? "AbCdEf" : "") +
                        std::string(static_cast<std::size_t>(i % 9), 'Z');
        list.push_back(t);
        entries.push_back(t);
    }
    std::vector<std::string> candidates = {"", "0x", "0x0", "0X0ABCDEF", "0x7919abcdefz"};
    for (const auto& e : entries) {
        std::string other = e;
        for (char& c : other) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32)
                              : (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        candidates.push_back(other);
        candidates.push_back(other + "z");
        candidates.push_back(other.substr(0, other.size() - 1) + "\x7f");
    }
    for (const auto& c : candidates) {
        const bool expected = std::any_of(entries.begin(), entries.end(),
                                          [&](const std::string& e) { return reference_equal(e, c); });
        EXPECT_EQ(list.contains_ascii_folded(c), expected) << c;
    }
}

}  // namespace
}  // namespace vorlane
