// Python class IndexerConfig: one indexer's settings, immutable once built,
// with its compact JSON form.
#include "classes.hpp"
#include "repr.hpp"
#include "vorlane/indexer_config.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew = signature(
    "__new__", {"id=...", "chain=...", "from_block=0", "to_block=None", "confirmation_depth=12",
                "batch_size=1000", "checkpoint_interval=100", "poll_interval_ms=2000"});

// Texts arrive as views of the arguments' UTF-8 and are copied once, into
// the record; every argument given overwrites its default.
IndexerConfig construct(Omittable<std::string_view> id, Omittable<std::string_view> chain,
                        Omittable<std::uint64_t> from_block, std::optional<std::uint64_t> to_block,
                        Omittable<std::uint64_t> confirmation_depth,
                        Omittable<std::uint64_t> batch_size,
                        Omittable<std::uint64_t> checkpoint_interval,
                        Omittable<std::uint64_t> poll_interval_ms) {
    IndexerConfig c;  // holds the defaults
    if (id.value) c.id.assign(*id.value);
    if (chain.value) c.chain.assign(*chain.value);
    std::move(from_block).assign_to(c.from_block);
    c.to_block = to_block;
    std::move(confirmation_depth).assign_to(c.confirmation_depth);
    std::move(batch_size).assign_to(c.batch_size);
    std::move(checkpoint_interval).assign_to(c.checkpoint_interval);
    std::move(poll_interval_ms).assign_to(c.poll_interval_ms);
    return c;
}

// A plain-ASCII text is written straight into a new compact str; any other
// goes through the general writer, which checks the UTF-8.
PyObject* to_json(const IndexerConfig& c) {
    if (const std::size_t size = c.ascii_json_size()) {
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        if (!text) throw_fetched();
        c.write_ascii_json(static_cast<char*>(PyUnicode_DATA(text)));
        return text;
    }
    auto text = c.to_json();
    if (!text.ok()) throw_runtime_error(std::move(text).error());
    return to_py(text.value());
}

void represent(const IndexerConfig& c, std::string& out) {
    repr::write<"IndexerConfig">(out, repr::Text<"id">{c.id}, repr::Text<"chain">{c.chain},
                                 repr::Number<"from_block">{c.from_block},
                                 repr::Number<"confirmation_depth">{c.confirmation_depth});
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

const Method kMethods[] = {
    noargs_method_def<&to_json>("to_json", "Serialize config to JSON."),
};

const ClassDef kClass = define_class<IndexerConfig, &construct, kNew, &represent>(
    kModule, "IndexerConfig", "Configuration for an EVM indexer.", kGetters, kMethods);

}  // namespace

template <> const ClassDef& class_def<IndexerConfig>() { return kClass; }

}  // namespace vorlane::py
