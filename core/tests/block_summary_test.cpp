#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "case_name.hpp"
#include "vorlane/block_summary.hpp"

namespace vorlane {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

struct ExtendsCase {
    const char* name;
    BlockSummary child;
    BlockSummary parent;
    bool expected;
};

class ExtendsParent : public ::testing::TestWithParam<ExtendsCase> {};

TEST_P(ExtendsParent, Decides) {
    const ExtendsCase& c = GetParam();
    EXPECT_EQ(c.child.extends_parent(c.parent), c.expected);
}

const BlockSummary kParent{100, "0xparent", "0xgrand", 1000, 5};

INSTANTIATE_TEST_SUITE_P(
    Continuity, ExtendsParent,
    ::testing::Values(
        ExtendsCase{"DirectSuccessor", {101, "0xchild", "0xparent", 1012, 3}, kParent, true},
        ExtendsCase{"NumberGap", {102, "0xchild", "0xparent", 1012, 3}, kParent, false},
        ExtendsCase{"SameNumber", {100, "0xchild", "0xparent", 1012, 3}, kParent, false},
        ExtendsCase{"NumberBelow", {99, "0xchild", "0xparent", 1012, 3}, kParent, false},
        ExtendsCase{"WrongParentHash", {101, "0xchild", "0xother", 1012, 3}, kParent, false},
        ExtendsCase{"HashCaseDiffers", {101, "0xchild", "0xPARENT", 1012, 3}, kParent, false},
        ExtendsCase{"HashPrefixOnly", {101, "0xchild", "0xparen", 1012, 3}, kParent, false},
        ExtendsCase{"IgnoresTimestampsAndTxCounts",
                    {101, "0xchild", "0xparent", -5, 0},
                    {100, "0xparent", "0xgrand", 999999, 4000000000U},
                    true},
        ExtendsCase{"IgnoresOwnHashAndGrandparent",
                    {101, "0xparent", "0xparent", 0, 0},
                    {100, "0xparent", "0xparent", 0, 0},
                    true},
        ExtendsCase{"OwnParentIsNotAParent", kParent, kParent, false},
        ExtendsCase{"EmptyHashesMatch", {1, "", "", 0, 0}, {0, "", "", 0, 0}, true},
        ExtendsCase{"EmptyVersusNonEmpty", {1, "", "", 0, 0}, {0, "0x0", "", 0, 0}, false},
        ExtendsCase{"GenesisSuccessor", {1, "0x1", "0x0", 0, 0}, {0, "0x0", "", 0, 0}, true},
        ExtendsCase{"ZeroAfterMaxDoesNotWrap", {0, "0xz", "0xmax", 0, 0}, {kMax, "0xmax", "", 0, 0},
                    false},
        ExtendsCase{"MaxAfterMaxMinusOne", {kMax, "0xmax", "0xprev", 0, 0},
                    {kMax - 1, "0xprev", "", 0, 0}, true}),
    testing_support::CaseName{});

}  // namespace
}  // namespace vorlane
