#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "case_name.hpp"
#include "store_conformance.hpp"
#include "vorlane/checkpoint_store.hpp"

namespace vorlane {
namespace {

using testing_support::StoreConformance;

std::optional<Checkpoint> load(const CheckpointStore& store, std::string_view chain,
                               std::string_view indexer) {
    auto r = sync_wait(store.load(chain, indexer));
    EXPECT_TRUE(r.ok());
    return std::move(r).value();
}

void save(const CheckpointStore& store, Checkpoint cp) {
    EXPECT_TRUE(sync_wait(store.save(std::move(cp))).ok());
}

void erase(const CheckpointStore& store, std::string_view chain, std::string_view indexer) {
    EXPECT_TRUE(sync_wait(store.delete_(chain, indexer)).ok());
}

bool same_record(const Checkpoint& a, const Checkpoint& b) {
    return a.chain_id == b.chain_id && a.indexer_id == b.indexer_id &&
           a.block_number == b.block_number && a.block_hash == b.block_hash &&
           a.updated_at == b.updated_at;
}

const std::string kLongHash = "0x" + std::string(64, 'c');

INSTANTIATE_TEST_SUITE_P(
    InMemory, StoreConformance,
    ::testing::Values(testing_support::StoreFactory{
        "memory", [] { return std::make_shared<InMemoryCheckpointStore>(); }}),
    testing_support::CaseName{});

TEST(InMemoryStore, LoadReturnsAnIndependentCopyOfAllFields) {
    InMemoryCheckpointStore store;
    const Checkpoint cp{"ethereum", "transfers", 19'000'000, kLongHash, 1'700'000'000};
    save(store, cp);

    auto first = load(store, "ethereum", "transfers");
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(same_record(*first, cp));

    first->block_hash[2] = 'X';
    first->block_number = 1;
    first->chain_id = "changed";
    auto second = load(store, "ethereum", "transfers");
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(same_record(*second, cp));
}

struct ReplaceCase {
    const char* name;
    Checkpoint first;
    Checkpoint second;
};

class InMemoryStoreReplace : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(InMemoryStoreReplace, SecondSaveOfSamePairWinsUnconditionally) {
    InMemoryCheckpointStore store;
    save(store, GetParam().first);
    save(store, GetParam().second);
    auto got = load(store, "c", "i");
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(same_record(*got, GetParam().second));
    EXPECT_EQ(store.size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(
    Upsert, InMemoryStoreReplace,
    ::testing::Values(
        ReplaceCase{"Higher", {"c", "i", 10, "0xa", 100}, {"c", "i", 20, "0xb", 200}},
        ReplaceCase{"LowerBlock", {"c", "i", 20, "0xb", 200}, {"c", "i", 10, "0xa", 300}},
        ReplaceCase{"OlderTimestamp", {"c", "i", 10, "0xa", 500}, {"c", "i", 10, "0xa", 100}},
        ReplaceCase{"ZeroTimestampKept", {"c", "i", 1, "0xa", 500}, {"c", "i", 2, "0xb", 0}},
        ReplaceCase{"NegativeTimestampKept",
                    {"c", "i", 1, "0xa", 500},
                    {"c", "i", 2, "0xb", std::numeric_limits<std::int64_t>::min()}},
        ReplaceCase{"ShortHashReplacesLong", {"c", "i", 1, kLongHash, 1}, {"c", "i", 1, "", 1}},
        ReplaceCase{"MaxBlock",
                    {"c", "i", 0, "0xa", 1},
                    {"c", "i", std::numeric_limits<std::uint64_t>::max(), kLongHash, -1}}),
    testing_support::CaseName{});

TEST(InMemoryStore, StoresAreIndependent) {
    InMemoryCheckpointStore one;
    InMemoryCheckpointStore two;
    save(one, {"c", "i", 1, "0x1", 1});
    EXPECT_EQ(load(two, "c", "i"), std::nullopt);
    save(two, {"c", "i", 2, "0x2", 2});
    EXPECT_EQ(load(one, "c", "i")->block_number, 1U);
    erase(one, "c", "i");
    EXPECT_EQ(load(two, "c", "i")->block_number, 2U);
}

TEST(InMemoryStore, NeverDrivenOperationsChangeNothing) {
    InMemoryCheckpointStore store;
    save(store, {"c", "kept", 1, "0x1", 1});
    {
        auto pending_save = store.save({"c", "i", 9, kLongHash, 9});
        auto pending_delete = store.delete_("c", "kept");
    }
    EXPECT_EQ(load(store, "c", "i"), std::nullopt);
    EXPECT_TRUE(load(store, "c", "kept").has_value());
    EXPECT_EQ(store.size(), 1U);
}

TEST(InMemoryStore, PendingOperationsOwnTheirIdentifiersAndTable) {
    Task<Result<std::optional<Checkpoint>>> pending = [] {
        InMemoryCheckpointStore store;
        save(store, {"chain-that-is-longer-than-sso", "indexer-that-is-longer-than-sso", 3,
                     "0x3", 3});
        std::string chain = "chain-that-is-longer-than-sso";
        std::string indexer = "indexer-that-is-longer-than-sso";
        auto task = store.load(chain, indexer);
        chain.assign(chain.size(), '?');
        indexer.assign(indexer.size(), '?');
        return task;
    }();
    auto r = sync_wait(std::move(pending));
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(r.value().has_value());
    EXPECT_EQ(r.value()->block_number, 3U);
}

// Every field of a record written by the concurrency test derives from one
// number, so a reader can tell a whole record from a mix of two.
Checkpoint derived(const std::string& indexer, std::uint64_t n) {
    return Checkpoint{"chain", indexer, n, "0x" + std::to_string(n) + std::string(40, 'f'),
                      -static_cast<std::int64_t>(n)};
}

TEST(InMemoryStore, ConcurrentUseNeverExposesAPartialRecord) {
    InMemoryCheckpointStore store;
    const std::vector<std::string> indexers = {"i0", "i1", "i2"};
    constexpr int kWriters = 3;
    constexpr int kReaders = 3;
    constexpr std::uint64_t kIterations = 3000;
    std::atomic<bool> go{false};
    std::atomic<bool> writers_done{false};
    std::atomic<int> torn{0};
    std::atomic<std::uint64_t> seen{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            while (!go.load()) std::this_thread::yield();
            for (std::uint64_t k = 0; k < kIterations; ++k) {
                const std::uint64_t n = k * kWriters + static_cast<std::uint64_t>(w) + 1;
                const std::string& indexer = indexers[n % indexers.size()];
                if (k % 7 == 6) {
                    (void)sync_wait(store.delete_("chain", indexer));
                } else {
                    (void)sync_wait(store.save(derived(indexer, n)));
                }
            }
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            while (!go.load()) std::this_thread::yield();
            std::size_t i = static_cast<std::size_t>(r);
            // Keep reading until the writers are done, and a few hundred
            // times after that so the final state is read as well (a reader
            // may not be scheduled at all while the writers run).
            for (int after = 0; after < 300;) {
                if (writers_done.load()) ++after;
                const std::string& indexer = indexers[i++ % indexers.size()];
                auto result = sync_wait(store.load("chain", indexer));
                if (!result.ok()) {
                    ++torn;
                    continue;
                }
                const auto& got = result.value();
                if (!got) continue;
                ++seen;
                if (!same_record(*got, derived(indexer, got->block_number))) ++torn;
            }
        });
    }
    go = true;
    for (int w = 0; w < kWriters; ++w) threads[static_cast<std::size_t>(w)].join();
    writers_done = true;
    for (std::size_t t = kWriters; t < threads.size(); ++t) threads[t].join();

    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(seen.load(), 0U);
    EXPECT_LE(store.size(), indexers.size());
    for (const auto& indexer : indexers) {
        if (auto got = load(store, "chain", indexer)) {
            EXPECT_TRUE(same_record(*got, derived(indexer, got->block_number)));
        }
    }
}

}  // namespace
}  // namespace vorlane
