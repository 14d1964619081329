// Python class BlockSummary: what an indexer keeps of one block, and the
// test of whether one block directly extends another.
#include "classes.hpp"
#include "repr.hpp"
#include "vorlane/block_summary.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew =
    signature("__new__", {"number", "hash", "parent_hash", "timestamp", "tx_count"});
constinit Signature kExtendsParent = signature("extends_parent", {"parent"});

// Texts arrive as views of the arguments' UTF-8 and are copied once, into
// the record.
BlockSummary construct(std::uint64_t number, std::string_view hash, std::string_view parent_hash,
                       std::int64_t timestamp, std::uint32_t tx_count) {
    return BlockSummary{number, std::string(hash), std::string(parent_hash), timestamp, tx_count};
}

bool extends_parent(const BlockSummary& self, Shared<BlockSummary> parent) {
    return self.extends_parent(parent.get());
}

void represent(const BlockSummary& b, std::string& out) {
    repr::write<"BlockSummary">(out, repr::Number<"number">{b.number}, repr::Text<"hash">{b.hash},
                                repr::Number<"tx_count">{b.tx_count});
}

PyGetSetDef kGetters[] = {
    getset<&BlockSummary::number>("number"),
    getset<&BlockSummary::hash>("hash"),
    getset<&BlockSummary::parent_hash>("parent_hash"),
    getset<&BlockSummary::timestamp>("timestamp"),
    getset<&BlockSummary::tx_count>("tx_count"),
    {},
};

const Method kMethods[] = {
    method_def<&extends_parent, kExtendsParent>(
        "Returns True if this block directly extends the given parent block."),
};

const ClassDef kClass = define_class<BlockSummary, &construct, kNew, &represent>(
    kModule, "BlockSummary", "Summary of an indexed block.", kGetters, kMethods);

}  // namespace

template <> const ClassDef& class_def<BlockSummary>() { return kClass; }

}  // namespace vorlane::py
