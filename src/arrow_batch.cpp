// Python class ArrowBatch: the records of one event type turned into Arrow
// columns natively (validity bitmaps, offsets and data in C++ buffers) and
// exported through the Arrow C data interface as PyCapsules, so that an
// Arrow library imports them without a copy. Nothing here links against an
// Arrow library: the two interface structs below are its published ABI.
//
// Every export (each __arrow_c_array__ call) gets its own structs, whose
// private data holds a reference to the shared, immutable columns; the
// buffers are freed when the object and every export of it are released.
#include "arrow_batch.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "repr.hpp"
#include "stores_classes.hpp"

// The Arrow C data interface: a type (ArrowSchema) and its values
// (ArrowArray), each tree of structs released through its callback.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

namespace vorlane::py {

namespace {

constexpr std::int64_t kFlagNullable = 2;
constexpr std::size_t kMaxOffset = std::numeric_limits<std::int32_t>::max();
constexpr std::size_t kMaxGuess = std::size_t{64} << 20;  // bytes reserved on a guess
constexpr int kMaxDepth = 32;  // nesting of arrays and tuples in one type
constexpr std::string_view kLogColumns[] = {"block_number",     "block_hash",        "log_index",
                                            "transaction_hash", "transaction_index", "address"};

// Where an empty buffer points: consumers may read no byte of it, but some
// refuse a null pointer.
alignas(64) constexpr std::uint8_t kEmpty[64] = {};

enum class Wide : std::uint8_t { text, binary, real };

// How a value becomes a cell, which also fixes the Arrow type.
enum class Conv : std::uint8_t {
    integer,      // int64, uint64 or uint32 (`width` bytes)
    wide_text,    // an int wider than 64 bits as decimal text: utf8
    wide_binary,  // ... as 32 bytes, big-endian two's complement: fixed_size_binary(32)
    wide_real,    // ... as float64
    boolean,
    text,   // str: utf8
    bytes,  // bytes-like: binary
    topic,  // bytes-like of 32 bytes: binary
    list,
    tuple,  // struct
};

// A bit per entry, least significant first.
struct Bits {
    std::vector<std::uint8_t> bytes;
    std::int64_t size = 0;
    void push(bool bit) {
        if (size % 8 == 0) bytes.push_back(0);
        if (bit) bytes.back() = static_cast<std::uint8_t>(bytes.back() | 1u << (size % 8));
        ++size;
    }
};

// One column (or a list's items, a struct's field): its type, and the
// buffers of its values.
struct Column {
    Conv conv = Conv::text;
    bool is_signed = false;
    unsigned bits = 0;        // integers: the ABI type's width
    unsigned width = 0;       // fixed-width values: bytes of each
    std::int64_t fixed = -1;  // list of a T[k] type: k
    std::string name;         // the Arrow field's name
    std::string path;         // the column as errors name it: "pairs[].f0"
    std::string abi;          // the ABI type, for errors
    std::vector<Column> children;

    std::int64_t length = 0;
    std::int64_t null_count = 0;
    Bits validity;  // empty until the first null
    Bits flags;     // boolean values
    std::vector<std::int32_t> offsets{0};
    std::vector<std::uint8_t> data;
};

}  // namespace

struct ArrowColumns {
    std::vector<Column> columns;
    std::int64_t rows = 0;
};

namespace {

[[noreturn]] void value_error(std::string message) { throw Error(PyExc_ValueError, std::move(message)); }

std::string prefix(const Column& c) { return "column \"" + c.path + "\": "; }

[[noreturn, gnu::cold]] void wrong_type(const Column& c, const char* expected, PyObject* v) {
    throw_type_error(prefix(c) + "expected " + expected + ", got '" + Py_TYPE(v)->tp_name + "'");
}

[[noreturn, gnu::cold]] void out_of_range(const Column& c) {
    value_error(prefix(c) + "int out of range for " + c.abi);
}

// ---------------------------------------------------------------------------
// The layout: ABI types to columns
// ---------------------------------------------------------------------------

std::vector<std::string_view> split_components(std::string_view inner) {
    std::vector<std::string_view> parts;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '(') ++depth;
        else if (inner[i] == ')') --depth;
        else if (inner[i] == ',' && depth == 0) {
            parts.push_back(inner.substr(start, i - start));
            start = i + 1;
        }
    }
    if (!inner.empty()) parts.push_back(inner.substr(start));
    return parts;
}

bool parse_number(std::string_view digits, std::int64_t& out) {
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
    return ec == std::errc{} && end == digits.data() + digits.size();
}

Column layout(std::string_view type, Wide wide, std::string name, std::string path, int depth) {
    if (depth > kMaxDepth) value_error("column \"" + path + "\": type nested too deeply");
    Column c;
    c.name = std::move(name);
    c.path = std::move(path);
    c.abi = std::string(type);
    if (type.ends_with(']') && type.rfind('[') != std::string_view::npos) {
        const std::size_t open = type.rfind('[');
        const std::string_view count = type.substr(open + 1, type.size() - open - 2);
        if (!count.empty() && (!parse_number(count, c.fixed) || c.fixed < 0))
            value_error(prefix(c) + "invalid array length in " + c.abi);
        c.conv = Conv::list;
        c.children.push_back(layout(type.substr(0, open), wide, "item", c.path + "[]", depth + 1));
    } else if (type.starts_with('(') && type.ends_with(')')) {
        c.conv = Conv::tuple;
        const auto parts = split_components(type.substr(1, type.size() - 2));
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const std::string field = "f" + std::to_string(i);
            c.children.push_back(layout(parts[i], wide, field, c.path + "." + field, depth + 1));
        }
    } else if (type.starts_with("uint") || type.starts_with("int")) {
        c.is_signed = type.starts_with("int");
        const std::string_view digits = type.substr(c.is_signed ? 3 : 4);
        std::int64_t bits = 256;
        if (!digits.empty() && (!parse_number(digits, bits) || bits < 1 || bits > 256))
            value_error(prefix(c) + "invalid integer type " + c.abi);
        c.bits = static_cast<unsigned>(bits);
        if (c.bits <= 64) {
            c.conv = Conv::integer;
            c.width = 8;
        } else {
            c.conv = wide == Wide::text ? Conv::wide_text
                   : wide == Wide::binary ? Conv::wide_binary : Conv::wide_real;
            c.width = wide == Wide::binary ? 32 : wide == Wide::real ? 8 : 0;
        }
    } else if (type == "bool") {
        c.conv = Conv::boolean;
    } else if (type == "address" || type == "string") {
        c.conv = Conv::text;
    } else {  // bytes, bytesN and anything else the decoder hands out as bytes
        c.conv = Conv::bytes;
    }
    return c;
}

Column log_column(std::string_view name, Conv conv, unsigned bits) {
    Column c;
    c.conv = conv;
    c.name = c.path = std::string(name);
    c.bits = bits;
    c.width = bits / 8;
    c.abi = bits ? "uint" + std::to_string(bits) : "";
    return c;
}

// ---------------------------------------------------------------------------
// Values to cells
// ---------------------------------------------------------------------------

// The items of a list or tuple, read one at a time with a reference of
// their own: Python code run while an item is converted may change the
// sequence.
class Items {
public:
    explicit Items(PyObject* sequence)
        : seq_(Ref::steal(PySequence_Fast(sequence, "expected a sequence"))) {
        if (!seq_) throw_fetched();
    }
    [[nodiscard]] Py_ssize_t size() const noexcept { return PySequence_Fast_GET_SIZE(seq_.get()); }
    [[nodiscard]] Ref at(Py_ssize_t i) const {
        if (i >= size()) throw_runtime_error("a sequence changed size while it was read");
        return Ref::steal(Py_NewRef(PySequence_Fast_GET_ITEM(seq_.get(), i)));
    }

private:
    Ref seq_;
};

void extend(std::vector<std::uint8_t>& data, const void* p, std::size_t n) {
    const auto* bytes = static_cast<const std::uint8_t*>(p);
    data.insert(data.end(), bytes, bytes + n);
}

template <class T>
void put(std::vector<std::uint8_t>& data, T value) {
    const std::size_t n = data.size();
    data.resize(n + sizeof value);
    std::memcpy(data.data() + n, &value, sizeof value);
}

void end_offset(Column& c, std::size_t end) {
    if (end > kMaxOffset) value_error(prefix(c) + "more than 2 GiB of values in one batch");
    c.offsets.push_back(static_cast<std::int32_t>(end));
}

bool is_int(PyObject* v) { return PyLong_Check(v) && !PyBool_Check(v); }

// A sequence, but not a text or a bytes-like value.
bool is_sequence(PyObject* v) {
    return PyList_Check(v) || PyTuple_Check(v) ||
           (PySequence_Check(v) && !PyUnicode_Check(v) && !PyObject_CheckBuffer(v));
}

// An int of at most 64 bits, checked against the column's type.
void append_integer(Column& c, PyObject* v) {
    if (!is_int(v)) wrong_type(c, "int", v);
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) throw_fetched();
    if (c.is_signed) {
        if (overflow) out_of_range(c);
        if (c.bits < 64) {
            const long long limit = 1LL << (c.bits - 1);
            if (x < -limit || x >= limit) out_of_range(c);
        }
        put(c.data, static_cast<std::int64_t>(x));
        return;
    }
    unsigned long long u = static_cast<unsigned long long>(x);
    if (overflow < 0 || (!overflow && x < 0)) out_of_range(c);
    if (overflow) {
        u = PyLong_AsUnsignedLongLong(v);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            out_of_range(c);
        }
    }
    if (c.bits < 64 && u >> c.bits) out_of_range(c);
    if (c.width == 4) put(c.data, static_cast<std::uint32_t>(u));
    else put(c.data, static_cast<std::uint64_t>(u));
}

using Word = std::array<std::uint8_t, 32>;

// An int wider than 64 bits as 32 bytes, big-endian two's complement;
// false when it is out of range of the column's type.
bool to_word(const Column& c, PyObject* v, Word& word) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) throw_fetched();
    if (!overflow) {
        if (!c.is_signed && x < 0) return false;
        word.fill(x < 0 ? 0xff : 0);
        for (int i = 0; i < 8; ++i) word[31 - i] = static_cast<std::uint8_t>(static_cast<unsigned long long>(x) >> (8 * i));
        return true;
    }
    if (!c.is_signed && overflow < 0) return false;
    // 33 bytes hold every 256-bit value, signed or not, in two's complement.
    std::array<std::uint8_t, 33> buffer{};
#if PY_VERSION_HEX >= 0x030D0000
    const Py_ssize_t needed = PyLong_AsNativeBytes(v, buffer.data(), 33, Py_ASNATIVEBYTES_BIG_ENDIAN);
    if (needed < 0) throw_fetched();
    if (needed > 33) return false;
#else
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(v), buffer.data(), 33, 0, 1) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_fetched();
        PyErr_Clear();
        return false;
    }
#endif
    const bool negative = buffer[0] & 0x80;
    if (!c.is_signed && negative) return false;
    // Every bit from the sign bit of the type's width up must equal the sign.
    const unsigned first = c.is_signed ? c.bits - 1 : c.bits;
    for (unsigned bit = first; bit < 264; ++bit) {
        const bool set = buffer[32 - bit / 8] >> (bit % 8) & 1;
        if (set != negative) return false;
    }
    std::memcpy(word.data(), buffer.data() + 1, 32);
    return true;
}

// The decimal text of a word (signed: two's complement).
void append_decimal(std::vector<std::uint8_t>& out, Word word, bool is_signed) {
    __extension__ using u128 = unsigned __int128;
    std::array<std::uint64_t, 4> limbs{};  // most significant first
    for (std::size_t i = 0; i < 32; ++i) limbs[i / 8] = limbs[i / 8] << 8 | word[i];
    const bool negative = is_signed && (word[0] & 0x80);
    if (negative) {
        bool carry = true;
        for (std::size_t i = 4; i-- > 0;) {
            limbs[i] = ~limbs[i] + (carry ? 1 : 0);
            carry = carry && limbs[i] == 0;
        }
    }
    constexpr std::uint64_t kChunk = 10'000'000'000'000'000'000ULL;  // 10^19
    std::array<std::uint64_t, 5> chunks{};  // least significant first
    std::size_t n = 0;
    std::size_t top = 0;  // the first limb not zero
    while (top < 4 && limbs[top] == 0) ++top;
    while (top < 4) {
        u128 rest = 0;
        for (std::size_t i = top; i < 4; ++i) {
            const u128 current = rest << 64 | limbs[i];
            limbs[i] = static_cast<std::uint64_t>(current / kChunk);
            rest = current % kChunk;
        }
        chunks[n++] = static_cast<std::uint64_t>(rest);
        while (top < 4 && limbs[top] == 0) ++top;
    }
    char text[100];
    char* p = text;
    if (negative) *p++ = '-';
    p = std::to_chars(p, text + sizeof text, n ? chunks[n - 1] : 0).ptr;
    for (std::size_t i = n > 1 ? n - 1 : 0; i-- > 0;) {
        char digits[20];
        char* end = std::to_chars(digits, digits + sizeof digits, chunks[i]).ptr;
        const auto len = static_cast<std::size_t>(end - digits);
        std::memset(p, '0', 19 - len);
        std::memcpy(p + 19 - len, digits, len);
        p += 19;
    }
    extend(out, text, static_cast<std::size_t>(p - text));
}

void append_wide(Column& c, PyObject* v) {
    if (!is_int(v)) wrong_type(c, "int", v);
    if (c.conv == Conv::wide_real) {
        const double d = PyLong_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_fetched();
            PyErr_Clear();
            value_error(prefix(c) + "int too large for a float64");
        }
        put(c.data, d);
        return;
    }
    if (c.conv == Conv::wide_text) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (x == -1 && PyErr_Occurred()) throw_fetched();
        if (!overflow && (c.is_signed || x >= 0)) {
            char digits[24];
            const char* end = std::to_chars(digits, digits + sizeof digits, x).ptr;
            extend(c.data, digits, static_cast<std::size_t>(end - digits));
            end_offset(c, c.data.size());
            return;
        }
    }
    Word word;
    if (!to_word(c, v, word)) out_of_range(c);
    if (c.conv == Conv::wide_binary) {
        extend(c.data, word.data(), word.size());
    } else {
        append_decimal(c.data, word, c.is_signed);
        end_offset(c, c.data.size());
    }
}

void append_text(Column& c, PyObject* v) {
    if (!PyUnicode_Check(v)) wrong_type(c, "str", v);
    std::string_view text;
    if (PyUnicode_IS_COMPACT_ASCII(v)) {
        text = {static_cast<const char*>(PyUnicode_DATA(v)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(v))};
    } else {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(v, &n);
        if (!p) throw with_cause(PyExc_ValueError, prefix(c) + "str not encodable as UTF-8", Error::fetch());
        text = {p, static_cast<std::size_t>(n)};
    }
    extend(c.data, text.data(), text.size());
    end_offset(c, c.data.size());
}

void append_bytes(Column& c, PyObject* v) {
    std::string_view bytes;
    Py_buffer view{};
    bool viewed = false;
    if (PyBytes_Check(v)) {
        bytes = {PyBytes_AS_STRING(v), static_cast<std::size_t>(PyBytes_GET_SIZE(v))};
    } else if (PyObject_CheckBuffer(v)) {
        if (PyObject_GetBuffer(v, &view, PyBUF_SIMPLE) != 0) throw_fetched();
        viewed = true;
        bytes = {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)};
    } else {
        wrong_type(c, "bytes", v);
    }
    struct Release {
        Py_buffer& view;
        bool viewed;
        ~Release() {
            if (viewed) PyBuffer_Release(&view);
        }
    } release{view, viewed};
    if (c.conv == Conv::topic && bytes.size() != 32)
        value_error(prefix(c) + "expected 32 bytes, got " + std::to_string(bytes.size()));
    extend(c.data, bytes.data(), bytes.size());
    end_offset(c, c.data.size());
}

void append_null(Column& c);
void append(Column& c, PyObject* v);

void append_list(Column& c, PyObject* v) {
    if (!is_sequence(v)) wrong_type(c, "a list or tuple", v);
    const Items items(v);
    const Py_ssize_t n = items.size();
    if (c.fixed >= 0 && n != c.fixed)
        value_error(prefix(c) + "expected " + std::to_string(c.fixed) + " items, got " + std::to_string(n));
    Column& child = c.children.front();
    for (Py_ssize_t i = 0; i < n; ++i) append(child, items.at(i).get());
    end_offset(c, static_cast<std::size_t>(child.length));
}

void append_tuple(Column& c, PyObject* v) {
    if (!is_sequence(v)) wrong_type(c, "a tuple", v);
    const Items items(v);
    const Py_ssize_t n = items.size();
    if (static_cast<std::size_t>(n) != c.children.size())
        value_error(prefix(c) + "expected " + std::to_string(c.children.size()) + " values, got " +
                    std::to_string(n));
    for (Py_ssize_t i = 0; i < n; ++i) append(c.children[static_cast<std::size_t>(i)], items.at(i).get());
}

void append(Column& c, PyObject* v) {
    if (v == Py_None) {
        append_null(c);
        return;
    }
    switch (c.conv) {
        case Conv::integer: append_integer(c, v); break;
        case Conv::wide_text:
        case Conv::wide_binary:
        case Conv::wide_real: append_wide(c, v); break;
        case Conv::boolean:
            if (!PyBool_Check(v)) wrong_type(c, "bool", v);
            c.flags.push(v == Py_True);
            break;
        case Conv::text: append_text(c, v); break;
        case Conv::bytes:
        case Conv::topic: append_bytes(c, v); break;
        case Conv::list: append_list(c, v); break;
        case Conv::tuple: append_tuple(c, v); break;
    }
    if (c.null_count) c.validity.push(true);
    ++c.length;
}

// None: a null, with a placeholder value where the layout needs one.
void append_null(Column& c) {
    if (c.null_count == 0)
        for (std::int64_t i = 0; i < c.length; ++i) c.validity.push(true);
    c.validity.push(false);
    ++c.null_count;
    switch (c.conv) {
        case Conv::integer: c.data.resize(c.data.size() + c.width); break;
        case Conv::wide_binary: c.data.resize(c.data.size() + 32); break;
        case Conv::wide_real: put(c.data, 0.0); break;
        case Conv::boolean: c.flags.push(false); break;
        case Conv::wide_text:
        case Conv::text:
        case Conv::bytes:
        case Conv::topic:
        case Conv::list: c.offsets.push_back(c.offsets.back()); break;
        case Conv::tuple:
            for (Column& child : c.children) append_null(child);
            break;
    }
    ++c.length;
}

// Whether instances of a tuple class read their items as a tuple does. A
// subclass written in Python calls its __getitem__ and __len__ through
// slot wrappers, inherited or not: its descriptors tell.
bool tuple_items(PyTypeObject* type) {
    if (type == &PyTuple_Type) return true;
    if (!PyType_IsSubtype(type, &PyTuple_Type)) return false;
    for (const char* name : {"__getitem__", "__len__"}) {
        Ref own = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
        Ref tuple = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyTuple_Type), name));
        if (!own || !tuple) throw_fetched();
        if (own.get() != tuple.get()) return false;
    }
    return true;
}

// A record's argument values: a tuple's own items where its class keeps
// tuple indexing, else the sequence protocol.
class Arguments {
public:
    Arguments(PyObject* record, bool tuple) : record_(record), tuple_(tuple) {
        size_ = tuple_ ? PyTuple_GET_SIZE(record) : PySequence_Size(record);
        if (size_ < 0) throw_fetched();
    }
    [[nodiscard]] Py_ssize_t size() const noexcept { return size_; }
    [[nodiscard]] Ref at(Py_ssize_t i) const {
        Ref r = Ref::steal(tuple_ ? Py_NewRef(PyTuple_GET_ITEM(record_, i)) : PySequence_GetItem(record_, i));
        if (!r) throw_fetched();
        return r;
    }

private:
    PyObject* record_;
    bool tuple_ = false;
    Py_ssize_t size_ = 0;
};

PyObject* interned(std::string_view name) {
    PyObject* s = PyUnicode_InternFromString(std::string(name).c_str());
    if (!s) throw_fetched();
    return s;
}

std::shared_ptr<ArrowColumns> build(PyObject* arguments, PyObject* records, Wide wide) {
    static PyObject* const kNames[] = {interned(kLogColumns[0]), interned(kLogColumns[1]),
                                       interned(kLogColumns[2]), interned(kLogColumns[3]),
                                       interned(kLogColumns[4]), interned(kLogColumns[5])};
    auto batch = std::make_shared<ArrowColumns>();
    std::vector<Column>& columns = batch->columns;
    columns.push_back(log_column(kLogColumns[0], Conv::integer, 64));
    columns.push_back(log_column(kLogColumns[1], Conv::text, 0));
    columns.push_back(log_column(kLogColumns[2], Conv::integer, 32));
    columns.push_back(log_column(kLogColumns[3], Conv::text, 0));
    columns.push_back(log_column(kLogColumns[4], Conv::integer, 32));
    columns.push_back(log_column(kLogColumns[5], Conv::text, 0));

    const Items layout_items(arguments);
    for (Py_ssize_t i = 0; i < layout_items.size(); ++i) {
        Ref entry = layout_items.at(i);
        if (!PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 3 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(entry.get(), 0)) ||
            !PyUnicode_Check(PyTuple_GET_ITEM(entry.get(), 1)))
            throw_type_error("columns must be (name, ABI type, indexed) tuples");
        std::string name(utf8_view(PyTuple_GET_ITEM(entry.get(), 0)));
        const std::string_view type = utf8_view(PyTuple_GET_ITEM(entry.get(), 1));
        const int indexed = PyObject_IsTrue(PyTuple_GET_ITEM(entry.get(), 2));
        if (indexed < 0) throw_fetched();
        const bool dynamic = type == "string" || type == "bytes" || type.ends_with(']') ||
                             type.starts_with('(');
        if (indexed && dynamic) {
            Column c = log_column(name, Conv::topic, 0);
            c.abi = type;
            columns.push_back(std::move(c));
        } else {
            columns.push_back(layout(type, wide, name, name, 0));
        }
    }

    const Items rows(records);
    const Py_ssize_t n = rows.size();
    for (Column& c : columns) {
        if (c.width) c.data.reserve(static_cast<std::size_t>(n) * c.width);
        else if (c.conv != Conv::tuple && c.conv != Conv::boolean) c.offsets.reserve(static_cast<std::size_t>(n) + 1);
    }
    const std::size_t expected = columns.size() - std::size(kLogColumns);
    Ref last_type;  // records come in one class or few
    bool last_tuple = false;
    for (Py_ssize_t r = 0; r < n; ++r) {
        Ref record = rows.at(r);
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(record.get()));
        if (type != last_type.get()) {
            last_tuple = tuple_items(Py_TYPE(record.get()));
            last_type = Ref::steal(Py_NewRef(type));
        }
        for (std::size_t i = 0; i < std::size(kLogColumns); ++i) {
            Ref value = Ref::steal(PyObject_GetAttr(record.get(), kNames[i]));
            if (!value) throw_fetched();
            append(columns[i], value.get());
        }
        const Arguments args(record.get(), last_tuple);
        if (static_cast<std::size_t>(args.size()) != expected)
            value_error("a record has " + std::to_string(args.size()) + " values, expected " +
                        std::to_string(expected));
        for (std::size_t i = 0; i < expected; ++i)
            append(columns[std::size(kLogColumns) + i], args.at(static_cast<Py_ssize_t>(i)).get());
        if (r == 0) {
            // Texts of one column are often of one length (hashes, addresses):
            // room for n like the first spares the copies of a growing buffer.
            for (Column& c : columns)
                if (!c.width && c.conv != Conv::tuple && c.conv != Conv::list)
                    c.data.reserve(std::min(c.data.size() * static_cast<std::size_t>(n), kMaxGuess));
        }
    }
    batch->rows = n;
    return batch;
}

// ---------------------------------------------------------------------------
// Export through the C data interface
// ---------------------------------------------------------------------------

const char* format_of(const Column& c) {
    switch (c.conv) {
        case Conv::integer: return c.width == 4 ? "I" : c.is_signed ? "l" : "L";
        case Conv::wide_text:
        case Conv::text: return "u";
        case Conv::wide_binary: return "w:32";
        case Conv::wide_real: return "g";
        case Conv::boolean: return "b";
        case Conv::bytes:
        case Conv::topic: return "z";
        case Conv::list: return "+l";
        case Conv::tuple: break;
    }
    return "+s";
}

// The children of an exported struct, each released (unless its consumer
// moved it out: a released struct has no release callback) and freed with
// their parent.
template <class Struct>
struct Children {
    std::vector<Struct*> children;
    Children() = default;
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;
    ~Children() {
        for (Struct* child : children) {
            if (child->release) child->release(child);
            delete child;
        }
    }
};

struct SchemaPrivate : Children<ArrowSchema> {
    std::string format, name;
};

void release_schema(ArrowSchema* schema) noexcept {
    delete static_cast<SchemaPrivate*>(schema->private_data);
    schema->release = nullptr;
}

// `out` is filled only once nothing can fail any more.
void export_schema(std::string_view format, std::string_view name, std::int64_t flags,
                   const std::vector<Column>& children, ArrowSchema* out) {
    auto p = std::make_unique<SchemaPrivate>();
    p->format = format;
    p->name = name;
    p->children.reserve(children.size());
    for (const Column& child : children) {
        p->children.push_back(new ArrowSchema{});
        export_schema(format_of(child), child.name, kFlagNullable, child.children, p->children.back());
    }
    *out = ArrowSchema{p->format.c_str(), p->name.c_str(), nullptr, flags,
                       static_cast<std::int64_t>(p->children.size()), p->children.data(), nullptr,
                       &release_schema, p.get()};
    (void)p.release();
}

struct ArrayPrivate : Children<ArrowArray> {
    std::shared_ptr<const ArrowColumns> keep;
    std::array<const void*, 3> buffers{};
};

void release_array(ArrowArray* array) noexcept {
    delete static_cast<ArrayPrivate*>(array->private_data);
    array->release = nullptr;
}

const void* buffer(const void* data, std::size_t size) { return size ? data : kEmpty; }

void export_array(const std::shared_ptr<const ArrowColumns>& keep, std::int64_t length,
                  std::int64_t null_count, const Column* column, const std::vector<Column>& children,
                  ArrowArray* out) {
    auto p = std::make_unique<ArrayPrivate>();
    p->keep = keep;
    std::int64_t n_buffers = 1;
    if (column) {
        const Column& c = *column;
        p->buffers[0] = c.null_count ? c.validity.bytes.data() : nullptr;
        switch (c.conv) {
            case Conv::integer:
            case Conv::wide_binary:
            case Conv::wide_real:
                p->buffers[1] = buffer(c.data.data(), c.data.size());
                n_buffers = 2;
                break;
            case Conv::boolean:
                p->buffers[1] = buffer(c.flags.bytes.data(), c.flags.bytes.size());
                n_buffers = 2;
                break;
            case Conv::wide_text:
            case Conv::text:
            case Conv::bytes:
            case Conv::topic:
                p->buffers[1] = c.offsets.data();
                p->buffers[2] = buffer(c.data.data(), c.data.size());
                n_buffers = 3;
                break;
            case Conv::list:
                p->buffers[1] = c.offsets.data();
                n_buffers = 2;
                break;
            case Conv::tuple: break;
        }
    }
    p->children.reserve(children.size());
    for (const Column& child : children) {
        p->children.push_back(new ArrowArray{});
        export_array(keep, child.length, child.null_count, &child, child.children, p->children.back());
    }
    *out = ArrowArray{length, null_count, 0, n_buffers, static_cast<std::int64_t>(p->children.size()),
                      p->buffers.data(), p->children.data(), nullptr, &release_array, p.get()};
    (void)p.release();
}

// The capsules free their struct, after releasing it unless its consumer
// moved it out (a released struct has no release callback).
template <class Struct>
constexpr const char* kCapsuleName = std::is_same_v<Struct, ArrowSchema> ? "arrow_schema" : "arrow_array";

template <class Struct>
void capsule_destructor(PyObject* capsule) noexcept {
    auto* s = static_cast<Struct*>(PyCapsule_GetPointer(capsule, kCapsuleName<Struct>));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

template <class Struct>
PyObject* capsule(std::unique_ptr<Struct> s) {
    PyObject* c = PyCapsule_New(s.get(), kCapsuleName<Struct>, &capsule_destructor<Struct>);
    if (!c) {
        if (s->release) s->release(s.get());
        throw_fetched();
    }
    (void)s.release();
    return c;
}

PyObject* schema_capsule(const ArrowColumns& batch) {
    auto schema = std::make_unique<ArrowSchema>();
    export_schema("+s", "", 0, batch.columns, schema.get());
    return capsule(std::move(schema));
}

// ---------------------------------------------------------------------------
// The class
// ---------------------------------------------------------------------------

constinit Signature kNew = signature("__new__", {"columns", "records", "*", "wide_ints='string'"});
constinit Signature kArray = signature("__arrow_c_array__", {"requested_schema=None"});

ArrowBatchRecord construct(PyObject* columns, PyObject* records, Omittable<std::string> wide_ints) {
    std::string mode = "string";
    std::move(wide_ints).assign_to(mode);
    Wide wide = Wide::text;
    if (mode == "binary") wide = Wide::binary;
    else if (mode == "float") wide = Wide::real;
    else if (mode != "string") {
        std::string message = "wide_ints must be one of string, binary, float, got ";
        repr::append_quoted(message, mode);
        value_error(std::move(message));
    }
    auto batch = build(columns, records, wide);
    const auto rows = static_cast<std::uint64_t>(batch->rows);
    return ArrowBatchRecord{std::move(batch), rows};
}

PyObject* arrow_c_schema(const ArrowBatchRecord& self) { return schema_capsule(*self.columns); }

// The requested schema is not looked at: the columns have one type each,
// which the caller compares or casts.
PyObject* arrow_c_array(const ArrowBatchRecord& self, PyObject*) {
    Ref schema = Ref::steal(schema_capsule(*self.columns));
    auto array = std::make_unique<ArrowArray>();
    export_array(self.columns, self.columns->rows, 0, nullptr, self.columns->columns, array.get());
    Ref values = Ref::steal(capsule(std::move(array)));
    PyObject* pair = PyTuple_Pack(2, schema.get(), values.get());
    if (!pair) throw_fetched();
    return pair;
}

void represent(const ArrowBatchRecord& self, std::string& out) {
    repr::Fields(out, "ArrowBatch")
        .number("num_rows", self.num_rows)
        .number("num_columns", self.columns->columns.size())
        .end();
}

PyGetSetDef kGetters[] = {
    getset<&ArrowBatchRecord::num_rows>("num_rows"),
    {},
};

const Method kMethods[] = {
    noargs_method_def<&arrow_c_schema>("__arrow_c_schema__",
                                       "Return the columns' type as an arrow_schema PyCapsule."),
    method_def<&arrow_c_array, kArray>(
        "Return (arrow_schema, arrow_array) PyCapsules of the columns as one struct array."),
};

const ClassDef kClass = define_class<ArrowBatchRecord, &construct, kNew, &represent>(
    kStoresModule, "ArrowBatch",
    "Decoded records of one event type as Arrow columns, for pyarrow.record_batch(batch).",
    kGetters, kMethods);

}  // namespace

template <> const ClassDef& class_def<ArrowBatchRecord>() { return kClass; }

}  // namespace vorlane::py
