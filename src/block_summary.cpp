// Python class BlockSummary: what an indexer keeps of one block, and the
// test of whether one block directly extends another.
#include "classes.hpp"
#include "repr.hpp"
#include "vorlane/block_summary.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew = make_signature(
    "BlockSummary", "__new__", {"number", "hash", "parent_hash", "timestamp", "tx_count"}, 5);
constinit Signature kExtendsParent =
    make_signature("BlockSummary", "extends_parent", {"parent"}, 1);

BlockSummary construct(std::uint64_t number, std::string hash, std::string parent_hash,
                       std::int64_t timestamp, std::uint32_t tx_count) {
    return BlockSummary{number, std::move(hash), std::move(parent_hash), timestamp, tx_count};
}

bool extends_parent(const BlockSummary& self, Shared<BlockSummary> parent) {
    return self.extends_parent(parent.get());
}

void represent(const BlockSummary& b, std::string& out) {
    repr::Fields(out, "BlockSummary")
        .number("number", b.number)
        .text("hash", b.hash)
        .number("tx_count", b.tx_count)
        .end();
}

PyGetSetDef kGetters[] = {
    getset<&BlockSummary::number>("number"),
    getset<&BlockSummary::hash>("hash"),
    getset<&BlockSummary::parent_hash>("parent_hash"),
    getset<&BlockSummary::timestamp>("timestamp"),
    getset<&BlockSummary::tx_count>("tx_count"),
    {},
};

PyMethodDef kMethods[] = {
    method_def<&extends_parent, kExtendsParent>(
        "extends_parent",
        "extends_parent($self, parent)\n--\n\n"
        "Returns True if this block directly extends the given parent block."),
    {},
};

const ClassDef kClass = define_class<BlockSummary, &construct, kNew, &represent>(
    "BlockSummary", "builtins.BlockSummary",
    "(number, hash, parent_hash, timestamp, tx_count)",
    "Summary of an indexed block.", kGetters, kMethods);

}  // namespace

template <> const ClassDef& class_def<BlockSummary>() { return kClass; }

}  // namespace vorlane::py
