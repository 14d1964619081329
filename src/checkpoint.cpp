// Python class Checkpoint: one indexer's position on one chain.
#include "classes.hpp"
#include "repr.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew = signature(
    "__new__", {"chain_id", "indexer_id", "block_number", "block_hash", "updated_at=None"});

// Texts arrive as views of the arguments' UTF-8 and are copied once, into
// the record.  Omitted or None, updated_at is the wall clock.
Checkpoint construct(std::string_view chain_id, std::string_view indexer_id,
                     std::uint64_t block_number, std::string_view block_hash,
                     std::optional<std::int64_t> updated_at) {
    return Checkpoint{std::string(chain_id), std::string(indexer_id), block_number,
                      std::string(block_hash), updated_at ? *updated_at : unix_time_now()};
}

void represent(const Checkpoint& cp, std::string& out) {
    repr::write<"Checkpoint">(out, repr::Text<"chain_id">{cp.chain_id},
                              repr::Text<"indexer_id">{cp.indexer_id},
                              repr::Number<"block_number">{cp.block_number},
                              repr::Text<"block_hash">{cp.block_hash});
}

PyGetSetDef kGetters[] = {
    getset<&Checkpoint::chain_id>("chain_id"),
    getset<&Checkpoint::indexer_id>("indexer_id"),
    getset<&Checkpoint::block_number>("block_number"),
    getset<&Checkpoint::block_hash>("block_hash"),
    getset<&Checkpoint::updated_at>("updated_at"),
    {},
};

const ClassDef kClass = define_class<Checkpoint, &construct, kNew, &represent>(
    kModule, "Checkpoint", "", kGetters, {});

}  // namespace

template <> const ClassDef& class_def<Checkpoint>() { return kClass; }

}  // namespace vorlane::py
