// What every CheckpointStore must do, as one suite: each store's test file
// instantiates StoreConformance with a factory that makes an empty store.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vorlane/checkpoint_store.hpp"

namespace vorlane::testing_support {

struct StoreFactory {
    std::string name;
    // A new, empty store each call; null when the store's server is not
    // available here (the suite then skips, saying why).
    std::function<std::shared_ptr<CheckpointStore>()> make;
};

class StoreConformance : public ::testing::TestWithParam<StoreFactory> {
protected:
    void SetUp() override {
        store_ = GetParam().make();
        if (!store_) GTEST_SKIP() << GetParam().name << " store is not available";
    }

    std::optional<Checkpoint> load(std::string_view chain, std::string_view indexer) const;
    void save(Checkpoint cp) const;
    void erase(std::string_view chain, std::string_view indexer) const;
    Result<void> save_if(Checkpoint cp, std::optional<std::uint64_t> expected) const;

    std::shared_ptr<CheckpointStore> store_;
};

bool same(const Checkpoint& a, const Checkpoint& b);

}  // namespace vorlane::testing_support
