// The binding layer's out-of-line half: errors, faults, argument binding
// messages, conversions and type creation.  Everything here except the
// conversions' success paths is cold.
#include "binding.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace vorlane::py {

// ---------------------------------------------------------------------------
// Error
// ---------------------------------------------------------------------------

Error::Error(Error&& other) noexcept
    : type_(std::exchange(other.type_, nullptr)),
      message_(std::move(other.message_)),
      cause_(std::exchange(other.cause_, nullptr)),
      value_(std::exchange(other.value_, nullptr)),
      traceback_(std::exchange(other.traceback_, nullptr)),
      fetched_(other.fetched_) {}

Error::~Error() {
    if (fetched_) Py_XDECREF(type_);
    Py_XDECREF(cause_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

namespace {

constexpr const char kNoMessageFault[] = "a fault occurred in native code without a message";

std::string thread_name() {
    char buf[64] = {};
    if (pthread_getname_np(pthread_self(), buf, sizeof buf) != 0 || buf[0] == '\0')
        return "<unnamed>";
    return buf;
}

// The text of a Python object, or a fallback when even that fails.
std::string text_of(PyObject* obj, std::string_view fallback) {
    Ref s = Ref::steal(PyObject_Str(obj));
    if (s) {
        Py_ssize_t n = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n)) return std::string(p, static_cast<std::size_t>(n));
    }
    PyErr_Clear();
    return std::string(fallback);
}

// The message a PanicException carries: its first argument.
std::string panic_message(PyObject* value) {
    Ref args = Ref::steal(PyObject_GetAttrString(value, "args"));
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0)
        return text_of(PyTuple_GET_ITEM(args.get(), 0), kNoMessageFault);
    PyErr_Clear();
    return kNoMessageFault;
}

}  // namespace

namespace {

// Takes the pending error as normalised (type, value, traceback), all owned;
// type is null when nothing was pending.
void take_pending(PyObject*& type, PyObject*& value, PyObject*& tb) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    value = PyErr_GetRaisedException();
    type = value ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))) : nullptr;
    tb = value ? PyException_GetTraceback(value) : nullptr;
#else
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
#endif
}

// Prints an exception with its traceback the way the interpreter reports an
// uncaught one, but never acts on it: a SystemExit is shown, not obeyed.
void display(PyObject* type, PyObject* value, PyObject* tb) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)type;
    (void)tb;
    PyErr_DisplayException(value);
#else
    PyErr_Display(type, value, tb);
#endif
}

}  // namespace

Error Error::fetch() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    take_pending(type, value, tb);
    if (!type) return Error(PyExc_SystemError, "attempted to fetch exception but none was set");

    PyObject* panic = panic_exception_type();
    if (panic && PyErr_GivenExceptionMatches(type, panic)) {
        // A PanicException raised by Python code that native code called:
        // show where it came from, then let it carry on up.
        std::string message = panic_message(value);
        std::fputs("--- PanicException from Python code passed through native code; resuming it ---\n",
                   stderr);
        std::fflush(stderr);
        display(type, value, tb);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        Panic p(std::move(message));
        p.resumed = true;
        throw p;
    }
    if (!panic) PyErr_Clear();

    Error e;
    e.type_ = type;
    e.value_ = value;
    e.traceback_ = tb;
    e.fetched_ = true;
    return e;
}

bool Error::is_exactly(PyObject* type) const noexcept {
    return type_ == type;
}

Error Error::with_argument_name(std::string_view name) && {
    std::string text = "argument '";
    text.append(name);
    text += "': ";
    if (!fetched_) {
        text += message_;
        Error e(type_, std::move(text));
        e.cause_ = std::exchange(cause_, nullptr);
        return e;
    }
    Ref str = Ref::steal(PyObject_Str(value_));
    if (!str) throw_fetched();
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str.get(), &n);
    if (!p) throw_fetched();
    text.append(p, static_cast<std::size_t>(n));
    Error e(PyExc_TypeError, std::move(text));
    e.cause_ = PyException_GetCause(value_);  // new reference or null
    return e;
}

PyObject* Error::materialise() const noexcept {
    if (fetched_) return Py_XNewRef(value_);
    Ref msg = Ref::steal(PyUnicode_DecodeUTF8(message_.data(),
                                                  static_cast<Py_ssize_t>(message_.size()),
                                                  "replace"));
    if (!msg) return nullptr;
    PyObject* value = PyObject_CallOneArg(type_, msg.get());
    if (value && cause_ && PyExceptionInstance_Check(value))
        PyException_SetCause(value, Py_NewRef(cause_));
    return value;
}

void Error::restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (fetched_) {
        Py_CLEAR(type_);
        Py_CLEAR(traceback_);  // the value carries its traceback
        PyErr_SetRaisedException(std::exchange(value_, nullptr));
        return;
    }
    PyObject* value = materialise();
    if (!value) return;  // creating the exception failed; that error is pending
    PyErr_SetRaisedException(value);
#else
    if (fetched_) {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(traceback_, nullptr));
        return;
    }
    PyObject* value = materialise();
    if (!value) return;  // creating the exception failed; that error is pending
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, nullptr);
#endif
}

Error with_cause(PyObject* type, std::string message, Error&& cause) {
    Error e(type, std::move(message));
    e.cause_ = cause.materialise();
    if (!e.cause_) PyErr_Clear();
    return e;
}

// ---------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------

PyObject* panic_exception_type() noexcept {
    static PyObject* type = nullptr;
    if (type) return type;
    // Every module of the distribution raises the same type: the first one
    // to need it leaves it in the interpreter's dict for the others (the
    // modules refuse sub-interpreters, so this is once per process).
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!shared) return nullptr;
    static constexpr const char kKey[] = "vorlane_runtime.PanicException";
#if PY_VERSION_HEX >= 0x030D0000
    // A strong reference, and a failed lookup reported rather than
    // taken for a missing key.
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(shared, kKey, &found) < 0) return nullptr;
    if (found) {
        type = found;
        return type;
    }
#else
    PyObject* found = PyDict_GetItemString(shared, kKey);  // borrowed
    if (found) {
        type = Py_NewRef(found);
        return type;
    }
#endif
    {
        type = PyErr_NewExceptionWithDoc(
            "vorlane_runtime.PanicException",
            "Raised when the module's native code faults.\n\n"
            "Like SystemExit, it derives from BaseException, so that it usually\n"
            "propagates all the way up and ends the interpreter instead of being\n"
            "caught by `except Exception`.",
            PyExc_BaseException, nullptr);
        if (type && PyDict_SetItemString(shared, kKey, type) < 0) Py_CLEAR(type);
    }
    return type;
}

void throw_fetched() { throw Error::fetch(); }

void throw_api_failure(std::source_location loc) {
    // Running out of memory is the caller's to handle, not a fault.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_fetched();
    PyErr_Print();
    throw Panic("Python API call failed", loc);
}

void throw_type_error(std::string message) { throw Error(PyExc_TypeError, std::move(message)); }
void throw_overflow(std::string message) { throw Error(PyExc_OverflowError, std::move(message)); }
void throw_runtime_error(std::string message) { throw Error(PyExc_RuntimeError, std::move(message)); }

void throw_downcast(PyObject* obj, std::string_view target) {
    std::string text = "'";
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    const char* p = nullptr;
    Py_ssize_t n = 0;
    if (qualname) p = PyUnicode_AsUTF8AndSize(qualname.get(), &n);
    if (p) {
        text.append(p, static_cast<std::size_t>(n));
    } else {
        PyErr_Clear();
        text += "<failed to extract type name>";
    }
    text += "' object cannot be converted to '";
    text.append(target);
    text += "'";
    throw_type_error(std::move(text));
}

void throw_borrow_error(bool exclusive, Py_ssize_t flag) {
    if (flag == kUnconstructed)
        throw_runtime_error("object was created without its constructor and cannot be used");
    throw_runtime_error(exclusive ? "Already borrowed" : "Already mutably borrowed");
}

namespace detail {

namespace {

void report_fault(std::string_view message, const std::source_location& loc) {
    std::string report = "thread '" + thread_name() + "' faulted at " + loc.file_name() + ":" +
                         std::to_string(loc.line()) + ":" + std::to_string(loc.column()) + ":\n";
    report.append(message);
    report += "\nnote: the fault is raised in Python as vorlane_runtime.PanicException\n";
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
}

void raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (!type) return;  // its creation failed; that error is pending
    PyObject* msg = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                         "replace");
    if (!msg) return;
    PyObject* value = PyObject_CallOneArg(type, msg);
    Py_DECREF(msg);
    if (!value) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(Py_NewRef(type), value, nullptr);
#endif
}

}  // namespace

void restore_panic(const Panic& p) noexcept {
    if (!p.resumed) report_fault(p.message, p.where);
    raise_panic(p.message);
}

void restore_unknown_fault(std::string_view what, const std::source_location& loc) noexcept {
    std::string_view message = what.empty() ? std::string_view(kNoMessageFault) : what;
    report_fault(message, loc);
    raise_panic(message);
}

void park_thread() noexcept {
    for (;;) pause();
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Argument binding
// ---------------------------------------------------------------------------

namespace {

std::string full_name(const Signature& sig) {
    std::string s = sig.class_name;
    s += '.';
    s.append(sig.function);
    s += "()";
    return s;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<std::string_view>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) s += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        s += '\'';
        s.append(names[i]);
        s += '\'';
    }
    return s;
}

[[noreturn, gnu::cold]] void throw_too_many(const Signature& sig, Py_ssize_t given) {
    std::string s = full_name(sig);
    if (sig.required >= sig.positional) {
        s += " takes " + std::to_string(sig.positional);
    } else {
        s += " takes from " + std::to_string(sig.required) + " to " + std::to_string(sig.positional);
    }
    s += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
         " given";
    throw_type_error(std::move(s));
}

[[noreturn, gnu::cold]] void throw_multiple(const Signature& sig, std::size_t index) {
    throw_type_error(full_name(sig) + " got multiple values for argument '" +
                     std::string(sig.names[index]) + "'");
}

[[gnu::cold]] void check_missing(const Signature& sig, const Slots& slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!slots[i]) missing.push_back(sig.names[i]);
    if (missing.empty()) return;
    throw_type_error(full_name(sig) + " missing " + std::to_string(missing.size()) +
                     " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                     name_list(missing));
}

[[gnu::cold]] std::size_t find_keyword_slow(const Signature& sig, PyObject* key) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(key, &n);
    if (!p) throw_fetched();
    std::string_view name(p, static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < sig.count; ++i)
        if (name == sig.names[i]) return i;
    throw_type_error(full_name(sig) + " got an unexpected keyword argument '" + std::string(name) +
                     "'");
}

[[gnu::cold]] void intern_names(const Signature& sig) {
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (!sig.interned[i]) {
            PyObject* name = PyUnicode_FromStringAndSize(
                sig.names[i].data(), static_cast<Py_ssize_t>(sig.names[i].size()));
            if (!name) throw_fetched();
            PyUnicode_InternInPlace(&name);
            sig.interned[i] = name;
        }
    }
}

inline std::size_t find_keyword(const Signature& sig, PyObject* key) {
    if (sig.count > 0 && !sig.interned[sig.count - 1]) [[unlikely]]
        intern_names(sig);
    for (std::size_t i = 0; i < sig.count; ++i)
        if (sig.interned[i] == key) return i;
    return find_keyword_slow(sig, key);
}

inline void bind_keyword(const Signature& sig, PyObject* key, PyObject* value, Slots& slots) {
    std::size_t i = find_keyword(sig, key);
    if (slots[i]) throw_multiple(sig, i);
    slots[i] = value;
}

}  // namespace

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, Slots& slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > sig.positional) throw_too_many(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, slots);
    }
    if (static_cast<std::size_t>(nargs) < sig.required) check_missing(sig, slots);
}

void bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               Slots& slots) {
    if (static_cast<std::size_t>(nargs) > sig.positional) throw_too_many(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
    }
    if (static_cast<std::size_t>(nargs) < sig.required) check_missing(sig, slots);
}

PyObject* call_type(PyObject* type, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return nullptr;
    }
    return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

std::string_view utf8_view_slow(PyObject* obj) {
    if (!PyUnicode_Check(obj)) [[unlikely]]
        throw_downcast(obj, "PyString");
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!p) [[unlikely]]
        throw_fetched();
    return {p, static_cast<std::size_t>(n)};
}

namespace {

static_assert(sizeof(unsigned long) == 8 && sizeof(long) == 8);

// The (unsigned) long conversions walk the digits; the long long ones go
// through a byte array from two digits (2^30) up.  Their error messages
// differ, so a failure is converted again the long long way for its text.
[[gnu::cold, noreturn]] void throw_u64_error(PyObject* obj) {
    PyErr_Clear();
    (void)PyLong_AsUnsignedLongLong(obj);
    throw_fetched();
}

[[gnu::cold, noreturn]] void throw_i64_error(PyObject* obj) {
    PyErr_Clear();
    (void)PyLong_AsLongLong(obj);
    throw_fetched();
}

inline std::uint64_t long_to_u64(PyObject* obj) {
    const unsigned long v = PyLong_AsUnsignedLong(obj);
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) [[unlikely]]
        throw_u64_error(obj);
    return v;
}

// True when the calling thread's stack is nearly used up: less than a
// quarter of it, and at most 256 KiB, is left below the current frame.
bool stack_nearly_exhausted() noexcept {
    thread_local std::uintptr_t lowest = 0;  // 0: not known yet
    thread_local std::uintptr_t reserve = 0;
    if (lowest == 0) {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
        void* base = nullptr;
        std::size_t size = 0;
        const bool known = pthread_attr_getstack(&attr, &base, &size) == 0;
        pthread_attr_destroy(&attr);
        if (!known) return false;
        lowest = reinterpret_cast<std::uintptr_t>(base);
        reserve = std::min<std::size_t>(size / 4, std::size_t{256} << 10);
    }
    // The frame address, not a local's: sanitizers may move locals elsewhere.
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here < lowest + reserve;
}

// obj.__index__(), counted against the interpreter's recursion limit: it
// runs Python code, which may call back into this module, and each such
// level also costs this module's C stack, so the stack's own end is watched
// too (the interpreter's limit alone does not bound C stack use).  Returns a
// new reference.
Ref call_index(PyObject* obj) {
    if (stack_nearly_exhausted()) [[unlikely]] {
        throw Error(PyExc_RecursionError,
                    "maximum recursion depth exceeded while converting an argument");
    }
    if (Py_EnterRecursiveCall(" while converting an argument")) throw_fetched();
    Ref index = Ref::steal(PyNumber_Index(obj));
    Py_LeaveRecursiveCall();
    if (!index) throw_fetched();
    return index;
}

}  // namespace

std::uint64_t to_u64(PyObject* obj) {
    if (PyLong_Check(obj)) [[likely]]
        return long_to_u64(obj);
    return long_to_u64(call_index(obj).get());
}

std::uint32_t to_u32(PyObject* obj) {
    std::uint64_t v = to_u64(obj);
    if (v > 0xFFFFFFFFu) [[unlikely]]
        throw_overflow("out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(v);
}

std::int64_t to_i64(PyObject* obj) {
    if (!PyLong_Check(obj)) [[unlikely]] {
        Ref index = call_index(obj);
        return to_i64(index.get());
    }
    const long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) [[unlikely]]
        throw_i64_error(obj);
    return v;
}

void check_subtype(PyObject* obj, PyTypeObject* type, const char* class_name) {
    if (!PyType_IsSubtype(Py_TYPE(obj), type)) throw_downcast(obj, class_name);
}

// ---------------------------------------------------------------------------
// Type creation
// ---------------------------------------------------------------------------

void adopt_type(const char* module, const ClassDef& cls, PyTypeObject*& cell) {
    if (cell) return;
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) throw_fetched();
    Ref found = Ref::steal(PyObject_GetAttrString(mod.get(), cls.name));
    if (!found) throw_fetched();
    const auto* type = reinterpret_cast<PyTypeObject*>(found.get());
    if (!PyType_Check(found.get()) || type->tp_basicsize != cls.basicsize ||
        std::string_view(type->tp_name) != std::string(cls.module) + "." + cls.name) {
        throw Error(PyExc_ImportError, std::string(module) + "." + cls.name +
                                           " is not the class this build was made for; "
                                           "reinstall the distribution");
    }
    cell = reinterpret_cast<PyTypeObject*>(found.release());
}

std::string text_signature(const Signature& sig, bool with_self) {
    std::string s = "(";
    if (with_self) s += "$self";
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (i > 0 || with_self) s += ", ";
        if (i == sig.positional) s += "*, ";
        s.append(sig.names[i]);
        if (!sig.defaults[i].empty()) {
            s += '=';
            s.append(sig.defaults[i]);
        }
    }
    s += ')';
    return s;
}

namespace {

// The method table the interpreter keeps: built once per class, with each
// docstring "name(signature)\n--\n\ndescription", and kept for the life
// of the process like the type itself.
PyMethodDef* method_table(const ClassDef& cls) {
    auto* table = new PyMethodDef[cls.methods.size() + 1]();
    for (std::size_t i = 0; i < cls.methods.size(); ++i) {
        const Method& m = cls.methods[i];
        std::string doc;
        if (m.sig) {
            m.sig->class_name = cls.name;
            doc.append(m.sig->function);
            doc += text_signature(*m.sig, (m.flags & METH_STATIC) == 0);
        } else {
            doc = std::string(m.name) + "($self)";
        }
        doc += "\n--\n\n";
        doc += m.doc;
        const auto* kept = new std::string(std::move(doc));
        const char* name = m.sig ? (new std::string(m.sig->function))->c_str() : m.name;
        table[i] = PyMethodDef{name, m.entry, m.flags, kept->c_str()};
    }
    return table;
}

}  // namespace

PyTypeObject* create_type(const ClassDef& cls) {
    try {
        cls.constructor->class_name = cls.name;
        // "Name(signature)\n--\n\ndocstring": the interpreter splits it into
        // __text_signature__ and __doc__.
        std::string doc = std::string(cls.name) + text_signature(*cls.constructor, false) +
                          "\n--\n\n" + cls.doc;
        // The type keeps pointing at its qualified name: kept for good.
        const auto* qualified = new std::string(std::string(cls.module) + "." + cls.name);

        std::vector<PyType_Slot> slots;
        slots.push_back({Py_tp_doc, doc.data()});
        slots.push_back({Py_tp_base, &PyBaseObject_Type});
        slots.push_back({Py_tp_alloc, reinterpret_cast<void*>(cls.tp_alloc)});
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(cls.tp_new)});
        slots.push_back({Py_tp_repr, reinterpret_cast<void*>(cls.tp_repr)});
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(cls.tp_dealloc)});
        if (cls.getset) slots.push_back({Py_tp_getset, cls.getset});
        if (!cls.methods.empty()) slots.push_back({Py_tp_methods, method_table(cls)});
        slots.push_back({0, nullptr});

        PyType_Spec recipe{qualified->c_str(), cls.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
        PyObject* type = PyType_FromSpec(&recipe);
        if (!type) throw_fetched();
        reinterpret_cast<PyTypeObject*>(type)->tp_vectorcall = cls.vectorcall;
        return reinterpret_cast<PyTypeObject*>(type);
    } catch (Error& e) {
        throw with_cause(PyExc_RuntimeError,
                         std::string("An error occurred while initializing class ") + cls.name,
                         std::move(e));
    }
}

}  // namespace vorlane::py
