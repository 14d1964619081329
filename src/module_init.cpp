// Module creation shared by every extension module of the distribution:
// refuses a second interpreter, creates the module once per process and
// registers its classes in their fixed order, listing each in __all__.
#include "binding.hpp"

namespace vorlane::py {
namespace {

// The module's __all__ list, created when missing.  Returns a new reference.
PyObject* all_list(PyObject* module) {
    static PyObject* all_name = nullptr;
    if (!all_name) {
        PyObject* name = PyUnicode_FromStringAndSize("__all__", 7);
        if (!name) throw_fetched();
        PyUnicode_InternInPlace(&name);
        all_name = name;
    }
    PyObject* all = PyObject_GetAttr(module, all_name);
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) throw_fetched();
        if (PyObject_SetAttr(module, all_name, all) < 0) {
            Py_DECREF(all);
            throw_fetched();
        }
    }
    Ref owned = Ref::steal(all);
    if (!PyList_Check(all)) throw_downcast(all, "PyList");
    return owned.release();
}

void register_classes(PyObject* module, std::span<const ClassEntry> classes) {
    for (const ClassEntry& c : classes) {
        PyTypeObject* type = c.type();
        Ref name = Ref::steal(PyUnicode_FromString(c.def().name));
        if (!name) throw_fetched();
        Ref all = Ref::steal(all_list(module));
        if (PyList_Append(all.get(), name.get()) < 0) {
            PyErr_Clear();
            throw Panic("could not append __name__ to __all__");
        }
        if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0)
            throw_fetched();
    }
}

PyObject* initialise(ModuleDef& def) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_fetched();
    std::int64_t expected = -1;
    if (!def.owner.compare_exchange_strong(expected, id) && expected != id) {
        throw Error(PyExc_ImportError,
                    std::string(def.definition.m_name) +
                        " does not support sub-interpreters: it can only be imported "
                        "into the first interpreter that loaded it in this process");
    }
    if (def.module) return Py_NewRef(def.module);

    if (def.prepare) def.prepare();
    Ref module = Ref::steal(PyModule_Create2(&def.definition, PYTHON_API_VERSION));
    if (!module) throw_fetched();
    register_classes(module.get(), def.classes);

    // A nested initialisation on this thread may have won meanwhile.
    if (def.module) return Py_NewRef(def.module);
    def.module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

PyObject* init_module(ModuleDef& def) noexcept {
    return guard([&] { return initialise(def); }, static_cast<PyObject*>(nullptr));
}

}  // namespace vorlane::py
