// Argument conversions of the durable storages.
#include "durable_storage.hpp"

#include <cmath>

namespace vorlane::py {

std::string table_name(Omittable<std::string> table) {
    std::string name(kDefaultTableName);
    std::move(table).assign_to(name);
    if (!is_valid_table_name(name)) [[unlikely]] {
        throw Error(PyExc_ValueError,
                    "argument 'table': invalid table name: it must be 1 to 63 characters "
                    "from a-z, 0-9 and _, and must not start with a digit");
    }
    return name;
}

std::string postgres_table_name(Omittable<std::string> table) {
    std::string name = table_name(std::move(table));
    // Unqualified, such a name would find the system catalog of that name
    // before the connection's own schema.
    if (name.starts_with("pg_")) [[unlikely]] {
        throw Error(PyExc_ValueError,
                    "argument 'table': invalid table name: names starting with pg_ are reserved "
                    "for PostgreSQL's system catalogs");
    }
    return name;
}

double seconds_value(PyObject* o) {
    if (!PyFloat_Check(o) && !PyLong_Check(o)) throw_downcast(o, "PyFloat");
    const double seconds = PyFloat_AsDouble(o);
    if (seconds == -1.0 && PyErr_Occurred()) throw_fetched();
    return seconds;
}

Seconds From<Seconds>::convert(PyObject* o) {
    const double seconds = seconds_value(o);
    // SQLite takes milliseconds as an int.
    if (!(seconds >= 0.0 && seconds <= 2147483.0)) {
        throw Error(PyExc_ValueError,
                    "argument 'busy_timeout': expected seconds from 0 to 2147483");
    }
    return {std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000.0))};
}

Timeout From<Timeout>::convert(PyObject* o) {
    if (o == Py_None) return {};
    const double seconds = seconds_value(o);
    // libpq takes tcp_user_timeout in milliseconds as an int.
    if (!(seconds >= 0.001 && seconds <= 2147483.0)) {
        throw Error(PyExc_ValueError,
                    "argument 'timeout': expected seconds from 0.001 to 2147483, or None");
    }
    return {std::chrono::milliseconds(std::llround(seconds * 1000.0))};
}

std::string c_text(std::string_view text, const char* parameter) {
    if (text.find('\0') != std::string_view::npos) [[unlikely]] {
        throw Error(PyExc_ValueError,
                    std::string("argument '") + parameter + "': embedded null character");
    }
    return std::string(text);
}

FsPath From<FsPath>::convert(PyObject* o) {
    if (PyUnicode_Check(o)) return {c_text(utf8_view(o), "path")};
#if PY_VERSION_HEX >= 0x030D0000
    // An error raised while looking the attribute up propagates.
    int has_fspath = PyObject_HasAttrStringWithError(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__fspath__");
    if (has_fspath < 0) throw_fetched();
    if (!has_fspath) throw_downcast(o, "PyString");
#else
    if (!PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__fspath__"))
        throw_downcast(o, "PyString");
#endif
    Ref path = Ref::steal(PyOS_FSPath(o));
    if (!path) throw_fetched();
    return {c_text(utf8_view(path.get()), "path")};
}

}  // namespace vorlane::py
