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
// the record.  The numbers arrive unconverted and are converted here, in
// parameter order and only when given, each overwriting its default: taking
// them as Omittable<std::uint64_t> made each omitted one cost a
// store-to-load stall (the optional came back through memory), a third of
// IndexerConfig().
IndexerConfig construct(Omittable<std::string_view> id, Omittable<std::string_view> chain,
                        PyObject* from_block, PyObject* to_block, PyObject* confirmation_depth,
                        PyObject* batch_size, PyObject* checkpoint_interval,
                        PyObject* poll_interval_ms) {
    IndexerConfig c;  // holds the defaults
    if (id.value) c.id.assign(*id.value);
    if (chain.value) c.chain.assign(*chain.value);
    const auto number = [](PyObject* arg, std::size_t param, std::uint64_t& field) {
        if (arg != nullptr) field = convert_arg<std::uint64_t>(arg, kNew.names[param]);
    };
    number(from_block, 2, c.from_block);
    if (to_block != nullptr && to_block != Py_None)
        c.to_block = convert_arg<std::uint64_t>(to_block, kNew.names[3]);
    number(confirmation_depth, 4, c.confirmation_depth);
    number(batch_size, 5, c.batch_size);
    number(checkpoint_interval, 6, c.checkpoint_interval);
    number(poll_interval_ms, 7, c.poll_interval_ms);
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
