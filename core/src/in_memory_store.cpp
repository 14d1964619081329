#include <sodium.h>

#include <array>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>

#include "vorlane/checkpoint_store.hpp"

namespace vorlane {

namespace detail {

namespace {

struct KeyView {
    std::string_view chain_id;
    std::string_view indexer_id;
};

// One stored checkpoint. The identifiers are the entry's key and never change
// while it is in the table; the rest is replaced in place by a later save.
struct Entry {
    std::string chain_id;
    std::string indexer_id;
    mutable std::uint64_t block_number = 0;
    mutable std::string block_hash;
    mutable std::int64_t updated_at = 0;

    explicit Entry(Checkpoint&& cp) noexcept
        : chain_id(std::move(cp.chain_id)),
          indexer_id(std::move(cp.indexer_id)),
          block_number(cp.block_number),
          block_hash(std::move(cp.block_hash)),
          updated_at(cp.updated_at) {
        trim(chain_id);
        trim(indexer_id);
        trim(block_hash);
    }

    [[nodiscard]] KeyView key() const noexcept { return {chain_id, indexer_id}; }

    void replace_from(Checkpoint&& cp) const noexcept {
        block_number = cp.block_number;
        block_hash = std::move(cp.block_hash);
        trim(block_hash);
        updated_at = cp.updated_at;
    }

    // Texts are moved in from the caller and may carry spare capacity (e.g.
    // from being built by concatenation); a long-lived table should not keep
    // it. shrink_to_fit is non-binding and never throws.
    static void trim(std::string& s) noexcept {
        if (s.capacity() > s.size()) s.shrink_to_fit();
    }

    [[nodiscard]] Checkpoint copy() const {
        return Checkpoint{chain_id, indexer_id, block_number, block_hash, updated_at};
    }
};

// SipHash-2-4 of the pair under per-table random keys. Each identifier is
// hashed under its own key and the two fixed-width results are hashed again,
// so the encoding of the pair is unambiguous: ("ab","c") and ("a","bc") only
// collide with the keyed hash's own probability, and so do (x,y) and (y,x).
//
// The hash is noexcept, which lets the table skip caching hash codes in its
// nodes (8 bytes less per entry); bucket walks rehash instead.
class PairHash {
public:
    using is_transparent = void;

    PairHash() {
        randombytes_buf(chain_key_.data(), chain_key_.size());
        randombytes_buf(indexer_key_.data(), indexer_key_.size());
        randombytes_buf(mix_key_.data(), mix_key_.size());
    }

    std::size_t operator()(const KeyView& k) const noexcept {
        std::array<unsigned char, 2 * crypto_shorthash_BYTES> parts{};
        hash(parts.data(), k.chain_id, chain_key_);
        hash(parts.data() + crypto_shorthash_BYTES, k.indexer_id, indexer_key_);
        std::array<unsigned char, crypto_shorthash_BYTES> out{};
        crypto_shorthash(out.data(), parts.data(), parts.size(), mix_key_.data());
        std::uint64_t h = 0;
        std::memcpy(&h, out.data(), sizeof h);
        return static_cast<std::size_t>(h);
    }
    std::size_t operator()(const Entry& e) const noexcept { return (*this)(e.key()); }

private:
    using Key = std::array<unsigned char, crypto_shorthash_KEYBYTES>;

    static void hash(unsigned char* out, std::string_view text, const Key& key) noexcept {
        crypto_shorthash(out, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                         key.data());
    }

    Key chain_key_{};
    Key indexer_key_{};
    Key mix_key_{};
};

struct PairEqual {
    using is_transparent = void;

    static bool eq(const KeyView& a, const KeyView& b) noexcept {
        return a.chain_id == b.chain_id && a.indexer_id == b.indexer_id;
    }
    bool operator()(const KeyView& a, const KeyView& b) const noexcept { return eq(a, b); }
    bool operator()(const Entry& a, const KeyView& b) const noexcept { return eq(a.key(), b); }
    bool operator()(const KeyView& a, const Entry& b) const noexcept { return eq(a, b.key()); }
    bool operator()(const Entry& a, const Entry& b) const noexcept { return eq(a.key(), b.key()); }
};

void ensure_sodium() {
    static const int status = sodium_init();  // thread-safe, runs once
    if (status < 0) throw std::runtime_error("libsodium could not be initialised");
}

}  // namespace

class CheckpointTable {
public:
    CheckpointTable() : entries_(0, PairHash{}, PairEqual{}) {}

    std::optional<Checkpoint> load(KeyView key) const {
        const std::lock_guard lock(mutex_);
        const auto it = entries_.find(key);
        if (it == entries_.end()) return std::nullopt;
        return it->copy();
    }

    void save(Checkpoint&& cp) {
        const std::lock_guard lock(mutex_);
        const auto it = entries_.find(KeyView{cp.chain_id, cp.indexer_id});
        if (it != entries_.end()) {
            it->replace_from(std::move(cp));
        } else {
            entries_.emplace(std::move(cp));
        }
    }

    // Empty when saved; otherwise the block number the mismatch reports.
    std::optional<std::uint64_t> save_if(Checkpoint&& cp, std::optional<std::uint64_t> expected) {
        const std::lock_guard lock(mutex_);
        const auto it = entries_.find(KeyView{cp.chain_id, cp.indexer_id});
        if (it == entries_.end()) {
            if (expected) return expected;
            entries_.emplace(std::move(cp));
            return std::nullopt;
        }
        if (!expected || *expected != it->block_number) return it->block_number;
        it->replace_from(std::move(cp));
        return std::nullopt;
    }

    void erase(KeyView key) {
        const std::lock_guard lock(mutex_);
        const auto it = entries_.find(key);
        if (it != entries_.end()) entries_.erase(it);
    }

    std::size_t size() const {
        const std::lock_guard lock(mutex_);
        return entries_.size();
    }

private:
    mutable std::mutex mutex_;
    std::unordered_set<Entry, PairHash, PairEqual> entries_;
};

}  // namespace detail

namespace {

using Table = std::shared_ptr<detail::CheckpointTable>;

// The operations take the identifiers by value so the pending task owns
// them, and a table reference so it stays usable whatever happens to the
// store object.
Task<Result<std::optional<Checkpoint>>> load_op(Table table, std::string chain_id,
                                                std::string indexer_id) {
    co_return Result<std::optional<Checkpoint>>::success(
        table->load(detail::KeyView{chain_id, indexer_id}));
}

Task<Result<void>> save_op(Table table, Checkpoint checkpoint) {
    table->save(std::move(checkpoint));
    co_return Result<void>::success();
}

Task<Result<void>> save_if_op(Table table, Checkpoint checkpoint,
                              std::optional<std::uint64_t> expected) {
    if (const auto stored = table->save_if(std::move(checkpoint), expected))
        co_return Result<void>::failure(IndexerError::checkpoint_mismatch(*stored));
    co_return Result<void>::success();
}

Task<Result<void>> delete_op(Table table, std::string chain_id, std::string indexer_id) {
    table->erase(detail::KeyView{chain_id, indexer_id});
    co_return Result<void>::success();
}

}  // namespace

InMemoryCheckpointStore::InMemoryCheckpointStore() {
    detail::ensure_sodium();
    table_ = std::make_shared<detail::CheckpointTable>();
}

InMemoryCheckpointStore::~InMemoryCheckpointStore() = default;

Task<Result<std::optional<Checkpoint>>> InMemoryCheckpointStore::load(
    std::string_view chain_id, std::string_view indexer_id) const {
    return load_op(table_, std::string(chain_id), std::string(indexer_id));
}

Task<Result<void>> InMemoryCheckpointStore::save(Checkpoint checkpoint) const {
    return save_op(table_, std::move(checkpoint));
}

Task<Result<void>> InMemoryCheckpointStore::save_if(
    Checkpoint checkpoint, std::optional<std::uint64_t> expected_block_number) const {
    return save_if_op(table_, std::move(checkpoint), expected_block_number);
}

Task<Result<void>> InMemoryCheckpointStore::delete_(std::string_view chain_id,
                                                    std::string_view indexer_id) const {
    return delete_op(table_, std::string(chain_id), std::string(indexer_id));
}

std::size_t InMemoryCheckpointStore::size() const { return table_->size(); }

}  // namespace vorlane
