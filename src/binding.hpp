// The binding layer: the one place that knows about argument tuples, keyword
// names, conversions, borrows and Python exceptions.  Class files declare
// their parameters, records and logic; everything here is shared.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "vorlane/ascii.hpp"

namespace vorlane::py {

// ---------------------------------------------------------------------------
// Owned references
// ---------------------------------------------------------------------------

// Owns one strong reference (or none).
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// ---------------------------------------------------------------------------
// Errors and faults
// ---------------------------------------------------------------------------

// A pending Python error, carried through C++ as an exception until the call
// guard hands it to the interpreter.  Errors raised by this module stay
// unmaterialised (type + message) until then; errors fetched from the
// interpreter keep their exception object.
class Error {
public:
    // Unmaterialised error of `type` (a borrowed, immortal exception type).
    Error(PyObject* type, std::string message) noexcept
        : type_(type), message_(std::move(message)) {}

    // Takes the interpreter's pending error.  No pending error becomes
    // SystemError; a PanicException coming back from Python code is resumed
    // (throws Panic instead of returning).
    [[gnu::cold]] static Error fetch();

    [[nodiscard]] bool is_exactly(PyObject* type) const noexcept;

    // The TypeError of a failed argument conversion, renamed after the
    // parameter: "argument 'name': <text>", keeping the original __cause__.
    [[gnu::cold]] Error with_argument_name(std::string_view name) &&;

    // Hands the error to the interpreter (PyErr_Restore).
    void restore() noexcept;

    // Creates the exception object.  Returns a new reference, or null with
    // the interpreter's error set.
    [[nodiscard]] PyObject* materialise() const noexcept;

private:
    Error() noexcept = default;
    PyObject* type_ = nullptr;      // borrowed when lazy, owned when fetched
    std::string message_;           // lazy form
    PyObject* cause_ = nullptr;     // owned, lazy form only
    PyObject* value_ = nullptr;     // owned, fetched form
    PyObject* traceback_ = nullptr; // owned, fetched form
    bool fetched_ = false;

public:
    Error(Error&& other) noexcept;
    Error& operator=(Error&&) = delete;
    Error(const Error&) = delete;
    ~Error();

    friend Error with_cause(PyObject* type, std::string message, Error&& cause);
};

// A new lazy error of `type` whose __cause__ is `cause`.
[[gnu::cold]] Error with_cause(PyObject* type, std::string message, Error&& cause);

// An internal fault: a broken invariant or an interpreter call the body
// treats as impossible.  Reaches Python as PanicException.
struct Panic {
    explicit Panic(std::string msg,
                   std::source_location loc = std::source_location::current()) noexcept
        : message(std::move(msg)), where(loc) {}
    std::string message;
    std::source_location where;
    bool resumed = false;  // re-raised from Python code: already reported
};

// The PanicException type (created once, never freed).  Returns a borrowed
// reference; null only if it could not be created (error set).
PyObject* panic_exception_type() noexcept;

// Throws the interpreter's pending error.
[[noreturn, gnu::cold]] void throw_fetched();

// After a failed interpreter call that built a result value: prints the
// pending error and faults with "Python API call failed".
[[noreturn, gnu::cold]] void throw_api_failure(
    std::source_location loc = std::source_location::current());

[[noreturn, gnu::cold]] void throw_type_error(std::string message);
[[noreturn, gnu::cold]] void throw_overflow(std::string message);
[[noreturn, gnu::cold]] void throw_runtime_error(std::string message);

// "'<qualname of obj's type>' object cannot be converted to '<target>'"
[[noreturn, gnu::cold]] void throw_downcast(PyObject* obj, std::string_view target);

namespace detail {
void restore_panic(const Panic& p) noexcept;
void restore_unknown_fault(std::string_view what, const std::source_location& loc) noexcept;
// Never returns: the thread sleeps until the process ends.  For a thread
// that the interpreter let go of during shutdown (see ReleasedGil).
[[noreturn]] void park_thread() noexcept;
}  // namespace detail

// The call guard around every entry from the interpreter: no C++ exception
// crosses it.  Returns the body's result, or `failure` with the Python error
// set.
template <class F, class R = std::invoke_result_t<F&>>
R guard(F&& body, std::type_identity_t<R> failure,
        std::source_location loc = std::source_location::current()) noexcept {
    try {
        return body();
    } catch (Error& e) {
        e.restore();
    } catch (const Panic& p) {
        detail::restore_panic(p);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();  // the interpreter's own MemoryError: the caller may recover
    } catch (const std::exception& e) {
        detail::restore_unknown_fault(e.what(), loc);
    } catch (...) {
        detail::restore_unknown_fault({}, loc);
    }
    return failure;
}

// The guard for destructors: a failure has no caller, so it goes to the
// interpreter's unraisable hook and the program goes on.
template <class F>
void guard_unraisable(F&& body,
                      std::source_location loc = std::source_location::current()) noexcept {
    if (!guard([&] { body(); return true; }, false, loc)) PyErr_WriteUnraisable(nullptr);
}

// ---------------------------------------------------------------------------
// Argument binding
// ---------------------------------------------------------------------------

inline constexpr std::size_t kMaxParams = 8;

// What a constructor or method accepts, declared once as its name and its
// parameter list: "name" for a required parameter, "name=<text>" for one
// with a default (the text is what the text signature shows), and "*" before
// the keyword-only ones.  Texts of messages and text signatures derive from
// it; the class name is filled in when the class's type is created.
struct Signature {
    mutable const char* class_name = nullptr;
    std::string_view function;
    std::array<std::string_view, kMaxParams> names{};
    std::array<std::string_view, kMaxParams> defaults{};  // empty for a required one
    std::size_t count = 0;
    std::size_t required = 0;    // the first `required` have no default
    std::size_t positional = 0;  // the first `positional` may be given by position
    // Interned copies of `names`, made on first use: keyword names are
    // almost always the same interned objects, so most matches are a
    // pointer comparison.
    mutable std::array<PyObject*, kMaxParams> interned{};
};

consteval Signature signature(std::string_view function) {
    Signature s;
    s.function = function;
    return s;
}

template <std::size_t N>
consteval Signature signature(std::string_view function, const char* const (&params)[N]) {
    static_assert(N <= kMaxParams + 1);
    Signature s = signature(function);
    bool keyword_only = false;
    for (std::size_t i = 0; i < N; ++i) {
        const std::string_view p = params[i];
        if (p == "*") {
            keyword_only = true;
            continue;
        }
        const std::size_t eq = p.find('=');
        s.names[s.count] = p.substr(0, eq);
        if (eq == std::string_view::npos) {
            if (s.required != s.count) throw "a required parameter follows one with a default";
            ++s.required;
        } else {
            s.defaults[s.count] = p.substr(eq + 1);
        }
        ++s.count;
        if (!keyword_only) s.positional = s.count;
    }
    return s;
}

// "(a, b=1, *, c=None)", with "$self" first for a method.
std::string text_signature(const Signature& sig, bool with_self);

// Bound arguments: borrowed references, null for an omitted parameter.
using Slots = std::array<PyObject*, kMaxParams>;

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, Slots& slots);
void bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Slots& slots);

// ---------------------------------------------------------------------------
// Instances and the borrow flag
// ---------------------------------------------------------------------------

// Every instance: object header, the class's record, the borrow flag
// (0 free, n > 0 shared borrows, -1 exclusive).
template <class T>
struct Instance {
    PyObject_HEAD
    T record;
    Py_ssize_t borrow;
};

// The borrow flag of an instance whose record was never constructed.  The
// class's allocator sets it; only our constructors go on to build the record.
// Python code can still reach the bare allocator (replace a class's __new__
// and call object.__new__), and such an object must fail cleanly instead of
// handing a zero-filled record to C++.
inline constexpr Py_ssize_t kUnconstructed = PY_SSIZE_T_MIN;

template <class T>
Instance<T>* instance(PyObject* self) noexcept {
    return reinterpret_cast<Instance<T>*>(self);
}

// "Already borrowed" / "Already mutably borrowed", or the error for an
// instance whose record was never constructed.
[[noreturn, gnu::cold]] void throw_borrow_error(bool exclusive, Py_ssize_t flag);

// Holds a borrow of one instance's record for the duration of a call.  It
// takes no reference of its own: the receiver and the arguments of a call
// are the caller's, held until the call returns, whatever Python code the
// call runs meanwhile.
template <class T, bool Exclusive>
class Borrow {
public:
    explicit Borrow(PyObject* self) : self_(self) {
        Py_ssize_t& flag = instance<T>(self)->borrow;
        if constexpr (Exclusive) {
            if (flag != 0) [[unlikely]]
                throw_borrow_error(true, flag);
            flag = -1;
        } else {
            if (flag < 0) [[unlikely]]
                throw_borrow_error(false, flag);
            ++flag;
        }
    }
    Borrow(Borrow&& other) noexcept : self_(std::exchange(other.self_, nullptr)) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (!self_) return;
        Py_ssize_t& flag = instance<T>(self_)->borrow;
        if constexpr (Exclusive) flag = 0; else --flag;
    }
    using Ref = std::conditional_t<Exclusive, T&, const T&>;
    Ref get() const noexcept { return instance<T>(self_)->record; }

private:
    PyObject* self_;
};

// A parameter that must be an instance of the class holding T; the call sees
// its record under a shared borrow.
template <class T>
using Shared = Borrow<T, false>;

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

// Marks the record types that have a Python class; each class file
// specialises class_def<T>().
template <class T> struct is_record : std::false_type {};

// One method of a class: its entry, its signature (which names it) or, for
// one without parameters, its name, and the one-line description that
// follows the text signature in its docstring.
struct Method {
    const Signature* sig;
    const char* name;
    PyCFunction entry;
    int flags;
    const char* doc;
};

struct ClassDef {
    const char* module;      // "builtins": the type's __module__
    const char* name;        // "Checkpoint"
    const Signature* constructor;
    const char* doc;         // "" or the class docstring
    int basicsize;
    allocfunc tp_alloc;
    newfunc tp_new;
    vectorcallfunc vectorcall;  // the same constructor, called as Class(...)
    reprfunc tp_repr;
    destructor tp_dealloc;
    PyGetSetDef* getset;     // null when the class has no getters
    std::span<const Method> methods;
};

template <class T> const ClassDef& class_def();

template <auto Fn, const Signature& Sig>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
template <auto Fn, const Signature& Sig>
PyObject* constructor_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) noexcept;
template <class T, void (*Fn)(const T&, std::string&)>
PyObject* repr_slot(PyObject* self) noexcept;
template <class T>
void dealloc(PyObject* self) noexcept;
template <class T>
PyObject* alloc_instance(PyTypeObject* type, Py_ssize_t nitems) noexcept;

// A class's definition from its record type, its constructor `T Construct(...)`
// with signature `New`, and its representation.
template <class T, auto Construct, const Signature& New, void (*Repr)(const T&, std::string&)>
constexpr ClassDef define_class(const char* module, const char* name, const char* doc,
                                PyGetSetDef* getset, std::span<const Method> methods) {
    return ClassDef{module,
                    name,
                    &New,
                    doc,
                    sizeof(Instance<T>),
                    &alloc_instance<T>,
                    &constructor<Construct, New>,
                    &constructor_vectorcall<Construct, New>,
                    &repr_slot<T, Repr>,
                    &dealloc<T>,
                    getset,
                    methods};
}

// Creates the type object from its definition (RuntimeError "An error occurred
// while initializing class <name>" on failure).  Returns a new reference.
PyTypeObject* create_type(const ClassDef& cls);

// The class's type object, kept for the life of the process: created on
// first need, or adopted from the module that created it (a second module of
// the distribution uses the first one's classes rather than making its own).
template <class T>
inline PyTypeObject* type_cell = nullptr;

// Borrowed reference.
template <class T>
PyTypeObject* type_of() {
    if (!type_cell<T>) {
        PyTypeObject* t = create_type(class_def<T>());
        if (!type_cell<T>) type_cell<T> = t; else Py_DECREF(t);
    }
    return type_cell<T>;
}

// Adopts class T from `module`'s attribute of the class's name; raises
// ImportError when it is missing or not laid out as this build's T.
void adopt_type(const char* module, const ClassDef& cls, PyTypeObject*& cell);
template <class T>
void adopt_type(const char* module) {
    adopt_type(module, class_def<T>(), type_cell<T>);
}

// Moves `record` into a new instance of `type`.  Returns a new reference.
template <class T>
PyObject* wrap(T&& record, PyTypeObject* type) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) throw_fetched();
    auto* inst = instance<std::remove_cvref_t<T>>(self);
    new (&inst->record) std::remove_cvref_t<T>(std::forward<T>(record));
    inst->borrow = 0;
    return self;
}

template <class T>
PyObject* wrap(T&& record) {
    return wrap(std::forward<T>(record), type_of<std::remove_cvref_t<T>>());
}

// tp_alloc: a zero-filled instance marked as not yet constructed.
template <class T>
PyObject* alloc_instance(PyTypeObject* type, Py_ssize_t nitems) noexcept {
    PyObject* self = PyType_GenericAlloc(type, nitems);
    if (self) instance<T>(self)->borrow = kUnconstructed;
    return self;
}

template <class T>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (instance<T>(self)->borrow != kUnconstructed)
        guard_unraisable([&] { instance<T>(self)->record.~T(); });
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// ---------------------------------------------------------------------------
// Conversions: Python -> C++
// ---------------------------------------------------------------------------

// A parameter that may be omitted; unlike std::optional, None is not absent.
template <class T>
struct Omittable {
    std::optional<T> value;
    // Overwrites `field` (which holds the default) when the argument was given.
    void assign_to(T& field) && {
        if (value) field = std::move(*value);
    }
};

// The UTF-8 of a str: 'PyString' downcast error or UnicodeEncodeError.  An
// exact str of ASCII text is its own UTF-8, read in place without a call.
std::string_view utf8_view_slow(PyObject* obj);
inline std::string_view utf8_view(PyObject* obj) {
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]]
        return {static_cast<const char*>(PyUnicode_DATA(obj)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))};
    return utf8_view_slow(obj);
}
std::uint64_t to_u64(PyObject* obj);
std::uint32_t to_u32(PyObject* obj);
std::int64_t to_i64(PyObject* obj);
void check_subtype(PyObject* obj, PyTypeObject* type, const char* class_name);
inline void check_instance(PyObject* obj, PyTypeObject* type, const char* class_name) {
    if (Py_TYPE(obj) != type) [[unlikely]]
        check_subtype(obj, type, class_name);
}

template <class T> struct From;

template <> struct From<std::string_view> {
    static std::string_view convert(PyObject* o) { return utf8_view(o); }
};
template <> struct From<std::string> {
    static std::string convert(PyObject* o) { return std::string(utf8_view(o)); }
};
template <> struct From<bool> {
    static bool convert(PyObject* o) {
        if (o == Py_True) return true;
        if (o == Py_False) [[likely]]
            return false;
        throw_downcast(o, "PyBool");
    }
};
// Any object, borrowed for the call.
template <> struct From<PyObject*> {
    static PyObject* convert(PyObject* o) noexcept { return o; }
};
template <> struct From<std::uint64_t> {
    static std::uint64_t convert(PyObject* o) { return to_u64(o); }
};
template <> struct From<std::uint32_t> {
    static std::uint32_t convert(PyObject* o) { return to_u32(o); }
};
template <> struct From<std::int64_t> {
    static std::int64_t convert(PyObject* o) { return to_i64(o); }
};
template <class T> struct From<std::optional<T>> {
    static std::optional<T> convert(PyObject* o) {
        if (o == nullptr || o == Py_None) return std::nullopt;
        return From<T>::convert(o);
    }
};
template <class T> struct From<Omittable<T>> {
    static Omittable<T> convert(PyObject* o) {
        if (o == nullptr) return {};
        return {From<T>::convert(o)};
    }
};
// An instance argument taken by copy of its record.
template <class T>
    requires is_record<T>::value
struct From<T> {
    static T convert(PyObject* o) {
        check_instance(o, type_of<T>(), class_def<T>().name);
        Shared<T> borrowed(o);
        return borrowed.get();
    }
};
// An instance argument seen under a shared borrow.
template <class T> struct From<Shared<T>> {
    static Shared<T> convert(PyObject* o) {
        check_instance(o, type_of<T>(), class_def<T>().name);
        return Shared<T>(o);
    }
};

template <class T>
[[gnu::always_inline]] inline T convert_arg(PyObject* o, std::string_view name) {
    try {
        return From<T>::convert(o);
    } catch (Error& e) {
        if (e.is_exactly(PyExc_TypeError)) throw std::move(e).with_argument_name(name);
        throw;
    }
}

// ---------------------------------------------------------------------------
// Conversions: C++ -> Python (each returns a new reference)
// ---------------------------------------------------------------------------

// A new str.  ASCII text is copied straight into a compact str, which is
// what the UTF-8 decoder would end up building, without its set-up.
inline PyObject* to_py(std::string_view s) {
    const auto n = static_cast<Py_ssize_t>(s.size());
    PyObject* r;
    if (ascii::is_ascii(s)) [[likely]] {
        r = PyUnicode_New(n, 127);
        if (r) std::memcpy(PyUnicode_1BYTE_DATA(r), s.data(), s.size());
    } else {
        r = PyUnicode_FromStringAndSize(s.data(), n);
    }
    if (!r) throw_api_failure();
    return r;
}
inline PyObject* to_py(const std::string& s) { return to_py(std::string_view(s)); }
inline PyObject* to_py(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject* to_py(std::uint64_t v) {
    PyObject* r = PyLong_FromUnsignedLongLong(v);
    if (!r) throw_api_failure();
    return r;
}
inline PyObject* to_py(std::uint32_t v) {
    PyObject* r = PyLong_FromUnsignedLong(v);
    if (!r) throw_api_failure();
    return r;
}
inline PyObject* to_py(std::int64_t v) {
    PyObject* r = PyLong_FromLongLong(v);
    if (!r) throw_api_failure();
    return r;
}
inline PyObject* to_py(PyObject* owned) { return owned; }
template <class T>
    requires is_record<std::remove_cvref_t<T>>::value
PyObject* to_py(T&& record) {
    return wrap(std::forward<T>(record));
}
template <class T>
PyObject* to_py(const std::optional<T>& v) {
    return v ? to_py(*v) : Py_NewRef(Py_None);
}
template <class T>
PyObject* to_py(std::optional<T>&& v) {
    return v ? to_py(std::move(*v)) : Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// Entry adapters: turn a plain C++ function into an interpreter entry
// ---------------------------------------------------------------------------

namespace detail {

template <class F> struct fn_traits;
template <class R, class... A> struct fn_traits<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
};

template <class... A, std::size_t... I>
std::tuple<A...> convert_all(const Signature& sig, const Slots& slots,
                             std::index_sequence<I...>) {
    // Braced initialisation converts strictly in parameter order.
    return std::tuple<A...>{convert_arg<A>(slots[I], sig.names[I])...};
}

template <class Tuple> struct converter;
template <class... A> struct converter<std::tuple<A...>> {
    static std::tuple<A...> run(const Signature& sig, const Slots& slots) {
        return convert_all<A...>(sig, slots, std::index_sequence_for<A...>{});
    }
};

// Clears the slots a function of `Tuple`'s parameters uses: a signature
// declares exactly as many, so the rest is never read or written.
template <class Tuple>
inline void clear_slots(Slots& slots) noexcept {
    for (std::size_t i = 0; i < std::tuple_size_v<Tuple>; ++i) slots[i] = nullptr;
}

template <class R, class Call>
PyObject* finish(Call&& call) {
    if constexpr (std::is_void_v<R>) {
        call();
        return Py_NewRef(Py_None);
    } else {
        return to_py(call());
    }
}

// The receiver of a method: `const T&` takes a shared borrow, `T&` an
// exclusive one.
template <class Self> struct receiver;
template <class T> struct receiver<const T&> {
    using record = T;
    using borrow = Borrow<T, false>;
};
template <class T> struct receiver<T&> {
    using record = T;
    using borrow = Borrow<T, true>;
};

template <class M> struct member_class;
template <class C, class F> struct member_class<F C::*> {
    using type = C;
};

template <class Tuple> struct split_self;
template <class S, class... A> struct split_self<std::tuple<S, A...>> {
    using self = S;
    using rest = std::tuple<A...>;
};

}  // namespace detail

namespace detail {
template <auto Fn, const Signature& Sig>
PyObject* construct(PyTypeObject* type, const Slots& slots) {
    using traits = fn_traits<decltype(Fn)>;
    auto values = converter<typename traits::args>::run(Sig, slots);
    return wrap(std::apply(Fn, std::move(values)), type);
}
}  // namespace detail

// tp_new from `Record Fn(Args...)`: `Class.__new__(Class, ...)`.
template <auto Fn, const Signature& Sig>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> PyObject* {
        Slots slots;
        detail::clear_slots<typename detail::fn_traits<decltype(Fn)>::args>(slots);
        bind_tuple(Sig, args, kwargs, slots);
        return detail::construct<Fn, Sig>(type, slots);
    }, nullptr);
}

// `Class(...)` the ordinary way (type.__call__: __new__, then __init__), for
// a class whose __new__ or __init__ Python code has replaced.
[[gnu::cold]] PyObject* call_type(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                  PyObject* kwnames) noexcept;

// The same constructor for `Class(...)`: the vector call skips building an
// argument tuple and keyword dict.
template <auto Fn, const Signature& Sig>
PyObject* constructor_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) noexcept {
    const auto* t = reinterpret_cast<PyTypeObject*>(type);
    if (t->tp_new != &constructor<Fn, Sig> || t->tp_init != PyBaseObject_Type.tp_init) [[unlikely]]
        return call_type(type, args, nargsf, kwnames);
    return guard([&]() -> PyObject* {
        Slots slots;
        detail::clear_slots<typename detail::fn_traits<decltype(Fn)>::args>(slots);
        bind_fast(Sig, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        return detail::construct<Fn, Sig>(reinterpret_cast<PyTypeObject*>(type), slots);
    }, nullptr);
}

// A fast-call method from `R Fn(const Record& or Record&, Args...)`.
template <auto Fn, const Signature& Sig>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        using traits = detail::fn_traits<decltype(Fn)>;
        using split = detail::split_self<typename traits::args>;
        using recv = detail::receiver<typename split::self>;
        Slots slots;
        detail::clear_slots<typename split::rest>(slots);
        bind_fast(Sig, args, nargs, kwnames, slots);
        typename recv::borrow borrowed(self);
        auto values = detail::converter<typename split::rest>::run(Sig, slots);
        return detail::finish<typename traits::result>([&]() -> decltype(auto) {
            return std::apply(
                [&](auto&&... a) -> decltype(auto) {
                    return Fn(borrowed.get(), std::forward<decltype(a)>(a)...);
                },
                std::move(values));
        });
    }, nullptr);
}

// A static fast-call method from `R Fn(Args...)`.
template <auto Fn, const Signature& Sig>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        using traits = detail::fn_traits<decltype(Fn)>;
        Slots slots;
        detail::clear_slots<typename traits::args>(slots);
        bind_fast(Sig, args, nargs, kwnames, slots);
        auto values = detail::converter<typename traits::args>::run(Sig, slots);
        return detail::finish<typename traits::result>(
            [&]() -> decltype(auto) { return std::apply(Fn, std::move(values)); });
    }, nullptr);
}

// A no-argument method from `R Fn(const Record&)`.
template <auto Fn>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        using traits = detail::fn_traits<decltype(Fn)>;
        using split = detail::split_self<typename traits::args>;
        typename detail::receiver<typename split::self>::borrow borrowed(self);
        return detail::finish<typename traits::result>(
            [&]() -> decltype(auto) { return Fn(borrowed.get()); });
    }, nullptr);
}

// A getter for one field of the record.
template <auto Member>
PyObject* getter(PyObject* self, void*) noexcept {
    return guard([&]() -> PyObject* {
        using T = typename detail::member_class<decltype(Member)>::type;
        Shared<T> borrowed(self);
        return to_py(borrowed.get().*Member);
    }, nullptr);
}

// The text every representation is written into: one buffer, reused (the
// interpreter lock is held throughout and writing one calls no Python code),
// and given back once a large text has grown it.
inline std::string g_repr_text;
struct ReprBuffer {
    std::string& text = g_repr_text;
    ReprBuffer() noexcept { text.clear(); }
    ~ReprBuffer() {
        if (text.capacity() > 4096) std::string().swap(text);
    }
    ReprBuffer(const ReprBuffer&) = delete;
    ReprBuffer& operator=(const ReprBuffer&) = delete;
};

// tp_repr from `void Fn(const Record&, std::string& out)`.
template <class T, void (*Fn)(const T&, std::string&)>
PyObject* repr_slot(PyObject* self) noexcept {
    return guard([&]() -> PyObject* {
        Shared<T> borrowed(self);
        const ReprBuffer out;
        Fn(borrowed.get(), out.text);
        return to_py(std::string_view(out.text));
    }, nullptr);
}

template <auto Member>
constexpr PyGetSetDef getset(const char* name) {
    return PyGetSetDef{name, &getter<Member>, nullptr, "", nullptr};
}

// ---------------------------------------------------------------------------
// Modules
// ---------------------------------------------------------------------------

struct ClassEntry {
    const ClassDef& (*def)();
    PyTypeObject* (*type)();
};

// A module's class T, registered under its class's name.
template <class T>
constexpr ClassEntry class_entry() {
    return {&class_def<T>, &type_of<T>};
}

// One extension module: its definition, its classes in registration order
// and an optional step that runs before they are registered.  Static
// storage: the module object is created once per process and kept.
struct ModuleDef {
    PyModuleDef definition;
    std::span<const ClassEntry> classes;
    void (*prepare)();
    std::atomic<std::int64_t> owner{-1};  // the interpreter that imported it first
    PyObject* module = nullptr;
};

// A module with no functions, no state and the empty text as __doc__.
constexpr PyModuleDef module_definition(const char* name) {
    return PyModuleDef{PyModuleDef_HEAD_INIT, name, "", 0, nullptr, nullptr, nullptr, nullptr,
                       nullptr};
}

// The body of PyInit_<name>: returns a new reference, or null with an error.
PyObject* init_module(ModuleDef& def) noexcept;

// ---------------------------------------------------------------------------
// Blocking work
// ---------------------------------------------------------------------------

// Lets other Python threads run for its lifetime.  The code inside must not
// touch any Python object; exceptions may leave it (the lock is taken back
// first).
//
// Taking the lock back on an interpreter that is shutting down does not
// return: CPython ends the thread with pthread_exit, a forced unwind that
// std::terminate()s at the first noexcept frame it meets (this destructor
// is one).  The unwind is caught here instead and the thread sleeps until
// the process ends, its C++ frames never unwound: whatever the code inside
// held must be given back before this destructor runs.
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() {
        try {
            PyEval_RestoreThread(state_);
        } catch (...) {  // only the forced unwind can leave a C function
            detail::park_thread();
        }
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace vorlane::py

namespace vorlane::py {

// Method table entries.
template <auto Fn, const Signature& Sig>
constexpr Method method_def(const char* doc) {
    return {&Sig, nullptr,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method<Fn, Sig>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}
template <auto Fn, const Signature& Sig>
constexpr Method static_method_def(const char* doc) {
    return {&Sig, nullptr,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_method<Fn, Sig>)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}
template <auto Fn>
constexpr Method noargs_method_def(const char* name, const char* doc) {
    return {nullptr, name, &method_noargs<Fn>, METH_NOARGS, doc};
}

// `__enter__` of a context manager that hands out the object itself.
inline PyObject* return_self(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }
constexpr Method enter_self_def(const char* doc) {
    return {nullptr, "__enter__", &return_self, METH_NOARGS, doc};
}

}  // namespace vorlane::py
