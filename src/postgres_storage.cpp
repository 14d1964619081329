// Python class PostgresStorage: checkpoints in a PostgreSQL table, shared by
// indexer processes on many machines.
#include "repr.hpp"
#include "stores_classes.hpp"

namespace vorlane::py {

namespace {

constinit Signature kNew =
    signature("__new__", {"dsn", "*", "table='vorlane_checkpoints'", "timeout=30.0"});

PostgresRecord construct(std::string_view dsn, Omittable<std::string> table,
                         Omittable<Timeout> timeout) {
    std::string conninfo = c_text(dsn, "dsn");
    PostgresOptions options;
    options.table = postgres_table_name(std::move(table));
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
