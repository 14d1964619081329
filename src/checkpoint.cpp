// Python class Checkpoint: one indexer's position on one chain.
#include "classes.hpp"
#include "repr.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew = make_signature(
    "Checkpoint", "__new__",
    {"chain_id", "indexer_id", "block_number", "block_hash", "updated_at"}, 4);

Checkpoint construct(std::string chain_id, std::string indexer_id, std::uint64_t block_number,
                     std::string block_hash, std::optional<std::int64_t> updated_at) {
    return Checkpoint{std::move(chain_id), std::move(indexer_id), block_number,
                      std::move(block_hash), updated_at ? *updated_at : unix_time_now()};
}

void represent(const Checkpoint& cp, std::string& out) {
    repr::Fields(out, "Checkpoint")
        .text("chain_id", cp.chain_id)
        .text("indexer_id", cp.indexer_id)
        .number("block_number", cp.block_number)
        .text("block_hash", cp.block_hash)
        .end();
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
    "Checkpoint", "builtins.Checkpoint",
    "(chain_id, indexer_id, block_number, block_hash, updated_at=None)",
    "", kGetters, nullptr);

}  // namespace

template <> const ClassDef& class_def<Checkpoint>() { return kClass; }

}  // namespace vorlane::py
