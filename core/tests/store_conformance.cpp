#include "store_conformance.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace vorlane::testing_support {

std::optional<Checkpoint> StoreConformance::load(std::string_view chain,
                                                 std::string_view indexer) const {
    auto r = sync_wait(store_->load(chain, indexer));
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    if (!r.ok()) return std::nullopt;
    return std::move(r).value();
}

void StoreConformance::save(Checkpoint cp) const {
    auto r = sync_wait(store_->save(std::move(cp)));
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
}

void StoreConformance::erase(std::string_view chain, std::string_view indexer) const {
    auto r = sync_wait(store_->delete_(chain, indexer));
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
}

Result<void> StoreConformance::save_if(Checkpoint cp, std::optional<std::uint64_t> expected) const {
    return sync_wait(store_->save_if(std::move(cp), expected));
}

bool same(const Checkpoint& a, const Checkpoint& b) {
    return a.chain_id == b.chain_id && a.indexer_id == b.indexer_id &&
           a.block_number == b.block_number && a.block_hash == b.block_hash &&
           a.updated_at == b.updated_at;
}

namespace {

constexpr auto kMaxBlock = std::numeric_limits<std::uint64_t>::max();
constexpr auto kMinTime = std::numeric_limits<std::int64_t>::min();
constexpr auto kMaxTime = std::numeric_limits<std::int64_t>::max();

std::string mismatch_text(const Result<void>& r) {
    return r.ok() ? "saved" : r.error().message();
}

TEST_P(StoreConformance, MissingPairLoadsNothingAndDeletesCleanly) {
    EXPECT_FALSE(load("1", "main").has_value());
    erase("1", "main");
    erase("1", "main");
    EXPECT_FALSE(load("1", "main").has_value());
}

TEST_P(StoreConformance, EveryValueRoundTripsExactly) {
    using namespace std::string_literals;
    const std::vector<Checkpoint> cases = {
        {"1", "main", 0, "0x00", 0},
        {"max", "block", kMaxBlock, "0x" + std::string(64, 'f'), kMaxTime},
        {"min", "time", (std::uint64_t{1} << 63), "h", kMinTime},
        {"", "", 1, "", -1},
        {"nul\0chain"s, "\0"s, 42, "a\0b\0"s, 7},
        {"chaîne ☃ 𝄞", "índice", 9, "zwj\u200d", 9},
        {"'); DROP TABLE vorlane_checkpoints; --", "\" OR 1=1 --", 3, "%s%n\\x00", 3},
        {std::string(4 << 20, 'c'), "big", 5, std::string(3 << 20, 'h'), 5},
    };
    for (const Checkpoint& cp : cases) {
        SCOPED_TRACE(cp.chain_id.substr(0, 40));
        save(cp);
        const auto got = load(cp.chain_id, cp.indexer_id);
        ASSERT_TRUE(got.has_value());
        EXPECT_TRUE(same(*got, cp));
    }
    for (const Checkpoint& cp : cases) EXPECT_TRUE(load(cp.chain_id, cp.indexer_id).has_value());
}

TEST_P(StoreConformance, SaveIsAnUnconditionalUpsertKeepingTheRecordsTime) {
    save({"1", "main", 100, "0xa", 2000});
    save({"1", "main", 5, "0xb", 1000});  // lower and older: still replaces
    const auto got = load("1", "main");
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(same(*got, {"1", "main", 5, "0xb", 1000}));
}

TEST_P(StoreConformance, PairsAreKeyedByBothTextsNotTheirJoin) {
    using namespace std::string_literals;
    // Each pair differs from its partner only in a way a joined or
    // normalised key would lose.
    const std::pair<std::pair<std::string, std::string>, std::pair<std::string, std::string>>
        cases[] = {
            {{"Ethereum", "idx"}, {"ethereum", "idx"}}, {{"eth", "Transfers"}, {"eth", "transfers"}},
            {{"a:b", "c"}, {"a", "b:c"}},               {{"ab", "c"}, {"a", "bc"}},
            {{"x", "y"}, {"y", "x"}},                   {{"", ":"}, {":", ""}},
            {{"", ""}, {"", "x"}},                      {{"a\0b"s, "c"}, {"a", "b\0c"s}},
            {{"Ä", "i"}, {"ä", "i"}},
        };
    std::uint64_t n = 0;
    for (const auto& [a, b] : cases) {
        SCOPED_TRACE(a.first + "|" + a.second);
        const Checkpoint first{a.first, a.second, ++n, "0xa", 1};
        const Checkpoint second{b.first, b.second, ++n, "0xb", 2};
        save(first);
        save(second);
        EXPECT_TRUE(same(*load(a.first, a.second), first));
        EXPECT_TRUE(same(*load(b.first, b.second), second));
        erase(a.first, a.second);
        EXPECT_FALSE(load(a.first, a.second).has_value());
        EXPECT_TRUE(same(*load(b.first, b.second), second));
        save(first);  // a deleted pair can be saved again
        EXPECT_TRUE(same(*load(a.first, a.second), first));
    }
}

TEST_P(StoreConformance, ConditionalSaveChecksTheStoredBlockNumber) {
    const Checkpoint first{"1", "main", 10, "0xa", 1};
    const Checkpoint next{"1", "main", 20, "0xb", 2};
    // Nothing stored: only a caller expecting nothing wins.
    EXPECT_EQ(mismatch_text(save_if(first, 7)), "Checkpoint mismatch at block 7");
    EXPECT_FALSE(load("1", "main").has_value());
    EXPECT_EQ(mismatch_text(save_if(first, std::nullopt)), "saved");
    // Something stored: the expected number must be the stored one.
    EXPECT_EQ(mismatch_text(save_if(next, std::nullopt)), "Checkpoint mismatch at block 10");
    EXPECT_EQ(mismatch_text(save_if(next, 11)), "Checkpoint mismatch at block 10");
    EXPECT_TRUE(same(*load("1", "main"), first));
    EXPECT_EQ(mismatch_text(save_if(next, 10)), "saved");
    EXPECT_TRUE(same(*load("1", "main"), next));
    // The whole unsigned range compares exactly.
    EXPECT_EQ(mismatch_text(save_if({"1", "main", kMaxBlock, "0xc", 3}, 20)), "saved");
    EXPECT_EQ(mismatch_text(save_if({"1", "main", 1, "0xd", 4}, kMaxBlock - 1)),
              "Checkpoint mismatch at block 18446744073709551615");
    EXPECT_EQ(mismatch_text(save_if({"1", "main", 1, "0xd", 4}, kMaxBlock)), "saved");
    const auto r = save_if({"1", "main", 2, "0xe", 5}, 3);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), IndexerError::Kind::CheckpointMismatch);
}

}  // namespace
}  // namespace vorlane::testing_support
