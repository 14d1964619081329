// Python class SqliteSink: decoded events written into SQLite tables in the
// same transaction as the checkpoint that covers them.
#include "repr.hpp"
#include "sink_classes.hpp"
#include "vorlane/sqlite_sink.hpp"

namespace vorlane::py {
namespace {

struct SqliteWrite {
    static Task<Result<void>> write(const SqliteCheckpointStore& store, const SinkWrite& write,
                                    CheckpointChange change) {
        co_return store.write_beside(
            [&write](SqliteWriter& writer) { return write_sink_rows(writer, write); }, change);
    }
};
using Methods = SinkMethods<SqliteBackend, SqliteWrite>;

constinit Signature kNew =
    signature("__new__", {"path", "events", "*", "prefix=''", "table='vorlane_checkpoints'",
                          "synchronous=True", "busy_timeout=5.0"});

SqliteSinkRecord construct(FsPath path, PyObject* events, Omittable<std::string> prefix,
                           Omittable<std::string> table, Omittable<bool> synchronous,
                           Omittable<Seconds> busy_timeout) {
    SqliteOptions options;
    options.table = table_name(std::move(table));
    std::move(synchronous).assign_to(options.synchronous);
    if (busy_timeout.value) options.busy_timeout = busy_timeout.value->value;
    return Methods::open(events, std::move(prefix), SqliteBackend{std::move(path.value), options},
                         kSqliteDialect);
}

void represent(const SqliteSinkRecord& self, std::string& out) {
    const SqliteBackend& b = self.session.backend();
    repr::Fields(out, "SqliteSink").text("path", b.path).text("table", b.options.table).end();
}

const ClassDef kClass = define_class<SqliteSinkRecord, &construct, kNew, &represent>(
    kStoresModule, "SqliteSink",
    "Decoded events in SQLite tables, committed with their checkpoint.", nullptr, Methods::table);

}  // namespace

template <> const ClassDef& class_def<SqliteSinkRecord>() { return kClass; }

}  // namespace vorlane::py
