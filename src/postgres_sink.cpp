// Python class PostgresSink: decoded events copied into PostgreSQL tables in
// the same transaction as the checkpoint that covers them.
#include "repr.hpp"
#include "sink_classes.hpp"
#include "vorlane/postgres_sink.hpp"

namespace vorlane::py {
namespace {

struct PostgresWrite {
    // The first commit of a sink object creates or checks its tables.
    static Task<Result<void>> write(const PostgresCheckpointStore& store, const SinkWrite& write,
                                    CheckpointChange change) {
        const bool set_up = change.kind == CheckpointChange::Kind::none;
        const PgBatch batch = postgres_sink_batch(write.tables, write.rows, write.delete_above, set_up);
        co_return co_await store.write_beside(batch, std::move(change));
    }
};
using Methods = SinkMethods<PostgresBackend, PostgresWrite>;

constinit Signature kNew = signature(
    "__new__", {"dsn", "events", "*", "prefix=''", "table='vorlane_checkpoints'", "timeout=30.0"});

PostgresSinkRecord construct(std::string_view dsn, PyObject* events, Omittable<std::string> prefix,
                             Omittable<std::string> table, Omittable<Timeout> timeout) {
    std::string conninfo = c_text(dsn, "dsn");
    PostgresOptions options;
    options.table = postgres_table_name(std::move(table));
    if (timeout.value) options.timeout = timeout.value->value;
    return Methods::open(events, std::move(prefix),
                         PostgresBackend{std::move(conninfo), std::move(options), {}, {}},
                         kPostgresDialect);
}

void represent(const PostgresSinkRecord& self, std::string& out) {
    const PostgresBackend& b = self.session.backend();
    repr::Fields(out, "PostgresSink").text("dsn", b.description).text("table", b.options.table).end();
}

const ClassDef kClass = define_class<PostgresSinkRecord, &construct, kNew, &represent>(
    kStoresModule, "PostgresSink",
    "Decoded events in PostgreSQL tables, committed with their checkpoint.", nullptr,
    Methods::table);

}  // namespace

template <> const ClassDef& class_def<PostgresSinkRecord>() { return kClass; }

}  // namespace vorlane::py
