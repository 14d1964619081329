// The module's entry point: refuses a second interpreter, creates the module
// once per process and registers the classes in their fixed order.
#include <atomic>

#include "classes.hpp"

namespace vorlane::py {
namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "vorlane",
    "",       // __doc__ is the empty text, not None
    0,        // no module state
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; -1 until then.
std::atomic<std::int64_t> g_owner{-1};
// The one module object, kept for the life of the process.
PyObject* g_module = nullptr;
PyObject* g_all_name = nullptr;

struct Registration {
    const char* name;
    PyTypeObject* (*type)();
};

constexpr Registration kClasses[] = {
    {"Checkpoint", &type_of<Checkpoint>},
    {"IndexerConfig", &type_of<IndexerConfig>},
    {"EventFilter", &type_of<EventFilter>},
    {"InMemoryStorage", &type_of<StorageRecord>},
    {"BlockSummary", &type_of<BlockSummary>},
};

// The module's __all__ list, created when missing.  Returns a new reference.
PyObject* all_list(PyObject* module) {
    if (!g_all_name) {
        PyObject* name = PyUnicode_FromStringAndSize("__all__", 7);
        if (!name) throw_fetched();
        PyUnicode_InternInPlace(&name);
        g_all_name = name;
    }
    PyObject* all = PyObject_GetAttr(module, g_all_name);
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) throw_fetched();
        if (PyObject_SetAttr(module, g_all_name, all) < 0) {
            Py_DECREF(all);
            throw_fetched();
        }
    }
    PyRef owned = PyRef::steal(all);
    if (!PyList_Check(all)) throw_downcast(all, "PyList");
    return owned.release();
}

void register_classes(PyObject* module) {
    for (const Registration& r : kClasses) {
        PyTypeObject* type = r.type();
        PyRef name = PyRef::steal(PyUnicode_FromString(r.name));
        if (!name) throw_fetched();
        PyRef all = PyRef::steal(all_list(module));
        if (PyList_Append(all.get(), name.get()) < 0) {
            PyErr_Clear();
            throw Panic("could not append __name__ to __all__");
        }
        if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0)
            throw_fetched();
    }
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_fetched();
    std::int64_t expected = -1;
    if (!g_owner.compare_exchange_strong(expected, id) && expected != id) {
        throw PyErr(PyExc_ImportError,
                    "vorlane does not support sub-interpreters: it can only be imported "
                    "into the first interpreter that loaded it in this process");
    }
    if (g_module) return Py_NewRef(g_module);

    PyRef module = PyRef::steal(PyModule_Create2(&g_definition, 1013));
    if (!module) throw_fetched();
    register_classes(module.get());

    // A nested initialisation on this thread may have won meanwhile.
    if (g_module) return Py_NewRef(g_module);
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace vorlane::py

PyMODINIT_FUNC PyInit_vorlane() {
    return vorlane::py::guard(&vorlane::py::initialise, static_cast<PyObject*>(nullptr));
}
