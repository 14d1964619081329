// Python class PostgresStorage: checkpoints in a PostgreSQL table, shared by
// indexer processes on many machines.
#include <cmath>

#include "repr.hpp"
#include "stores_classes.hpp"

namespace vorlane::py {

// The timeout argument: seconds as an int or a float, rounded to whole
// milliseconds, or None for no limit.  Unlike busy_timeout it must not be 0.
struct Timeout {
    std::optional<std::chrono::milliseconds> value;
};
template <> struct From<Timeout> {
    static Timeout convert(PyObject* o) {
        if (o == Py_None) return {};
        const double seconds = seconds_value(o);
        // libpq takes tcp_user_timeout in milliseconds as an int.
        if (!(seconds >= 0.001 && seconds <= 2147483.0)) {
            throw Error(PyExc_ValueError,
                        "argument 'timeout': expected seconds from 0.001 to 2147483, or None");
        }
        return {std::chrono::milliseconds(std::llround(seconds * 1000.0))};
    }
};

namespace {

constinit Signature kNew =
    signature("__new__", {"dsn", "*", "table='vorlane_checkpoints'", "timeout=30.0"});

PostgresRecord construct(std::string_view dsn, Omittable<std::string> table,
                         Omittable<Timeout> timeout) {
    std::string conninfo = c_text(dsn, "dsn");
    PostgresOptions options;
    options.table = table_name(std::move(table));
    // Unqualified, such a name would find the system catalog of that name
    // before the connection's own schema.
    if (options.table.starts_with("pg_")) [[unlikely]] {
        throw Error(PyExc_ValueError,
                    "argument 'table': invalid table name: names starting with pg_ are reserved "
                    "for PostgreSQL's system catalogs");
    }
    if (timeout.value) options.timeout = timeout.value->value;
    return {Session<PostgresBackend>(
        PostgresBackend{std::move(conninfo), std::move(options), {}, {}})};
}

void represent(const PostgresRecord& self, std::string& out) {
    const PostgresBackend& b = self.session.backend();
    repr::Fields(out, "PostgresStorage")
        .text("dsn", b.description)
        .text("table", b.options.table)
        .end();
}

const ClassDef kClass = define_class<PostgresRecord, &construct, kNew, &represent>(
    kStoresModule, "PostgresStorage", "Checkpoints kept in a PostgreSQL table.", nullptr,
    StorageMethods<PostgresRecord>::table);

}  // namespace

template <> const ClassDef& class_def<PostgresRecord>() { return kClass; }

}  // namespace vorlane::py
