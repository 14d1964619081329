// vorlane_rpc.Log, a native stand-in for a frozen dataclass of seven fields
// (same constructor, attributes, equality, hash, repr, pickling) that also
// carries the log's transaction index, a keyword-only extra outside them, and
// encode_log_lines, the follower's JSON Lines output written without the json
// module for logs whose fields are plain str and int.
#include "rpc_log.hpp"

#include <cstddef>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // the member constants, given their Py_ names in 3.12
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif
#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "json_text.hpp"

namespace vorlane::py::rpc_log {
namespace {

constexpr const char* kNames[kFieldCount] = {"block_number", "block_hash", "transaction_hash",
                                             "log_index",    "address",    "topics",
                                             "data"};

PyTypeObject* g_type = nullptr;

LogObject* as_log(PyObject* self) { return reinterpret_cast<LogObject*>(self); }

PyObject* log_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"block_number", "block_hash", "transaction_hash",
                                     "log_index",    "address",    "topics",
                                     "data",         "transaction_index", nullptr};
    PyObject* f[kFieldCount];
    PyObject* index = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO|$O:Log", const_cast<char**>(keywords),
                                     &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &index))
        return nullptr;
    // Kept as an exact int (or None), so that C code may read it as one.
    if (index != Py_None) {
        if (!PyIndex_Check(index))
            return PyErr_Format(PyExc_TypeError,
                                "Log() argument 'transaction_index' must be int or None, not %s",
                                Py_TYPE(index)->tp_name);
        index = PyNumber_Index(index);
        if (!index) return nullptr;
    } else {
        Py_INCREF(index);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        Py_DECREF(index);
        return nullptr;
    }
    for (int i = 0; i < kFieldCount; ++i) as_log(self)->fields[i] = Py_NewRef(f[i]);
    as_log(self)->transaction_index = index;
    return self;
}

int log_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* f : as_log(self)->fields) Py_VISIT(f);
    return 0;
}

int log_clear(PyObject* self) {
    for (PyObject*& f : as_log(self)->fields) Py_CLEAR(f);
    return 0;
}

void log_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    log_clear(self);
    Py_CLEAR(as_log(self)->transaction_index);
    type->tp_free(self);
    Py_DECREF(type);
}

// The fields as a tuple.  Returns a new reference, or null with an error.
PyObject* field_tuple(PyObject* self) {
    PyObject* t = PyTuple_New(kFieldCount);
    if (!t) return nullptr;
    for (int i = 0; i < kFieldCount; ++i) {
        PyObject* f = as_log(self)->fields[i];
        if (!f) {  // cleared by the collector
            Py_DECREF(t);
            PyErr_SetString(PyExc_AttributeError, kNames[i]);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, i, Py_NewRef(f));
    }
    return t;
}

// hash((block_number, ..., data)), as the dataclass's __hash__.
Py_hash_t log_hash(PyObject* self) {
    PyObject* t = field_tuple(self);
    if (!t) return -1;
    const Py_hash_t h = PyObject_Hash(t);
    Py_DECREF(t);
    return h;
}

// Equal when the other object is a Log and the field tuples are equal.
PyObject* log_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self))
        Py_RETURN_NOTIMPLEMENTED;
    PyObject* a = field_tuple(self);
    if (!a) return nullptr;
    PyObject* b = field_tuple(other);
    if (!b) {
        Py_DECREF(a);
        return nullptr;
    }
    PyObject* r = PyObject_RichCompare(a, b, op);
    Py_DECREF(a);
    Py_DECREF(b);
    return r;
}

PyObject* log_repr(PyObject* self) {
    const int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("...") : nullptr;
    PyObject* t = field_tuple(self);
    PyObject* r = nullptr;
    if (t) {
        r = PyUnicode_FromFormat(
            "%s(block_number=%R, block_hash=%R, transaction_hash=%R, log_index=%R, address=%R, "
            "topics=%R, data=%R)",
            "Log", PyTuple_GET_ITEM(t, 0), PyTuple_GET_ITEM(t, 1), PyTuple_GET_ITEM(t, 2),
            PyTuple_GET_ITEM(t, 3), PyTuple_GET_ITEM(t, 4), PyTuple_GET_ITEM(t, 5),
            PyTuple_GET_ITEM(t, 6));
        Py_DECREF(t);
    }
    Py_ReprLeave(self);
    return r;
}

// functools.partial, looked up on first need.
PyObject* g_partial = nullptr;

// Pickling and copying: Log(*fields), or with a transaction index
// functools.partial(Log, transaction_index=index)(*fields).
PyObject* log_reduce(PyObject* self, PyObject*) {
    Ref fields = Ref::steal(field_tuple(self));
    if (!fields) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyObject* index = as_log(self)->transaction_index;
    if (index == Py_None) return PyTuple_Pack(2, type, fields.get());
    if (!g_partial) {
        Ref functools = Ref::steal(PyImport_ImportModule("functools"));
        if (!functools) return nullptr;
        g_partial = PyObject_GetAttrString(functools.get(), "partial");
        if (!g_partial) return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(1, type));
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "transaction_index", index));
    if (!args || !kwargs) return nullptr;
    Ref make = Ref::steal(PyObject_Call(g_partial, args.get(), kwargs.get()));
    if (!make) return nullptr;
    return PyTuple_Pack(2, make.get(), fields.get());
}

PyMethodDef kMethods[] = {
    {"__reduce__", &log_reduce, METH_NOARGS,
     "Log(*fields), with the transaction index as a keyword: for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

// Read-only members: assigning one raises AttributeError, as assigning a
// field of a frozen dataclass does.
PyMemberDef kMembers[] = {
#define VORLANE_LOG_MEMBER(i)                                                                    \
    {const_cast<char*>(kNames[i]), Py_T_OBJECT_EX,                                                \
     static_cast<Py_ssize_t>(offsetof(LogObject, fields) + (i) * sizeof(PyObject*)), Py_READONLY, \
     nullptr}
    VORLANE_LOG_MEMBER(0), VORLANE_LOG_MEMBER(1), VORLANE_LOG_MEMBER(2), VORLANE_LOG_MEMBER(3),
    VORLANE_LOG_MEMBER(4), VORLANE_LOG_MEMBER(5), VORLANE_LOG_MEMBER(6),
#undef VORLANE_LOG_MEMBER
    {const_cast<char*>("transaction_index"), Py_T_OBJECT_EX,
     static_cast<Py_ssize_t>(offsetof(LogObject, transaction_index)), Py_READONLY,
     const_cast<char*>("The index of the log's transaction in its block, or None.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Log(block_number, block_hash, transaction_hash, log_index, address, topics, "
                    "data, *, transaction_index=None)\n--\n\n"
                    "One log as the node returned it, every hex text in lower case. The\n"
                    "transaction index takes no part in equality, hashing or repr.")},
    {Py_tp_new, reinterpret_cast<void*>(&log_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&log_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&log_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&log_clear)},
    {Py_tp_hash, reinterpret_cast<void*>(&log_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&log_richcompare)},
    {Py_tp_repr, reinterpret_cast<void*>(&log_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kRecipe = {"vorlane_rpc.Log", sizeof(LogObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

// ---------------------------------------------------------------------------
// JSON Lines
// ---------------------------------------------------------------------------

// A str as the json module writes it with ensure_ascii.
void append_json_str(std::string& out, PyObject* s) {
    out += '"';
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    if (kind == PyUnicode_1BYTE_KIND) {
        const auto* p = static_cast<const unsigned char*>(data);
        Py_ssize_t run = 0;  // characters copied as they are
        for (Py_ssize_t i = 0; i < n; ++i) {
            const unsigned char c = p[i];
            if (c >= ' ' && c <= '~' && c != '\\' && c != '"') continue;
            out.append(reinterpret_cast<const char*>(p + run), static_cast<std::size_t>(i - run));
            run = i + 1;
            json_text::append_escape(out, c);
        }
        out.append(reinterpret_cast<const char*>(p + run), static_cast<std::size_t>(n - run));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
                out += static_cast<char>(c);
            } else if (c >= 0x10000) {
                c -= 0x10000;
                json_text::append_u4(out, 0xd800 | ((c >> 10) & 0x3ff));
                json_text::append_u4(out, 0xdc00 | (c & 0x3ff));
            } else {
                json_text::append_escape(out, c);
            }
        }
    }
    out += '"';
}

// An int as json writes it (int.__repr__).  False with an error set when
// that fails (an int too long for a decimal text).
bool append_json_int(std::string& out, PyObject* v) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow) {
        if (x == -1 && PyErr_Occurred()) return false;
        char buf[24];
        const int len = PyOS_snprintf(buf, sizeof buf, "%lld", x);
        out.append(buf, static_cast<std::size_t>(len));
        return true;
    }
    PyObject* text = PyLong_Type.tp_repr(v);
    if (!text) return false;
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &len);
    if (utf8) out.append(utf8, static_cast<std::size_t>(len));
    Py_DECREF(text);
    return utf8 != nullptr;
}

// The bound json.JSONEncoder().encode, made on first need.
PyObject* g_encode = nullptr;

// The slow path for a log with fields of other types: json itself encodes
// the same dict the follower builds.  False with an error set on failure.
bool append_with_json(std::string& out, PyObject* (&f)[kFieldCount]) {
    if (!g_encode) {
        PyObject* json = PyImport_ImportModule("json");
        if (!json) return false;
        PyObject* encoder = PyObject_CallMethod(json, "JSONEncoder", nullptr);
        Py_DECREF(json);
        if (!encoder) return false;
        g_encode = PyObject_GetAttrString(encoder, "encode");
        Py_DECREF(encoder);
        if (!g_encode) return false;
    }
    PyObject* topics = PySequence_List(f[5]);
    if (!topics) return false;
    PyObject* dict = Py_BuildValue("{s:s,s:O,s:O,s:O,s:O,s:O,s:N,s:O}", "type", "log",
                                   "block_number", f[0], "block_hash", f[1], "transaction_hash",
                                   f[2], "log_index", f[3], "address", f[4], "topics", topics,
                                   "data", f[6]);
    if (!dict) return false;
    PyObject* text = PyObject_CallOneArg(g_encode, dict);
    Py_DECREF(dict);
    if (!text) return false;
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &len);
    if (utf8) {
        out.append(utf8, static_cast<std::size_t>(len));
        out += '\n';
    }
    Py_DECREF(text);
    return utf8 != nullptr;
}

bool plain(PyObject* (&f)[kFieldCount]) {
    if (!PyLong_CheckExact(f[0]) || !PyLong_CheckExact(f[3]) || !PyTuple_CheckExact(f[5]))
        return false;
    for (const int i : {1, 2, 4, 6})
        if (!PyUnicode_CheckExact(f[i])) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(f[5]); ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(f[5], i))) return false;
    return true;
}

bool append_line(std::string& out, PyObject* (&f)[kFieldCount]) {
    if (!plain(f)) return append_with_json(out, f);
    out += R"({"type": "log", "block_number": )";
    if (!append_json_int(out, f[0])) return false;
    out += R"(, "block_hash": )";
    append_json_str(out, f[1]);
    out += R"(, "transaction_hash": )";
    append_json_str(out, f[2]);
    out += R"(, "log_index": )";
    if (!append_json_int(out, f[3])) return false;
    out += R"(, "address": )";
    append_json_str(out, f[4]);
    out += R"(, "topics": [)";
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(f[5]); ++i) {
        if (i) out += ", ";
        append_json_str(out, PyTuple_GET_ITEM(f[5], i));
    }
    out += R"(], "data": )";
    append_json_str(out, f[6]);
    out += "}\n";
    return true;
}

}  // namespace

bool append_log_line(std::string& out, PyObject* log) {
    PyObject* f[kFieldCount] = {};
    bool ok = true;
    if (Py_TYPE(log) == g_type) {
        for (int i = 0; i < kFieldCount; ++i) {
            f[i] = as_log(log)->fields[i];
            if (!f[i]) {
                PyErr_SetString(PyExc_AttributeError, kNames[i]);
                return false;
            }
            Py_INCREF(f[i]);
        }
    } else {
        for (int i = 0; i < kFieldCount && ok; ++i)
            ok = (f[i] = PyObject_GetAttrString(log, kNames[i])) != nullptr;
    }
    if (ok) ok = append_line(out, f);
    for (PyObject* x : f) Py_XDECREF(x);
    return ok;
}

PyTypeObject* log_type() {
    if (!g_type) {
        PyObject* t = PyType_FromSpec(&kRecipe);
        if (!t) throw_fetched();
        Ref match = Ref::steal(Py_BuildValue("(sssssss)", kNames[0], kNames[1], kNames[2],
                                             kNames[3], kNames[4], kNames[5], kNames[6]));
        if (!match || PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(t)->tp_dict,
                                           "__match_args__", match.get()) < 0) {
            Py_DECREF(t);
            throw_fetched();
        }
        PyType_Modified(reinterpret_cast<PyTypeObject*>(t));
        g_type = reinterpret_cast<PyTypeObject*>(t);
    }
    return g_type;
}

PyObject* make_log(PyObject* (&fields)[kFieldCount], PyObject* transaction_index) {
    if (!transaction_index) transaction_index = Py_NewRef(Py_None);
    PyObject* self = g_type->tp_alloc(g_type, 0);
    if (!self) {
        for (PyObject* f : fields) Py_DECREF(f);
        Py_DECREF(transaction_index);
        throw_fetched();
    }
    for (int i = 0; i < kFieldCount; ++i) as_log(self)->fields[i] = fields[i];
    as_log(self)->transaction_index = transaction_index;
    return self;
}

PyObject* encode_log_lines(PyObject*, PyObject* logs) noexcept {
    return guard([&]() -> PyObject* {
        Ref seq =
            Ref::steal(PySequence_Fast(logs, "encode_log_lines() expects an iterable of logs"));
        if (!seq) throw_fetched();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        std::string text;
        text.reserve(static_cast<std::size_t>(n) * 420);
        // Items are re-read after each log: json code may change a list.
        for (Py_ssize_t i = 0; i < n && i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            PyObject* log = Py_NewRef(PySequence_Fast_ITEMS(seq.get())[i]);
            const bool ok = append_log_line(text, log);
            Py_DECREF(log);
            if (!ok) throw_fetched();
        }
        PyObject* out =
            PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (!out) throw_fetched();
        return out;
    }, nullptr);
}


namespace {

// A new reference to `o`, thrown when null (an error is set).
PyObject* own(PyObject* o) {
    if (!o) throw_fetched();
    return o;
}

// A borrowed dict lookup made owned (the caller may run Python code next);
// empty when the key is absent.
Ref lookup(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (!found && PyErr_Occurred()) throw_fetched();
    return found ? Ref::steal(Py_NewRef(found)) : Ref();
}

bool truth(PyObject* o) {
    const int r = PyObject_IsTrue(o);
    if (r < 0) throw_fetched();
    return r != 0;
}

bool compare(PyObject* a, PyObject* b, int op) {
    const int r = PyObject_RichCompareBool(a, b, op);
    if (r < 0) throw_fetched();
    return r != 0;
}

// One filter method's verdicts: the decoder shares the str of a text that
// repeats (one contract's address, one event's topic0), so the last verdict
// is kept for the same object.
class Verdicts {
public:
    explicit Verdicts(PyObject* method) : method_(method) {}
    bool operator()(PyObject* value) {
        if (value != last_.get()) {
            Ref result = Ref::steal(own(PyObject_CallOneArg(method_, value)));
            verdict_ = truth(result.get());
            last_ = Ref::steal(Py_NewRef(value));
        }
        return verdict_;
    }

private:
    PyObject* method_;
    Ref last_;
    bool verdict_ = false;
};

Ref first_topic(PyObject* topics) {
    if (PyTuple_CheckExact(topics))
        return Ref::steal(PyTuple_GET_SIZE(topics) ? Py_NewRef(PyTuple_GET_ITEM(topics, 0))
                                                   : PyUnicode_FromStringAndSize("", 0));
    if (!truth(topics)) return Ref::steal(own(PyUnicode_FromStringAndSize("", 0)));
    return Ref::steal(own(PySequence_GetItem(topics, 0)));
}

// The logs met so far under each (block number, log index). Decoded logs
// carry exact ints, kept in a table of their own values without an object
// per key; anything else goes to a dict keyed by (number, index) tuples.
class Seen {
public:
    // The log met earlier under this key, else empty (and `log` is kept).
    Ref add(PyObject* number, PyObject* index, PyObject* log) {
        Key key{};
        if (PyLong_CheckExact(number) && PyLong_CheckExact(index) && plain(number, key.number) &&
            plain(index, key.index)) {
            auto [at, added] = table_.try_emplace(key);
            if (!added) return Ref::steal(Py_NewRef(at->second.get()));
            at->second = Ref::steal(Py_NewRef(log));
            return {};
        }
        if (!others_) others_ = Ref::steal(own(PyDict_New()));
        Ref pair = Ref::steal(own(PyTuple_Pack(2, number, index)));
        if (Ref earlier = lookup(others_.get(), pair.get())) return earlier;
        if (PyDict_SetItem(others_.get(), pair.get(), log) < 0) throw_fetched();
        return {};
    }

private:
    // An exact int's value when it fits; a negative or huge one goes to the dict.
    static bool plain(PyObject* value, unsigned long long& out) {
        out = PyLong_AsUnsignedLongLong(value);
        if (!PyErr_Occurred()) return true;
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_fetched();
        PyErr_Clear();
        return false;
    }
    struct Key {
        unsigned long long number, index;
        bool operator==(const Key&) const = default;
    };
    struct Hash {
        std::size_t operator()(const Key& k) const noexcept {
            return std::hash<unsigned long long>{}(k.number * 0x9E3779B97F4A7C15ULL ^ k.index);
        }
    };
    std::unordered_map<Key, Ref, Hash> table_;
    Ref others_;
};

// Orders one block's logs by log index, keeping the order of equal ones.
void order(PyObject* list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject** items = PySequence_Fast_ITEMS(list);
    const auto index = [](PyObject* log) { return as_log(log)->fields[3]; };
    bool sorted = true;
    for (Py_ssize_t i = 1; i < n && sorted; ++i)
        sorted = !compare(index(items[i - 1]), index(items[i]), Py_GT);
    if (sorted) return;
    // The list is this function's own, reachable from no Python code: its
    // items can be permuted in place.
    std::vector<PyObject*> copy(items, items + n);
    bool failed = false;
    std::stable_sort(copy.begin(), copy.end(), [&](PyObject* a, PyObject* b) {
        if (failed) return false;
        const int r = PyObject_RichCompareBool(index(a), index(b), Py_LT);
        failed = r < 0;
        return r > 0;
    });
    if (failed) throw_fetched();
    std::copy(copy.begin(), copy.end(), items);
}

}  // namespace

PyObject* select_logs(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guard([&]() -> PyObject* {
        if (nargs != 4)
            throw Error(PyExc_TypeError, "select_logs() takes exactly 4 arguments (" +
                                             std::to_string(nargs) + " given)");
        PyObject* logs = args[0];
        PyObject* hashes = args[1];
        if (!PyList_Check(logs))
            throw Error(PyExc_TypeError,
                        std::string("select_logs() argument 'logs' must be list, not ") +
                            Py_TYPE(logs)->tp_name);
        if (!PyDict_Check(hashes))
            throw Error(PyExc_TypeError,
                        std::string("select_logs() argument 'hashes' must be dict, not ") +
                            Py_TYPE(hashes)->tp_name);
        Verdicts address_ok(args[2]), topic0_ok(args[3]);
        Ref by_block = Ref::steal(own(PyDict_New()));
        Seen seen;
        Ref doubtful = Ref::steal(own(PySet_New(nullptr)));
        Ref moved_at;
        // Items are re-read each time round: Python code run from here (a
        // comparison, a filter method) may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(logs); ++i) {
            Ref entry = Ref::steal(Py_NewRef(PyList_GET_ITEM(logs, i)));
            if (!PyObject_TypeCheck(entry.get(), g_type))
                throw Error(PyExc_TypeError, std::string("select_logs() takes Log records, not ") +
                                                 Py_TYPE(entry.get())->tp_name);
            PyObject* const* f = as_log(entry.get())->fields;
            PyObject* number = f[0];
            Ref expected = lookup(hashes, number);
            if (!expected) continue;  // a block outside the batch
            if (!compare(expected.get(), f[1], Py_EQ)) {  // another branch's
                if (!moved_at || compare(number, moved_at.get(), Py_LT))
                    moved_at = Ref::steal(Py_NewRef(number));
                continue;
            }
            if (Ref earlier = seen.add(number, f[3], entry.get())) {
                if (!compare(earlier.get(), entry.get(), Py_EQ) &&
                    PySet_Add(doubtful.get(), number) < 0)
                    throw_fetched();
                continue;
            }
            if (!address_ok(f[4])) continue;
            Ref topic0 = first_topic(f[5]);
            if (!topic0_ok(topic0.get())) continue;
            Ref list = lookup(by_block.get(), number);
            if (!list) {
                list = Ref::steal(own(PyList_New(0)));
                if (PyDict_SetItem(by_block.get(), number, list.get()) < 0) throw_fetched();
            }
            if (PyList_Append(list.get(), entry.get()) < 0) throw_fetched();
        }
        // Contradicting logs leave nothing of their block to deliver.
        Ref iterator = Ref::steal(own(PyObject_GetIter(doubtful.get())));
        while (Ref number = Ref::steal(PyIter_Next(iterator.get()))) {
            if (PyDict_Contains(by_block.get(), number.get()) == 1 &&
                PyDict_DelItem(by_block.get(), number.get()) < 0)
                throw_fetched();
        }
        if (PyErr_Occurred()) throw_fetched();
        Py_ssize_t pos = 0;
        PyObject* number = nullptr;
        PyObject* list = nullptr;
        while (PyDict_Next(by_block.get(), &pos, &number, &list)) order(list);
        return own(PyTuple_Pack(3, by_block.get(), moved_at ? moved_at.get() : Py_None,
                                doubtful.get()));
    }, nullptr);
}

}  // namespace vorlane::py::rpc_log
