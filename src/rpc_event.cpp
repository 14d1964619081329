// vorlane_rpc.EventDecoder and the record classes it makes.  The checks and
// the walk of each log's encoding are vorlane::abi's; this file turns the
// walked values into Python objects or JSON text.
//
// A record class is a heap type per event (or named tuple type), interned
// by the event's full description: decoders of one event share its class,
// and unpickling finds it again.  A record is a fixed-size object holding
// its argument values, then (for an event) the log's six fields, each read
// through a member descriptor at its offset.
#include "rpc_event.hpp"

#include <cstddef>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // the member constants, given their Py_ names in 3.12
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif
#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "json_text.hpp"
#include "rpc_log.hpp"
#include "vorlane/abi.hpp"

namespace vorlane::py::rpc_event {
namespace {

namespace abi = vorlane::abi;

// The Log's fields read here, by their index in rpc_log::LogObject.
constexpr int kLogNumber = 0, kLogBlockHash = 1, kLogTxHash = 2, kLogIndex = 3, kLogAddress = 4,
              kLogTopics = 5, kLogData = 6;

// A record's log fields, after its arguments, in this order.
constexpr int kLogFieldCount = 6;
constexpr const char* kLogFieldNames[kLogFieldCount] = {
    "address", "block_number", "block_hash", "transaction_hash", "transaction_index", "log_index"};

PyObject* own(PyObject* o) {
    if (!o) throw_fetched();
    return o;
}

[[noreturn]] void value_error(std::string text) { throw Error(PyExc_ValueError, std::move(text)); }
[[noreturn]] void type_error(std::string text) { throw Error(PyExc_TypeError, std::move(text)); }

// A compact ASCII str's text; empty for anything else.
std::string_view ascii_view(PyObject* o) {
    if (!PyUnicode_CheckExact(o) || !PyUnicode_IS_COMPACT_ASCII(o)) return {};
    return {static_cast<const char*>(PyUnicode_DATA(o)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(o))};
}

// ---------------------------------------------------------------------------
// Reading fragments
// ---------------------------------------------------------------------------

// An optional str member of a dict (empty when absent).
std::string dict_str(PyObject* dict, const char* key, std::string_view what) {
    PyObject* v = PyDict_GetItemString(dict, key);
    if (!v) return {};
    if (!PyUnicode_Check(v)) type_error(std::string(what) + " '" + key + "' must be a str");
    return std::string(utf8_view(v));
}

std::vector<abi::Param> read_params(PyObject* list, std::string_view what, bool top, int level);

abi::Param read_param(PyObject* d, std::string_view what, bool top, std::size_t position,
                      int level) {
    if (!PyDict_Check(d)) type_error(std::string(what) + " inputs must be dicts");
    abi::Param p;
    p.name = dict_str(d, "name", what);
    if (p.name.empty() && top) p.name = "arg" + std::to_string(position);
    p.type = dict_str(d, "type", what);
    p.internal_type = dict_str(d, "internalType", what);
    if (top) {
        PyObject* indexed = PyDict_GetItemString(d, "indexed");
        p.indexed = indexed && PyObject_IsTrue(indexed) == 1;
    }
    if (PyObject* components = PyDict_GetItemString(d, "components")) {
        // Deeper than the decoder allows is refused when compiled; this
        // only keeps a hostile description from exhausting the stack here.
        if (level > static_cast<int>(abi::kMaxDepth)) value_error(std::string(what) + " is nested too deeply");
        p.components = read_params(components, what, false, level + 1);
    }
    return p;
}

std::vector<abi::Param> read_params(PyObject* list, std::string_view what, bool top, int level) {
    Ref seq = Ref::steal(PySequence_Fast(list, "inputs must be a list"));
    if (!seq) throw_fetched();
    std::vector<abi::Param> out;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i)
        out.push_back(read_param(PySequence_Fast_GET_ITEM(seq.get(), i), what, top,
                                 static_cast<std::size_t>(i), level));
    return out;
}

// The compiled event of a fragment dict.
abi::Event read_event(PyObject* fragment) {
    if (!PyDict_Check(fragment)) type_error("an event fragment must be a dict");
    const std::string name = dict_str(fragment, "name", "the event fragment");
    if (name.empty()) value_error("an event fragment needs a name");
    const std::string what = "event " + name;
    PyObject* anonymous = PyDict_GetItemString(fragment, "anonymous");
    if (anonymous && PyObject_IsTrue(anonymous) == 1)
        value_error(what + ": anonymous events are not supported");
    PyObject* inputs = PyDict_GetItemString(fragment, "inputs");
    const std::vector<abi::Param> params =
        inputs ? read_params(inputs, what, true, 0) : std::vector<abi::Param>{};
    std::string error;
    std::optional<abi::Event> event = abi::Event::compile(name, params, error);
    if (!event) value_error(error);
    return std::move(*event);
}

// ---------------------------------------------------------------------------
// Record classes
// ---------------------------------------------------------------------------

struct ClassInfo {
    PyTypeObject* type = nullptr;  // kept for the life of the process
    std::string name;
    std::string qualified_name;
    std::vector<std::string> labels;       // argument names as the ABI gives them
    std::vector<std::string> attributes;   // and as attributes
    std::vector<PyMemberDef> members;
    bool event = false;
    Ref abi;      // event: a copy of the fragment; tuple: the components
    Ref topic0;   // event only
    bool checksum = false;
    Ref labels_str;  // the labels as str, for repr
};

std::unordered_map<std::string, ClassInfo*> g_registry;       // by description
std::unordered_map<PyTypeObject*, ClassInfo*> g_by_type;
PyObject* g_event_reconstructor = nullptr;
PyObject* g_tuple_reconstructor = nullptr;

PyObject** fields_of(PyObject* self) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(PyVarObject));
}
Py_ssize_t total_of(PyObject* self) {
    return (Py_TYPE(self)->tp_basicsize - static_cast<Py_ssize_t>(sizeof(PyVarObject))) /
           static_cast<Py_ssize_t>(sizeof(PyObject*));
}
ClassInfo& info_of(PyObject* self) {
    const auto it = g_by_type.find(Py_TYPE(self));
    if (it == g_by_type.end()) throw Panic("a record of an unregistered class");
    return *it->second;
}

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    PyObject** f = fields_of(self);
    for (Py_ssize_t i = 0, n = total_of(self); i < n; ++i) Py_VISIT(f[i]);
    return 0;
}

int record_clear(PyObject* self) {
    PyObject** f = fields_of(self);
    for (Py_ssize_t i = 0, n = total_of(self); i < n; ++i) Py_CLEAR(f[i]);
    return 0;
}

void record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    record_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Every field as a tuple (arguments, then log fields).
PyObject* field_tuple(PyObject* self) {
    const Py_ssize_t n = total_of(self);
    Ref t = Ref::steal(own(PyTuple_New(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* f = fields_of(self)[i];
        if (!f) throw Error(PyExc_AttributeError, "a record field was cleared");
        PyTuple_SET_ITEM(t.get(), i, Py_NewRef(f));
    }
    return t.release();
}

Py_ssize_t record_len(PyObject* self) { return Py_SIZE(self); }

PyObject* record_item(PyObject* self, Py_ssize_t i) {
    if (i < 0 || i >= Py_SIZE(self)) {
        PyErr_SetString(PyExc_IndexError, "record index out of range");
        return nullptr;
    }
    PyObject* f = fields_of(self)[i];
    if (!f) {
        PyErr_SetString(PyExc_AttributeError, "a record field was cleared");
        return nullptr;
    }
    return Py_NewRef(f);
}

Py_hash_t record_hash(PyObject* self) {
    return guard([&]() -> Py_hash_t {
        Ref t = Ref::steal(field_tuple(self));
        const Py_hash_t h = PyObject_Hash(t.get());
        if (h == -1) throw_fetched();
        return h;
    }, -1);
}

PyObject* record_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    return guard([&]() -> PyObject* {
        Ref a = Ref::steal(field_tuple(self));
        Ref b = Ref::steal(field_tuple(other));
        return own(PyObject_RichCompare(a.get(), b.get(), op));
    }, nullptr);
}

// "Transfer(block_number=5, log_index=0, from='0x..', ...)"
PyObject* record_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const ClassInfo& info = info_of(self);
        Ref parts = Ref::steal(own(PyList_New(0)));
        const auto add = [&](PyObject* part) {
            Ref owned = Ref::steal(own(part));
            if (PyList_Append(parts.get(), owned.get()) < 0) throw_fetched();
        };
        PyObject** f = fields_of(self);
        const Py_ssize_t n = Py_SIZE(self);
        for (Py_ssize_t i = 0; i < total_of(self); ++i)
            if (!f[i]) throw Error(PyExc_AttributeError, "a record field was cleared");
        if (info.event) {
            add(PyUnicode_FromFormat("block_number=%R", f[n + 1]));
            add(PyUnicode_FromFormat("log_index=%R", f[n + 5]));
        }
        for (Py_ssize_t i = 0; i < n; ++i)
            add(PyUnicode_FromFormat("%U=%R", PyTuple_GET_ITEM(info.labels_str.get(), i), f[i]));
        Ref sep = Ref::steal(own(PyUnicode_FromString(", ")));
        Ref body = Ref::steal(own(PyUnicode_Join(sep.get(), parts.get())));
        return own(PyUnicode_FromFormat("%s(%U)", info.name.c_str(), body.get()));
    }, nullptr);
}

void find_reconstructors();

PyObject* record_reduce(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        const ClassInfo& info = info_of(self);
        find_reconstructors();
        Ref fields = Ref::steal(field_tuple(self));
        if (info.event)
            return own(Py_BuildValue("(O(OOOO))", g_event_reconstructor, info.abi.get(),
                                     info.checksum ? Py_True : Py_False, info.topic0.get(),
                                     fields.get()));
        return own(Py_BuildValue("(O(sOO))", g_tuple_reconstructor, info.name.c_str(),
                                 info.abi.get(), fields.get()));
    }, nullptr);
}

PyMethodDef kRecordMethods[] = {
    {"__reduce__", &record_reduce, METH_NOARGS, "For pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

// The class of `info` (its names and labels set), made and registered.
ClassInfo* create_class(std::unique_ptr<ClassInfo> info, const std::string& key,
                        std::vector<std::pair<const char*, PyObject*>> extra) {
    const std::size_t nargs = info->labels.size();
    std::vector<std::string> attributes;
    for (std::size_t i = 0; i < nargs; ++i) {
        std::string a = info->labels[i];
        if (info->event)
            for (const char* log_field : kLogFieldNames)
                if (a == log_field) a += '_';
        for (const std::string& earlier : attributes)
            if (earlier == a)
                value_error((info->event ? "event " : "tuple ") + info->name +
                            " has two arguments named '" + a + "'");
        attributes.push_back(std::move(a));
    }
    info->attributes = std::move(attributes);
    if (info->event)
        for (const char* log_field : kLogFieldNames) info->attributes.emplace_back(log_field);
    for (std::size_t i = 0; i < info->attributes.size(); ++i)
        info->members.push_back(PyMemberDef{
            info->attributes[i].c_str(), Py_T_OBJECT_EX,
            static_cast<Py_ssize_t>(sizeof(PyVarObject) + i * sizeof(PyObject*)), Py_READONLY,
            nullptr});
    info->members.push_back(PyMemberDef{nullptr, 0, 0, 0, nullptr});
    info->qualified_name = "vorlane_follow.events." + info->name;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&record_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(&record_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&record_clear)},
        {Py_tp_hash, reinterpret_cast<void*>(&record_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&record_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(&record_repr)},
        {Py_sq_length, reinterpret_cast<void*>(&record_len)},
        {Py_sq_item, reinterpret_cast<void*>(&record_item)},
        {Py_tp_methods, kRecordMethods},
        {Py_tp_members, info->members.data()},
        {0, nullptr},
    };
    PyType_Spec recipe = {
        info->qualified_name.c_str(),
        static_cast<int>(sizeof(PyVarObject) + info->attributes.size() * sizeof(PyObject*)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, slots};
    Ref type = Ref::steal(own(PyType_FromSpec(&recipe)));
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    Ref labels = Ref::steal(own(PyTuple_New(static_cast<Py_ssize_t>(nargs))));
    Ref match = Ref::steal(own(PyTuple_New(static_cast<Py_ssize_t>(nargs))));
    for (std::size_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(labels.get(), static_cast<Py_ssize_t>(i), to_py(info->labels[i]));
        PyTuple_SET_ITEM(match.get(), static_cast<Py_ssize_t>(i), to_py(info->attributes[i]));
    }
    extra.emplace_back("__match_args__", match.get());
    for (const auto& [name, value] : extra)
        if (PyDict_SetItemString(t->tp_dict, name, value) < 0) throw_fetched();
    PyType_Modified(t);
    info->labels_str = std::move(labels);
    info->type = reinterpret_cast<PyTypeObject*>(type.release());
    ClassInfo* raw = info.release();
    g_registry.emplace(key, raw);
    g_by_type.emplace(raw->type, raw);
    return raw;
}

// A description of a node that tells apart every distinct class layout.
void node_key(const std::vector<abi::Node>& nodes, std::uint32_t index, std::string& out) {
    const abi::Node& n = nodes[index];
    switch (n.kind) {
        case abi::Kind::tuple:
            out += '{';
            out += n.struct_name.empty() ? "Tuple" : n.struct_name;
            for (std::size_t i = 0; i < n.children.size(); ++i) {
                out += '|';
                out += n.names[i];
                out += ':';
                node_key(nodes, n.children[i], out);
            }
            out += '}';
            return;
        case abi::Kind::fixed_array:
            node_key(nodes, n.children[0], out);
            out += '[' + std::to_string(n.length) + ']';
            return;
        case abi::Kind::dynamic_array:
            node_key(nodes, n.children[0], out);
            out += "[]";
            return;
        default: out += n.canonical;
    }
}

// The ABI type of a node: "tuple[2]" for "(uint8,bool)[2]".
std::string abi_type(const std::vector<abi::Node>& nodes, std::uint32_t index) {
    const abi::Node& n = nodes[index];
    if (n.kind == abi::Kind::tuple) return "tuple";
    if (n.kind == abi::Kind::fixed_array)
        return abi_type(nodes, n.children[0]) + "[" + std::to_string(n.length) + "]";
    if (n.kind == abi::Kind::dynamic_array) return abi_type(nodes, n.children[0]) + "[]";
    return n.canonical;
}

// The components list of a tuple node, as an ABI writes it.
PyObject* components_of(const std::vector<abi::Node>& nodes, std::uint32_t index) {
    const abi::Node& n = nodes[index];
    Ref list = Ref::steal(own(PyList_New(static_cast<Py_ssize_t>(n.children.size()))));
    for (std::size_t i = 0; i < n.children.size(); ++i) {
        std::uint32_t base = n.children[i];
        while (nodes[base].kind == abi::Kind::fixed_array ||
               nodes[base].kind == abi::Kind::dynamic_array)
            base = nodes[base].children[0];
        Ref type = Ref::steal(to_py(abi_type(nodes, n.children[i])));
        Ref name = Ref::steal(to_py(n.names[i]));
        Ref d = Ref::steal(own(PyDict_New()));
        if (PyDict_SetItemString(d.get(), "name", name.get()) < 0 ||
            PyDict_SetItemString(d.get(), "type", type.get()) < 0)
            throw_fetched();
        if (nodes[base].kind == abi::Kind::tuple) {
            Ref sub = Ref::steal(components_of(nodes, base));
            if (PyDict_SetItemString(d.get(), "components", sub.get()) < 0) throw_fetched();
            if (!nodes[base].struct_name.empty()) {
                Ref internal = Ref::steal(to_py("struct " + nodes[base].struct_name));
                if (PyDict_SetItemString(d.get(), "internalType", internal.get()) < 0)
                    throw_fetched();
            }
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return list.release();
}

// The record class of a tuple node, or null when some component has no
// name of its own (such tuples stay plain tuples).
ClassInfo* tuple_class(const std::vector<abi::Node>& nodes, std::uint32_t index) {
    const abi::Node& n = nodes[index];
    for (std::size_t i = 0; i < n.names.size(); ++i) {
        if (n.names[i].empty()) return nullptr;
        for (std::size_t j = 0; j < i; ++j)
            if (n.names[j] == n.names[i]) return nullptr;
    }
    auto info = std::make_unique<ClassInfo>();
    info->name = n.struct_name.empty() ? "Tuple" : n.struct_name;
    std::string key = "T" + info->name;
    node_key(nodes, index, key);
    if (const auto it = g_registry.find(key); it != g_registry.end()) return it->second;
    info->labels = n.names;
    info->abi = Ref::steal(components_of(nodes, index));
    return create_class(std::move(info), key, {});
}

std::string event_key(const abi::Event& event, bool checksum) {
    std::string key = "E" + event.name();
    for (const abi::Argument& a : event.arguments()) {
        key += '|';
        key += a.name;
        key += a.indexed ? "!:" : ":";
        node_key(event.nodes(), a.node, key);
    }
    if (checksum) key += "+checksum";
    return key;
}

Ref deep_copy(PyObject* o) {
    static PyObject* deepcopy = nullptr;
    if (!deepcopy) {
        Ref copy = Ref::steal(own(PyImport_ImportModule("copy")));
        deepcopy = own(PyObject_GetAttrString(copy.get(), "deepcopy"));
    }
    return Ref::steal(own(PyObject_CallOneArg(deepcopy, o)));
}

ClassInfo* event_class(const abi::Event& event, PyObject* fragment, bool checksum,
                       PyObject* topic0) {
    const std::string key = event_key(event, checksum);
    if (const auto it = g_registry.find(key); it != g_registry.end()) return it->second;
    auto info = std::make_unique<ClassInfo>();
    info->event = true;
    info->name = event.name();
    info->checksum = checksum;
    for (const abi::Argument& a : event.arguments()) info->labels.push_back(a.name);
    info->abi = deep_copy(fragment);
    info->topic0 = Ref::steal(Py_NewRef(topic0));
    const auto& args = event.arguments();
    Ref schema = Ref::steal(own(PyTuple_New(static_cast<Py_ssize_t>(args.size()))));
    for (std::size_t i = 0; i < args.size(); ++i)
        PyTuple_SET_ITEM(schema.get(), static_cast<Py_ssize_t>(i),
                         own(Py_BuildValue("(ssO)", args[i].name.c_str(),
                                           event.nodes()[args[i].node].canonical.c_str(),
                                           args[i].indexed ? Py_True : Py_False)));
    Ref name = Ref::steal(to_py(event.name()));
    Ref signature = Ref::steal(to_py(event.signature()));
    Ref abi_copy = deep_copy(fragment);
    return create_class(std::move(info), key,
                        {{"__event_name__", name.get()},
                         {"__event_signature__", signature.get()},
                         {"__topic0__", topic0},
                         {"__schema__", schema.get()},
                         {"__abi__", abi_copy.get()}});
}

// A new record of `info`, as long as its argument list, untracked by the
// collector, its fields all null.
PyObject* new_record(const ClassInfo& info) {
    PyObject* self = reinterpret_cast<PyObject*>(_PyObject_GC_New(info.type));
    if (!self) throw_fetched();
    Py_SET_SIZE(self, static_cast<Py_ssize_t>(info.labels.size()));
    PyObject** f = fields_of(self);
    for (Py_ssize_t i = 0, n = total_of(self); i < n; ++i) f[i] = nullptr;
    return self;
}

// Values that can be part of no reference cycle.
bool atomic(PyObject* o) {
    return PyLong_CheckExact(o) || PyUnicode_CheckExact(o) || PyBytes_CheckExact(o) ||
           PyBool_Check(o) || o == Py_None;
}

// ---------------------------------------------------------------------------
// Addresses with checksum letters
// ---------------------------------------------------------------------------

// Mixed-case addresses: a hex letter is upper case where the same nibble of
// the Keccak-256 hash of the lower-case text is 8 or more.  The hash comes
// from pycryptodome; the last address is remembered (one contract's logs
// come together).
class Checksummer {
public:
    Checksummer() {
        Ref module = Ref::steal(PyImport_ImportModule("Crypto.Hash.keccak"));
        if (!module)
            throw with_cause(PyExc_ImportError,
                             "checksum_addresses needs pycryptodome (the follow extra)",
                             Error::fetch());
        new_ = Ref::steal(own(PyObject_GetAttrString(module.get(), "new")));
    }

    // Rewrites the 40 lower-case digits at `hex` in place.
    void apply(char* hex) {
        if (std::memcmp(hex, last_in_.data(), 40) == 0 && have_last_) {
            std::memcpy(hex, last_out_.data(), 40);
            return;
        }
        std::memcpy(last_in_.data(), hex, 40);
        Ref data = Ref::steal(own(PyBytes_FromStringAndSize(hex, 40)));
        Ref kwargs = Ref::steal(own(Py_BuildValue("{s:i,s:O}", "digest_bits", 256, "data", data.get())));
        Ref args = Ref::steal(own(PyTuple_New(0)));
        Ref h = Ref::steal(own(PyObject_Call(new_.get(), args.get(), kwargs.get())));
        Ref digest = Ref::steal(own(PyObject_CallMethod(h.get(), "digest", nullptr)));
        if (!PyBytes_Check(digest.get()) || PyBytes_GET_SIZE(digest.get()) != 32)
            throw Panic("keccak digest is not 32 bytes");
        const auto* d = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(digest.get()));
        for (std::size_t i = 0; i < 40; ++i) {
            const unsigned nibble = i % 2 ? d[i / 2] & 15u : d[i / 2] >> 4;
            if (hex[i] >= 'a' && nibble >= 8) hex[i] = static_cast<char>(hex[i] - 32);
        }
        std::memcpy(last_out_.data(), hex, 40);
        have_last_ = true;
    }

private:
    Ref new_;
    std::array<char, 40> last_in_{};
    std::array<char, 40> last_out_{};
    bool have_last_ = false;
};

// ---------------------------------------------------------------------------
// The decoder
// ---------------------------------------------------------------------------

struct EventEntry {
    abi::Event event;
    ClassInfo* cls = nullptr;
    std::vector<ClassInfo*> tuple_classes;  // per node: null unless a named tuple
    std::string json_head;                  // `, "event": "Transfer", "args": {`
    std::vector<std::string> json_keys;     // `"from": ` per argument
    Ref signature;
};

// One log of a call: the event chosen for it, the views of its text, and
// where its values start in the workspace (or its reason, when broken).
struct Job {
    enum class Status : std::uint8_t { none, topic_count, chosen, decoded, broken };
    Status status = Status::none;
    std::uint32_t event = 0;
    std::size_t count = 0;
    std::array<std::string_view, 4> topics;
    std::string_view data;
    std::size_t begin = 0;
};

// What one call works in.  A decoder keeps one for its calls; a call that
// starts while it is in use (from a finalizer that an allocation set off, or
// a thread that ran while the checksum hash held no lock) gets its own.
struct Workspace {
    std::vector<Job> jobs;
    std::vector<abi::Value> values;
    std::vector<std::string> reasons;
    std::string scratch;
    std::string lines;
};

struct State {
    std::vector<EventEntry> events;
    std::unordered_map<std::string, std::vector<std::uint32_t>> by_topic0;  // 32 raw bytes
    std::optional<Checksummer> checksum;
    Ref types;
    // The candidates of the last topic0 object met (the Log decoder shares
    // one str per repeated topic0).
    Ref last_topic0;
    const std::vector<std::uint32_t>* last_candidates = nullptr;
    Workspace work;
    bool work_busy = false;
    std::uint64_t undecoded = 0;
    std::set<std::pair<std::uint32_t, std::string>> failed;
    Ref pending;  // list of (signature, address, reason)
};

struct DecoderObject {
    PyObject_HEAD
    State* state;
};

PyTypeObject* g_decoder_type = nullptr;

class Lease {
public:
    explicit Lease(State& s) : s_(s) {
        if (s.work_busy) {
            own_ = std::make_unique<Workspace>();
        } else {
            s.work_busy = true;
        }
    }
    ~Lease() {
        if (!own_) s_.work_busy = false;
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Workspace& get() { return own_ ? *own_ : s_.work; }

private:
    State& s_;
    std::unique_ptr<Workspace> own_;
};

State& state_of(PyObject* self) {
    State* s = reinterpret_cast<DecoderObject*>(self)->state;
    if (!s) throw Error(PyExc_ValueError, "EventDecoder was not initialised");
    return *s;
}

void append_json_text(std::string& out, std::string_view text);

EventEntry make_entry(abi::Event event, PyObject* fragment, bool checksum, PyObject* topic0) {
    EventEntry e{std::move(event), nullptr, {}, {}, {}, {}};
    e.cls = event_class(e.event, fragment, checksum, topic0);
    const auto& nodes = e.event.nodes();
    e.tuple_classes.assign(nodes.size(), nullptr);
    for (std::uint32_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].kind == abi::Kind::tuple) e.tuple_classes[i] = tuple_class(nodes, i);
    e.json_head = ", \"event\": ";
    append_json_text(e.json_head, e.event.name());
    e.json_head += ", \"args\": {";
    for (const abi::Argument& a : e.event.arguments()) {
        std::string key;
        append_json_text(key, a.name);
        e.json_keys.push_back(key + ": ");
    }
    e.signature = Ref::steal(to_py(e.event.signature()));
    return e;
}

void record_failure(State& s, std::uint32_t event, PyObject* log, std::string_view reason) {
    ++s.undecoded;
    PyObject* address = reinterpret_cast<rpc_log::LogObject*>(log)->fields[kLogAddress];
    if (!address) return;
    std::string key;
    if (const std::string_view v = ascii_view(address); !v.empty()) {
        key = std::string(v);
    } else {
        Ref text = Ref::steal(own(PyObject_Repr(address)));
        key = std::string(utf8_view(text.get()));
    }
    if (!s.failed.emplace(event, std::move(key)).second) return;
    Ref why = Ref::steal(to_py(reason));
    Ref item = Ref::steal(
        own(PyTuple_Pack(3, s.events[event].signature.get(), address, why.get())));
    if (PyList_Append(s.pending.get(), item.get()) < 0) throw_fetched();
}

// Chooses the event of `log` by its topic0 and topic count, and takes the
// views of its text the walk needs.
void choose(State& s, PyObject* log, Job& job) {
    job.status = Job::Status::none;
    PyObject* const* f = reinterpret_cast<rpc_log::LogObject*>(log)->fields;
    PyObject* topics = f[kLogTopics];
    if (!topics || !PyTuple_CheckExact(topics) || PyTuple_GET_SIZE(topics) == 0) return;
    PyObject* topic0 = PyTuple_GET_ITEM(topics, 0);
    if (topic0 != s.last_topic0.get()) {
        const std::string_view t = ascii_view(topic0);
        s.last_candidates = nullptr;
        if (t.size() == 66 && abi::is_hex_data(t)) {
            std::array<std::uint8_t, 32> raw;
            abi::hex_to_bytes(t.data() + 2, 32, raw.data());
            const auto it =
                s.by_topic0.find(std::string(reinterpret_cast<const char*>(raw.data()), 32));
            if (it != s.by_topic0.end()) s.last_candidates = &it->second;
        }
        s.last_topic0 = Ref::steal(Py_NewRef(topic0));
    }
    if (!s.last_candidates) return;
    const Py_ssize_t n = PyTuple_GET_SIZE(topics);
    job.event = s.last_candidates->front();
    job.count = static_cast<std::size_t>(n);
    for (const std::uint32_t i : *s.last_candidates) {
        if (static_cast<Py_ssize_t>(s.events[i].event.topic_count()) != n) continue;
        job.event = i;
        job.status = Job::Status::chosen;
        for (Py_ssize_t k = 0; k < n; ++k) job.topics[k] = ascii_view(PyTuple_GET_ITEM(topics, k));
        job.data = f[kLogData] ? ascii_view(f[kLogData]) : std::string_view();
        return;
    }
    job.status = Job::Status::topic_count;
}

// Walks every chosen log's encoding into w.values.  Touches no Python
// object: the views lie in str objects that the logs, held by the caller,
// keep alive and unchanged.
void walk_all(const State& s, Workspace& w) {
    w.values.clear();
    w.reasons.clear();
    for (Job& job : w.jobs) {
        if (job.status != Job::Status::chosen) continue;
        job.begin = w.values.size();
        std::string reason;
        if (s.events[job.event].event.decode(std::span(job.topics.data(), job.count), job.data,
                                              w.values, reason)) {
            job.status = Job::Status::decoded;
        } else {
            w.values.resize(job.begin);
            job.status = Job::Status::broken;
            job.begin = w.reasons.size();
            w.reasons.push_back(std::move(reason));
        }
    }
}

// Chooses and walks the logs of `items` (a tuple of Logs): afterwards
// w.jobs[i] tells what became of log i.  Batches large enough to be worth
// it are walked with the GIL released.
void prepare(State& s, Workspace& w, PyObject* items) {
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    w.jobs.resize(static_cast<std::size_t>(n));
    std::size_t chosen = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        choose(s, PyTuple_GET_ITEM(items, i), w.jobs[static_cast<std::size_t>(i)]);
        chosen += w.jobs[static_cast<std::size_t>(i)].status == Job::Status::chosen;
    }
    if (chosen >= 64) {
        ReleasedGil released;
        walk_all(s, w);
    } else {
        walk_all(s, w);
    }
}

// Counts and reports log i when it was chosen but did not decode.
void report(State& s, Workspace& w, PyObject* log, const Job& job) {
    if (job.status == Job::Status::topic_count)
        record_failure(s, job.event, log,
                       std::to_string(job.count) + " topics, the event has " +
                           std::to_string(s.events[job.event].event.topic_count()));
    else if (job.status == Job::Status::broken)
        record_failure(s, job.event, log, w.reasons[job.begin]);
}

// The 40 digits of the address in the word at `hex`: lower case, or with
// checksum letters when the decoder writes them.
void address_digits(State& s, const char* hex, char* out) {
    for (int i = 0; i < 40; ++i) out[i] = static_cast<char>(hex[24 + i] | 0x20);
    if (s.checksum) s.checksum->apply(out);
}

// ---------------------------------------------------------------------------
// Values as objects
// ---------------------------------------------------------------------------

#if PY_VERSION_HEX < 0x030C0000 && PYLONG_BITS_IN_DIGIT == 30
// An int of the magnitude held by `limbs` (most significant first), its
// digits written straight into the 3.11 layout: 30 bits each, least
// significant first, the sign in the size.
PyObject* long_from_limbs(const std::array<std::uint64_t, 4>& limbs, bool negative) {
    std::size_t top = 0;
    while (top < 4 && limbs[top] == 0) ++top;
    if (top == 4) return own(PyLong_FromLong(0));
    const std::size_t bits = 64 * (3 - top) + 64 - static_cast<std::size_t>(__builtin_clzll(limbs[top]));
    const std::size_t count = (bits + PyLong_SHIFT - 1) / PyLong_SHIFT;
    PyLongObject* r = _PyLong_New(static_cast<Py_ssize_t>(count));
    if (!r) throw_fetched();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t bit = i * PyLong_SHIFT;
        const std::size_t limb = 3 - bit / 64;  // its index, most significant first
        const std::size_t shift = bit % 64;
        std::uint64_t chunk = limbs[limb] >> shift;
        if (shift > 64 - PyLong_SHIFT && limb > 0) chunk |= limbs[limb - 1] << (64 - shift);
        r->ob_digit[i] = static_cast<digit>(chunk & PyLong_MASK);
    }
    Py_SET_SIZE(r, negative ? -static_cast<Py_ssize_t>(count) : static_cast<Py_ssize_t>(count));
    return reinterpret_cast<PyObject*>(r);
}
#endif

PyObject* word_int(const char* w, bool is_signed) {
    const auto limbs = abi::word_limbs(w);
    const bool high_zero = !limbs[0] && !limbs[1] && !limbs[2];
    if (!is_signed && high_zero) return own(PyLong_FromUnsignedLongLong(limbs[3]));
    if (is_signed) {
        const std::uint64_t ext = limbs[3] >> 63 ? ~std::uint64_t{0} : 0;
        if (limbs[0] == ext && limbs[1] == ext && limbs[2] == ext)
            return own(PyLong_FromLongLong(static_cast<long long>(limbs[3])));
    }
#if PY_VERSION_HEX < 0x030C0000 && PYLONG_BITS_IN_DIGIT == 30
    if (is_signed && limbs[0] >> 63) {
        std::array<std::uint64_t, 4> magnitude;
        bool carry = true;
        for (std::size_t i = 4; i-- > 0;) {
            magnitude[i] = ~limbs[i] + (carry ? 1 : 0);
            carry = carry && magnitude[i] == 0;
        }
        return long_from_limbs(magnitude, true);
    }
    return long_from_limbs(limbs, false);
#endif
    unsigned char bytes[32];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint64_t be = __builtin_bswap64(limbs[i]);
        std::memcpy(bytes + 8 * i, &be, 8);
    }
#if PY_VERSION_HEX >= 0x030D0000
    return own(is_signed ? PyLong_FromNativeBytes(bytes, 32, Py_ASNATIVEBYTES_BIG_ENDIAN)
                         : PyLong_FromUnsignedNativeBytes(bytes, 32, Py_ASNATIVEBYTES_BIG_ENDIAN));
#else
    return own(_PyLong_FromByteArray(bytes, 32, 0, is_signed ? 1 : 0));
#endif
}

PyObject* hex_bytes(const char* hex, std::size_t n) {
    PyObject* b = own(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    abi::hex_to_bytes(hex, n, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(b)));
    return b;
}

class Builder {
public:
    Builder(State& s, Workspace& w, const EventEntry& e, std::size_t begin)
        : s_(s), w_(w), e_(e), nodes_(e.event.nodes()), pos_(begin) {}

    PyObject* build(std::uint32_t index) {
        const abi::Node& n = nodes_[index];
        const abi::Value& v = w_.values[pos_++];
        switch (n.kind) {
            case abi::Kind::unsigned_int:
                if (n.size <= 64) return own(PyLong_FromUnsignedLongLong(abi::hex_u64(v.hex + 48)));
                return word_int(v.hex, false);
            case abi::Kind::signed_int: return word_int(v.hex, true);
            case abi::Kind::address: {
                char digits[40];
                address_digits(s_, v.hex, digits);
                PyObject* str = own(PyUnicode_New(42, 127));
                char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str));
                out[0] = '0';
                out[1] = 'x';
                std::memcpy(out + 2, digits, 40);
                return str;
            }
            case abi::Kind::boolean: return Py_NewRef(v.hex[63] == '1' ? Py_True : Py_False);
            case abi::Kind::fixed_bytes: return hex_bytes(v.hex, n.size);
            case abi::Kind::bytes: return hex_bytes(v.hex, v.size);
            case abi::Kind::string: {
                w_.scratch.resize(v.size);
                abi::hex_to_bytes(v.hex, v.size, reinterpret_cast<std::uint8_t*>(w_.scratch.data()));
                return own(PyUnicode_DecodeUTF8(w_.scratch.data(),
                                                static_cast<Py_ssize_t>(v.size), "strict"));
            }
            case abi::Kind::tuple:
                if (ClassInfo* cls = e_.tuple_classes[index]) {
                    Ref r = Ref::steal(new_record(*cls));
                    bool all_atomic = true;
                    for (std::size_t i = 0; i < n.children.size(); ++i) {
                        PyObject* item = build(n.children[i]);
                        fields_of(r.get())[i] = item;
                        all_atomic = all_atomic && atomic(item);
                    }
                    if (!all_atomic) PyObject_GC_Track(r.get());
                    return r.release();
                }
                return sequence(n.children, v.size, false);
            default:  // arrays
                return sequence(n.children, v.size, true);
        }
    }

    // Argument `a`: a raw topic, or its value.
    PyObject* argument(const abi::Argument& a) {
        if (a.raw_topic) return hex_bytes(w_.values[pos_++].hex, 32);
        return build(a.node);
    }

private:
    PyObject* sequence(const std::vector<std::uint32_t>& children, std::uint32_t count,
                       bool array) {
        Ref t = Ref::steal(own(PyTuple_New(count)));
        for (std::uint32_t i = 0; i < count; ++i)
            PyTuple_SET_ITEM(t.get(), i, build(children[array ? 0 : i]));
        return t.release();
    }

    State& s_;
    Workspace& w_;
    const EventEntry& e_;
    const std::vector<abi::Node>& nodes_;
    std::size_t pos_;
};

PyObject* make_event_record(State& s, Workspace& w, const EventEntry& e, PyObject* log,
                            std::size_t begin) {
    const auto& args = e.event.arguments();
    Ref r = Ref::steal(new_record(*e.cls));
    PyObject** f = fields_of(r.get());
    Builder builder(s, w, e, begin);
    bool all_atomic = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        f[i] = builder.argument(args[i]);
        all_atomic = all_atomic && atomic(f[i]);
    }
    PyObject* const* l = reinterpret_cast<rpc_log::LogObject*>(log)->fields;
    PyObject* from_log[kLogFieldCount] = {l[kLogAddress], l[kLogNumber], l[kLogBlockHash],
                                          l[kLogTxHash],  rpc_log::transaction_index(log),
                                          l[kLogIndex]};
    for (int k = 0; k < kLogFieldCount; ++k) {
        PyObject* v = from_log[k] ? from_log[k] : Py_None;
        f[args.size() + k] = Py_NewRef(v);
        all_atomic = all_atomic && atomic(v);
    }
    if (!all_atomic) PyObject_GC_Track(r.get());
    return r.release();
}

// ---------------------------------------------------------------------------
// Values as JSON
// ---------------------------------------------------------------------------

// Text that is valid UTF-8, quoted with the escapes JSON requires (the
// rest, non-ASCII text included, as it is).
void append_json_text(std::string& out, std::string_view text) {
    out += '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == '"' || c == '\\') json_text::append_escape(out, c);
        else out += ch;
    }
    out += '"';
}

void append_hex(std::string& out, const char* hex, std::size_t digits) {
    out += "\"0x";
    const std::size_t at = out.size();
    out.append(hex, digits);
    for (std::size_t i = at; i < out.size(); ++i) out[i] = static_cast<char>(out[i] | 0x20);
    out += '"';
}

class JsonWriter {
public:
    JsonWriter(State& s, Workspace& w, const EventEntry& e, std::string& out, std::size_t begin)
        : s_(s), w_(w), nodes_(e.event.nodes()), out_(out), pos_(begin) {}

    void write(std::uint32_t index) {
        const abi::Node& n = nodes_[index];
        const abi::Value& v = w_.values[pos_++];
        switch (n.kind) {
            case abi::Kind::unsigned_int:
            case abi::Kind::signed_int: {
                const bool is_signed = n.kind == abi::Kind::signed_int;
                const auto limbs = abi::word_limbs(v.hex);
                const bool quoted = n.size > 48;
                if (quoted) out_ += '"';
                const std::uint64_t ext = is_signed && limbs[3] >> 63 ? ~std::uint64_t{0} : 0;
                if (limbs[0] == ext && limbs[1] == ext && limbs[2] == ext) {
                    char buf[24];
                    const auto r =
                        is_signed ? std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(limbs[3]))
                                  : std::to_chars(buf, buf + sizeof buf, limbs[3]);
                    out_.append(buf, r.ptr);
                } else {
                    abi::append_word_decimal(out_, limbs, is_signed);
                }
                if (quoted) out_ += '"';
                return;
            }
            case abi::Kind::address: {
                char digits[40];
                address_digits(s_, v.hex, digits);
                out_ += "\"0x";
                out_.append(digits, 40);
                out_ += '"';
                return;
            }
            case abi::Kind::boolean: out_ += v.hex[63] == '1' ? "true" : "false"; return;
            case abi::Kind::fixed_bytes: append_hex(out_, v.hex, 2 * n.size); return;
            case abi::Kind::bytes: append_hex(out_, v.hex, 2 * std::size_t{v.size}); return;
            case abi::Kind::string:
                w_.scratch.resize(v.size);
                abi::hex_to_bytes(v.hex, v.size, reinterpret_cast<std::uint8_t*>(w_.scratch.data()));
                append_json_text(out_, w_.scratch);
                return;
            case abi::Kind::tuple: {
                const bool named = std::none_of(n.names.begin(), n.names.end(),
                                                [](const std::string& x) { return x.empty(); });
                out_ += named ? '{' : '[';
                for (std::size_t i = 0; i < n.children.size(); ++i) {
                    if (i) out_ += ", ";
                    if (named) {
                        append_json_text(out_, n.names[i]);
                        out_ += ": ";
                    }
                    write(n.children[i]);
                }
                out_ += named ? '}' : ']';
                return;
            }
            default:
                out_ += '[';
                for (std::uint32_t i = 0; i < v.size; ++i) {
                    if (i) out_ += ", ";
                    write(n.children[0]);
                }
                out_ += ']';
        }
    }

    void argument(const abi::Argument& a) {
        if (a.raw_topic) append_hex(out_, w_.values[pos_++].hex, 64);
        else write(a.node);
    }

private:
    State& s_;
    Workspace& w_;
    const std::vector<abi::Node>& nodes_;
    std::string& out_;
    std::size_t pos_;
};

// ---------------------------------------------------------------------------
// The EventDecoder type
// ---------------------------------------------------------------------------

// The logs argument as a tuple of Log records.
Ref log_tuple(PyObject* logs, const char* method) {
    Ref items = Ref::steal(PySequence_Tuple(logs));
    if (!items) {
        Error e = Error::fetch();
        throw with_cause(PyExc_TypeError,
                         std::string(method) + "() expects an iterable of Log records",
                         std::move(e));
    }
    PyTypeObject* log_type = rpc_log::log_type();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyObject_TypeCheck(item, log_type))
            type_error(std::string(method) + "() takes Log records, not " +
                       Py_TYPE(item)->tp_name);
    }
    return items;
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        static const char* keywords[] = {"", "checksum_addresses", nullptr};
        PyObject* events = nullptr;
        int checksum = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:EventDecoder",
                                         const_cast<char**>(keywords), &events, &checksum))
            throw_fetched();
        auto state = std::make_unique<State>();
        if (checksum) state->checksum.emplace();
        Ref seq = Ref::steal(PySequence_Tuple(events));
        if (!seq) throw_fetched();
        const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
        state->types = Ref::steal(own(PyTuple_New(n)));
        state->pending = Ref::steal(own(PyList_New(0)));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyTuple_GET_ITEM(seq.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                type_error("EventDecoder() takes (fragment, topic0) pairs");
            PyObject* fragment = PyTuple_GET_ITEM(pair, 0);
            PyObject* topic0 = PyTuple_GET_ITEM(pair, 1);
            abi::Event event = read_event(fragment);
            if (!PyBytes_Check(topic0) || PyBytes_GET_SIZE(topic0) != 32)
                value_error("event " + event.name() + ": topic0 must be 32 bytes");
            const std::string raw(PyBytes_AS_STRING(topic0), 32);
            state->events.push_back(make_entry(std::move(event), fragment, checksum != 0, topic0));
            state->by_topic0[raw].push_back(static_cast<std::uint32_t>(i));
            PyTuple_SET_ITEM(state->types.get(), i,
                             Py_NewRef(reinterpret_cast<PyObject*>(state->events.back().cls->type)));
        }
        PyObject* self = own(type->tp_alloc(type, 0));
        reinterpret_cast<DecoderObject*>(self)->state = state.release();
        return self;
    }, nullptr);
}

void decoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<DecoderObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* decoder_decode(PyObject* self, PyObject* logs) {
    return guard([&]() -> PyObject* {
        State& s = state_of(self);
        Ref items = log_tuple(logs, "decode");
        Lease lease(s);
        Workspace& w = lease.get();
        prepare(s, w, items.get());
        const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
        Ref out = Ref::steal(own(PyList_New(n)));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* log = PyTuple_GET_ITEM(items.get(), i);
            const Job& job = w.jobs[static_cast<std::size_t>(i)];
            if (job.status == Job::Status::decoded) {
                PyList_SET_ITEM(out.get(), i,
                                make_event_record(s, w, s.events[job.event], log, job.begin));
            } else {
                PyList_SET_ITEM(out.get(), i, Py_NewRef(log));
                report(s, w, log, job);
            }
        }
        return out.release();
    }, nullptr);
}

PyObject* decoder_encode_lines(PyObject* self, PyObject* logs) {
    return guard([&]() -> PyObject* {
        State& s = state_of(self);
        Ref items = log_tuple(logs, "encode_lines");
        Lease lease(s);
        Workspace& w = lease.get();
        prepare(s, w, items.get());
        const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
        // The text is written into the decoder's own buffer, kept between
        // calls: a fresh one this large would be new pages to fault in.
        std::string& out = w.lines;
        out.clear();
        out.reserve(static_cast<std::size_t>(n) * 620);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!rpc_log::append_log_line(out, PyTuple_GET_ITEM(items.get(), i))) throw_fetched();
            const Job& job = w.jobs[static_cast<std::size_t>(i)];
            if (job.status != Job::Status::decoded) continue;
            const EventEntry& e = s.events[job.event];
            out.resize(out.size() - 2);  // without "}\n"
            out += e.json_head;
            JsonWriter writer(s, w, e, out, job.begin);
            const auto& args = e.event.arguments();
            for (std::size_t k = 0; k < args.size(); ++k) {
                if (k) out += ", ";
                out += e.json_keys[k];
                writer.argument(args[k]);
            }
            out += "}}\n";
        }
        // Failures are counted once every line is written: a log that no
        // line can be written for leaves the counts as they were.
        for (Py_ssize_t i = 0; i < n; ++i)
            report(s, w, PyTuple_GET_ITEM(items.get(), i), w.jobs[static_cast<std::size_t>(i)]);
        PyObject* result = own(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
        if (out.capacity() > (std::size_t{64} << 20)) std::string().swap(out);
        return result;
    }, nullptr);
}

PyObject* decoder_new_failures(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        State& s = state_of(self);
        PyObject* list = s.pending.release();
        s.pending = Ref::steal(own(PyList_New(0)));
        return list;
    }, nullptr);
}

PyObject* decoder_types(PyObject* self, void*) {
    return guard([&]() -> PyObject* { return Py_NewRef(state_of(self).types.get()); }, nullptr);
}

PyObject* decoder_undecoded(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        return own(PyLong_FromUnsignedLongLong(state_of(self).undecoded));
    }, nullptr);
}

PyMethodDef kDecoderMethods[] = {
    {"decode", &decoder_decode, METH_O,
     "decode($self, logs, /)\n--\n\n"
     "A list of the same length: each log as a record of the event it fits, or\n"
     "the Log itself when it fits none or breaks its event's encoding."},
    {"encode_lines", &decoder_encode_lines, METH_O,
     "encode_lines($self, logs, /)\n--\n\n"
     "JSON Lines: each log's line as encode_log_lines writes it, with \"event\"\n"
     "and \"args\" members when it decodes."},
    {"new_failures", &decoder_new_failures, METH_NOARGS,
     "new_failures($self, /)\n--\n\n"
     "(event signature, address, reason) for each event and contract whose first\n"
     "undecodable log came since the previous call."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kDecoderGetset[] = {
    {"types", &decoder_types, nullptr, "The record classes, one per event, in order.", nullptr},
    {"undecoded", &decoder_undecoded, nullptr,
     "Logs delivered undecoded because they broke their event's encoding.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kDecoderSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "EventDecoder(events, /, *, checksum_addresses=False)\n--\n\n"
                    "Decodes logs against events given as (fragment, topic0) pairs.")},
    {Py_tp_new, reinterpret_cast<void*>(&decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&decoder_dealloc)},
    {Py_tp_methods, kDecoderMethods},
    {Py_tp_getset, kDecoderGetset},
    {0, nullptr},
};

PyType_Spec kDecoderRecipe = {"vorlane_rpc.EventDecoder", sizeof(DecoderObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kDecoderSlots};

void find_reconstructors() {
    if (g_event_reconstructor) return;
    Ref module = Ref::steal(own(PyImport_ImportModule("vorlane_rpc")));
    Ref event = Ref::steal(own(PyObject_GetAttrString(module.get(), "_event_record")));
    Ref tuple = Ref::steal(own(PyObject_GetAttrString(module.get(), "_tuple_record")));
    g_event_reconstructor = event.release();
    g_tuple_reconstructor = tuple.release();
}

// Fills a new record of `cls` from a tuple of all its fields.
PyObject* record_from(const ClassInfo& cls, PyObject* fields) {
    const std::size_t total = cls.attributes.size();
    if (!PyTuple_Check(fields) || static_cast<std::size_t>(PyTuple_GET_SIZE(fields)) != total)
        type_error(cls.name + " takes a tuple of " + std::to_string(total) + " fields");
    Ref r = Ref::steal(new_record(cls));
    for (std::size_t i = 0; i < total; ++i)
        fields_of(r.get())[i] = Py_NewRef(PyTuple_GET_ITEM(fields, static_cast<Py_ssize_t>(i)));
    PyObject_GC_Track(r.get());
    return r.release();
}

}  // namespace

PyTypeObject* decoder_type() {
    if (!g_decoder_type) {
        g_decoder_type = reinterpret_cast<PyTypeObject*>(own(PyType_FromSpec(&kDecoderRecipe)));
    }
    return g_decoder_type;
}

PyObject* event_record(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guard([&]() -> PyObject* {
        if (nargs != 4) type_error("_event_record() takes exactly 4 arguments");
        const abi::Event event = read_event(args[0]);
        const int checksum = PyObject_IsTrue(args[1]);
        if (checksum < 0) throw_fetched();
        if (!PyBytes_Check(args[2]) || PyBytes_GET_SIZE(args[2]) != 32)
            value_error("event " + event.name() + ": topic0 must be 32 bytes");
        const ClassInfo* cls = event_class(event, args[0], checksum != 0, args[2]);
        return record_from(*cls, args[3]);
    }, nullptr);
}

PyObject* tuple_record(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guard([&]() -> PyObject* {
        if (nargs != 3) type_error("_tuple_record() takes exactly 3 arguments");
        if (!PyUnicode_Check(args[0])) type_error("_tuple_record() takes a str name");
        const std::string name(utf8_view(args[0]));
        // The components compiled as the one tuple argument of an event.
        Ref param = Ref::steal(own(Py_BuildValue("{s:s,s:s,s:O,s:s}", "name", "value", "type",
                                                 "tuple", "components", args[1], "internalType",
                                                 ("struct " + name).c_str())));
        Ref fragment = Ref::steal(own(Py_BuildValue("{s:s,s:[O]}", "name", "T", "inputs",
                                                    param.get())));
        const abi::Event event = read_event(fragment.get());
        const ClassInfo* cls = tuple_class(event.nodes(), event.arguments()[0].node);
        if (!cls) value_error("_tuple_record() takes named components");
        return record_from(*cls, args[2]);
    }, nullptr);
}

}  // namespace vorlane::py::rpc_event
