// Record classes to tables, records to rows.
#include "sink_records.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "json_text.hpp"

namespace vorlane::py {

const SinkDialect kSqliteDialect{"INTEGER", "INTEGER", "TEXT", "TEXT", "TEXT", "BLOB", "TEXT", false};
const SinkDialect kPostgresDialect{"bigint", "boolean", "numeric(78,0)", "text",
                                   "bytea",  "bytea",   "jsonb",         true};

namespace {

constexpr std::size_t kMaxName = 63;
constexpr std::size_t kSkip = SIZE_MAX;  // by_class_: a Log, not an event
constexpr std::string_view kLogColumns[] = {"block_number",     "block_hash",        "log_index",
                                            "transaction_hash", "transaction_index", "address"};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
}

Ref attr(PyObject* o, const char* name) {
    Ref r = Ref::steal(PyObject_GetAttrString(o, name));
    if (!r) throw_fetched();
    return r;
}

std::string text_attr(PyObject* cls, const char* name) {
    Ref r = attr(cls, name);
    if (!PyUnicode_Check(r.get()))
        throw_type_error(std::string("record class attribute ") + name + " must be a str");
    return std::string(utf8_view(r.get()));
}

Ref item(PyObject* sequence, Py_ssize_t i) {
    Ref r = Ref::steal(PySequence_GetItem(sequence, i));
    if (!r) throw_fetched();
    return r;
}

[[noreturn]] void value_error(std::string message) { throw Error(PyExc_ValueError, std::move(message)); }

ArgKind kind_of(std::string_view type, bool indexed) {
    const bool composite = !type.empty() && (type.back() == ']' || type.front() == '(');
    if (indexed && (composite || type == "string" || type == "bytes")) return ArgKind::bytes;
    if (composite) return ArgKind::json;
    if (type == "string") return ArgKind::string;
    if (type == "address") return ArgKind::text;
    if (type == "bool") return ArgKind::boolean;
    if (type.starts_with("bytes")) return ArgKind::bytes;
    const bool is_uint = type.starts_with("uint");
    if (is_uint || type.starts_with("int")) {
        const std::string_view digits = type.substr(is_uint ? 4 : 3);
        unsigned bits = 256;
        if (!digits.empty()) {
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
            if (ec != std::errc{} || end != digits.data() + digits.size()) return ArgKind::json;
        }
        return bits < 64 || (!is_uint && bits == 64) ? ArgKind::integer : ArgKind::decimal;
    }
    return ArgKind::json;
}

const char* sql_type(ArgKind kind, const SinkDialect& d) {
    switch (kind) {
        case ArgKind::integer: return d.integer;
        case ArgKind::boolean: return d.boolean;
        case ArgKind::decimal: return d.decimal;
        case ArgKind::text: return d.text;
        case ArgKind::string: return d.string;
        case ArgKind::bytes: return d.bytes;
        case ArgKind::json: break;
    }
    return d.json;
}

void check_table_name(const std::string& name, const std::string& signature,
                      const std::string& reserved) {
    const char* why = nullptr;
    const std::string folded = lower(name);
    if (name.empty())
        why = "it is empty";
    else if (name.size() > kMaxName)
        why = "it is longer than 63 bytes";
    else if (folded.starts_with("sqlite_") || folded.starts_with("pg_"))
        why = "names starting with sqlite_ or pg_ are reserved for the databases' catalogs";
    else if (folded == lower(reserved))
        why = "it is the checkpoint table's name";
    else if (name.find('\0') != std::string::npos)
        why = "it contains a NUL character";
    if (why) value_error("invalid table name \"" + name + "\" for event " + signature + ": " + why);
}

// Big integers in decimal; the common small ones without a Python call.
void append_integer(std::string& out, PyObject* value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_fetched();
    if (!overflow) {
        char digits[24];
        const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v);
        (void)ec;  // 20 characters hold any 64-bit value
        out.append(digits, end);
        return;
    }
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) throw_fetched();
    out.append(utf8_view(text.get()));
}

// The bytes of a bytes-like value; the view lives as long as `value`.
std::string_view bytes_of(PyObject* value, Py_buffer& view, bool& viewed) {
    if (PyBytes_Check(value))
        return {PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value))};
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) != 0) throw_fetched();
    viewed = true;
    return {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)};
}

struct BufferRelease {
    Py_buffer view{};
    bool viewed = false;
    ~BufferRelease() {
        if (viewed) PyBuffer_Release(&view);
    }
};

void append_hex(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        out += json_text::kHexDigits[static_cast<unsigned char>(c) >> 4];
        out += json_text::kHexDigits[static_cast<unsigned char>(c) & 15];
    }
}

void append_json_string(std::string& out, std::string_view s) {
    out += '"';
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            json_text::append_u4(out, u);
        } else {
            out += c;
        }
    }
    out += '"';
}

void append_json_hex(std::string& out, std::string_view bytes) {
    out += "\"0x";
    append_hex(out, bytes);
    out += '"';
}

// Arrays and tuples as JSON: integers as exact numbers, bytes as 0x hex
// strings, tuples (records or plain) as arrays by position.
void append_json(std::string& out, PyObject* value, bool nul_as_bytes, int depth = 0) {
    if (depth > 64) value_error("a value nested more than 64 levels deep");
    if (value == Py_None) {
        out += "null";
    } else if (PyBool_Check(value)) {
        out += value == Py_True ? "true" : "false";
    } else if (PyLong_Check(value)) {
        append_integer(out, value);
    } else if (PyUnicode_Check(value)) {
        const std::string_view text = utf8_view(value);
        if (nul_as_bytes && text.find('\0') != std::string_view::npos) {
            out += "{\"utf8\":";
            append_json_hex(out, text);
            out += '}';
        } else {
            append_json_string(out, text);
        }
    } else if (PyObject_CheckBuffer(value)) {
        BufferRelease release;
        append_json_hex(out, bytes_of(value, release.view, release.viewed));
    } else if (PySequence_Check(value)) {
        const Py_ssize_t n = PySequence_Size(value);
        if (n < 0) throw_fetched();
        out += '[';
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out += ',';
            append_json(out, item(value, i).get(), nul_as_bytes, depth + 1);
        }
        out += ']';
    } else {
        throw_downcast(value, "a decoded value");
    }
}

PyObject* log_type() {
    static PyObject* type = [] {
        PyObject* module = PyImport_ImportModule("vorlane_rpc");
        PyObject* t = module ? PyObject_GetAttrString(module, "Log") : nullptr;
        Py_XDECREF(module);
        if (!t) PyErr_Clear();
        return t;  // kept for the life of the process
    }();
    return type;
}

PyObject* interned(const char* name) {
    PyObject* s = PyUnicode_InternFromString(name);
    if (!s) throw_fetched();
    return s;
}

}  // namespace

SinkEvents::SinkEvents(PyObject* events, const std::string& prefix, const std::string& reserved,
                       const SinkDialect& dialect)
    : dialect_(&dialect) {
    struct Found {
        Ref cls;
        std::string name, signature, topic0;
    };
    std::vector<Found> found;
    std::unordered_map<std::string, std::vector<std::string>> signatures_of;  // lower-case name
    Ref iterator = Ref::steal(PyObject_GetIter(events));
    if (!iterator) throw_fetched();
    while (Ref cls = Ref::steal(PyIter_Next(iterator.get()))) {
        std::string name = text_attr(cls.get(), "__event_name__");
        std::string signature = text_attr(cls.get(), "__event_signature__");
        Ref topic0 = attr(cls.get(), "__topic0__");
        Found f{std::move(cls), std::move(name), std::move(signature), {}};
        if (!PyBytes_Check(topic0.get()) || PyBytes_GET_SIZE(topic0.get()) != 32)
            throw_type_error("record class attribute __topic0__ must be 32 bytes");
        f.topic0.assign(PyBytes_AS_STRING(topic0.get()), 32);
        auto& list = signatures_of[lower(f.name)];
        if (std::find(list.begin(), list.end(), f.signature) == list.end()) list.push_back(f.signature);
        found.push_back(std::move(f));
    }
    if (PyErr_Occurred()) throw_fetched();

    for (Found& f : found) {
        if (const auto at = by_signature_.find(f.signature); at != by_signature_.end()) {
            by_class_.emplace(f.cls.get(), at->second);
            classes_.push_back(std::move(f.cls));
            continue;
        }
        std::string name = prefix + lower(f.name);
        if (signatures_of[lower(f.name)].size() > 1) {
            name += '_';
            append_hex(name, std::string_view(f.topic0).substr(0, 4));
        }
        check_table_name(name, f.signature, reserved);
        for (const SinkTable& t : tables_) {
            if (lower(t.name) == lower(name)) {
                value_error("events " + events_[&t - tables_.data()].signature + " and " +
                            f.signature + " would share table \"" + name + "\"");
            }
        }

        SinkTable table{name, {}};
        table.columns = {{"block_number", dialect.integer}, {"block_hash", dialect.text},
                         {"log_index", dialect.integer},    {"transaction_hash", dialect.text},
                         {"transaction_index", dialect.integer}, {"address", dialect.text}};
        Event event{f.signature, {}};
        Ref schema = attr(f.cls.get(), "__schema__");
        const Py_ssize_t n = PySequence_Size(schema.get());
        if (n < 0) throw_fetched();
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref entry = item(schema.get(), i);
            Ref arg_name = item(entry.get(), 0);
            Ref arg_type = item(entry.get(), 1);
            Ref indexed = item(entry.get(), 2);
            if (!PyUnicode_Check(arg_name.get()) || !PyUnicode_Check(arg_type.get()))
                throw_type_error("__schema__ entries must be (name, type, indexed)");
            std::string column = lower(utf8_view(arg_name.get()));
            if (column.empty()) column = "arg" + std::to_string(i);
            while (std::find(std::begin(kLogColumns), std::end(kLogColumns), column) !=
                   std::end(kLogColumns))
                column += '_';
            if (column.size() > kMaxName || column.find('\0') != std::string::npos)
                value_error("invalid column name \"" + column + "\" for event " + f.signature);
            for (const SinkColumn& c : table.columns) {
                if (c.name == column) {
                    value_error("event " + f.signature + " has two arguments named \"" + column +
                                "\" (column names are lower-cased)");
                }
            }
            const int is_indexed = PyObject_IsTrue(indexed.get());
            if (is_indexed < 0) throw_fetched();
            const ArgKind kind = kind_of(utf8_view(arg_type.get()), is_indexed != 0);
            table.columns.push_back({std::move(column), sql_type(kind, dialect)});
            event.kinds.push_back(kind);
        }
        by_signature_.emplace(f.signature, tables_.size());
        by_class_.emplace(f.cls.get(), tables_.size());
        classes_.push_back(std::move(f.cls));
        rows_.emplace_back(table.columns.size());
        tables_.push_back(std::move(table));
        events_.push_back(std::move(event));
    }
}

PyObject* SinkEvents::table_names() const {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) throw_fetched();
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        Ref key = Ref::steal(to_py(events_[i].signature));
        Ref value = Ref::steal(to_py(tables_[i].name));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) throw_fetched();
    }
    return dict.release();
}

std::size_t SinkEvents::event_of(PyObject* type) {
    if (const auto at = by_class_.find(type); at != by_class_.end()) return at->second;
    std::size_t table = kSkip;
    if (type != log_type()) {
        Ref signature = Ref::steal(PyObject_GetAttrString(type, "__event_signature__"));
        if (!signature || !PyUnicode_Check(signature.get())) {
            PyErr_Clear();
            throw_type_error(std::string("expected decoded event records or Log objects, got '") +
                             reinterpret_cast<PyTypeObject*>(type)->tp_name + "'");
        }
        const std::string text(utf8_view(signature.get()));
        const auto at = by_signature_.find(text);
        if (at == by_signature_.end()) value_error("event " + text + " is not one of the sink's events");
        table = at->second;
    }
    by_class_.emplace(type, table);
    classes_.push_back(Ref::steal(Py_NewRef(type)));
    return table;
}

void SinkEvents::add(PyObject* records) {
    std::vector<std::size_t> sizes;
    sizes.reserve(rows_.size());
    for (const SinkRows& r : rows_) sizes.push_back(r.size());
    try {
        Ref iterator = Ref::steal(PyObject_GetIter(records));
        if (!iterator) throw_fetched();
        while (Ref record = Ref::steal(PyIter_Next(iterator.get()))) {
            const std::size_t table = event_of(reinterpret_cast<PyObject*>(Py_TYPE(record.get())));
            if (table != kSkip) add_record(record.get(), table);
        }
        if (PyErr_Occurred()) throw_fetched();
    } catch (...) {
        for (std::size_t i = 0; i < sizes.size(); ++i) rows_[i].keep_first(sizes[i]);
        throw;
    }
}

void SinkEvents::add_record(PyObject* record, std::size_t table) {
    static PyObject* const kNames[] = {interned("block_number"), interned("block_hash"),
                                       interned("log_index"), interned("transaction_hash"),
                                       interned("transaction_index"), interned("address")};
    const Event& event = events_[table];
    SinkRows& rows = rows_[table];
    const auto field = [&](int i) {
        Ref r = Ref::steal(PyObject_GetAttr(record, kNames[i]));
        if (!r) throw_fetched();
        return r;
    };
    const auto integer = [&](PyObject* v) {
        const long long n = PyLong_AsLongLong(v);
        if (n == -1 && PyErr_Occurred()) throw_fetched();
        return static_cast<std::int64_t>(n);
    };
    const std::int64_t block = integer(field(0).get());
    if (block < 0) value_error("a record's block_number is negative");
    const Py_ssize_t n = PySequence_Size(record);
    if (n < 0) throw_fetched();
    if (static_cast<std::size_t>(n) != event.kinds.size()) {
        value_error("a record of " + event.signature + " has " + std::to_string(n) +
                    " values, expected " + std::to_string(event.kinds.size()));
    }
    rows.begin_row(static_cast<std::uint64_t>(block));
    try {
        rows.add_integer(block);
        rows.add_text(utf8_view(field(1).get()));
        rows.add_integer(integer(field(2).get()));
        rows.add_text(utf8_view(field(3).get()));
        Ref tx_index = field(4);
        if (tx_index.get() == Py_None) rows.add_null(); else rows.add_integer(integer(tx_index.get()));
        rows.add_text(utf8_view(field(5).get()));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref value = item(record, i);
            PyObject* v = value.get();
            switch (event.kinds[static_cast<std::size_t>(i)]) {
                case ArgKind::integer:
                    if (!PyLong_Check(v)) throw_downcast(v, "PyInt");
                    rows.add_integer(integer(v));
                    break;
                case ArgKind::boolean:
                    if (!PyBool_Check(v)) throw_downcast(v, "PyBool");
                    rows.add_integer(v == Py_True);
                    break;
                case ArgKind::decimal: {
                    if (!PyLong_Check(v)) throw_downcast(v, "PyInt");
                    const std::size_t start = rows.text_start();
                    append_integer(rows.text_buffer(), v);
                    rows.end_text(start);
                    break;
                }
                case ArgKind::text:
                case ArgKind::string:
                    rows.add_text(utf8_view(v));
                    break;
                case ArgKind::bytes: {
                    BufferRelease release;
                    rows.add_blob(bytes_of(v, release.view, release.viewed));
                    break;
                }
                case ArgKind::json: {
                    const std::size_t start = rows.text_start();
                    append_json(rows.text_buffer(), v, dialect_->json_nul_as_bytes);
                    rows.end_text(start);
                    break;
                }
            }
        }
    } catch (...) {
        rows.drop_last_row();
        throw;
    }
}

void SinkEvents::drop_above(std::int64_t block) noexcept {
    for (SinkRows& r : rows_) r.drop_above(block);
}

std::vector<SinkRows> SinkEvents::take_through(std::uint64_t block) {
    std::vector<SinkRows> taken;
    taken.reserve(rows_.size());
    for (SinkRows& r : rows_) taken.push_back(r.take_through(block));
    return taken;
}

void SinkEvents::clear() noexcept { drop_above(-1); }

void SinkState::on_block(PyObject* records) {
    if (stale) {
        throw_runtime_error(
            "the rows since the last checkpoint were dropped when a commit failed; "
            "roll back to the stored checkpoint (on_rollback) before delivering blocks");
    }
    events.add(records);
}

void SinkState::on_rollback(std::int64_t block) noexcept {
    events.drop_above(block);
    delete_above = delete_above ? std::min(*delete_above, block) : block;
    stale = false;
}

}  // namespace vorlane::py
