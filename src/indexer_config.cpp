// Python class IndexerConfig: one indexer's settings, immutable once built,
// with its compact JSON form.
#include "classes.hpp"
#include "repr.hpp"
#include "vorlane/indexer_config.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew = make_signature(
    "IndexerConfig", "__new__",
    {"id", "chain", "from_block", "to_block", "confirmation_depth", "batch_size",
     "checkpoint_interval", "poll_interval_ms"},
    0);

IndexerConfig construct(Omittable<std::string> id, Omittable<std::string> chain,
                        Omittable<std::uint64_t> from_block, std::optional<std::uint64_t> to_block,
                        Omittable<std::uint64_t> confirmation_depth,
                        Omittable<std::uint64_t> batch_size,
                        Omittable<std::uint64_t> checkpoint_interval,
                        Omittable<std::uint64_t> poll_interval_ms) {
    IndexerConfig c;  // holds the defaults
    std::move(id).assign_to(c.id);
    std::move(chain).assign_to(c.chain);
    std::move(from_block).assign_to(c.from_block);
    c.to_block = to_block;
    std::move(confirmation_depth).assign_to(c.confirmation_depth);
    std::move(batch_size).assign_to(c.batch_size);
    std::move(checkpoint_interval).assign_to(c.checkpoint_interval);
    std::move(poll_interval_ms).assign_to(c.poll_interval_ms);
    return c;
}

std::string to_json(const IndexerConfig& c) {
    auto text = c.to_json();
    if (!text.ok()) throw_runtime_error(std::move(text).error());
    return std::move(text).value();
}

void represent(const IndexerConfig& c, std::string& out) {
    repr::Fields(out, "IndexerConfig")
        .text("id", c.id)
        .text("chain", c.chain)
        .number("from_block", c.from_block)
        .number("confirmation_depth", c.confirmation_depth)
        .end();
}

PyGetSetDef kGetters[] = {
    getset<&IndexerConfig::id>("id"),
    getset<&IndexerConfig::chain>("chain"),
    getset<&IndexerConfig::from_block>("from_block"),
    getset<&IndexerConfig::to_block>("to_block"),
    getset<&IndexerConfig::confirmation_depth>("confirmation_depth"),
    getset<&IndexerConfig::batch_size>("batch_size"),
    getset<&IndexerConfig::checkpoint_interval>("checkpoint_interval"),
    getset<&IndexerConfig::poll_interval_ms>("poll_interval_ms"),
    {},
};

PyMethodDef kMethods[] = {
    noargs_method_def<&to_json>("to_json", "to_json($self)\n--\n\nSerialize config to JSON."),
    {},
};

const ClassDef kClass = define_class<IndexerConfig, &construct, kNew, &represent>(
    "IndexerConfig", "builtins.IndexerConfig",
    "(id=..., chain=..., from_block=0, to_block=None, confirmation_depth=12, batch_size=1000, "
    "checkpoint_interval=100, poll_interval_ms=2000)",
    "Configuration for an EVM indexer.", kGetters, kMethods);

}  // namespace

template <> const ClassDef& class_def<IndexerConfig>() { return kClass; }

}  // namespace vorlane::py
