// Python class SqliteStorage: checkpoints in one SQLite database file.
#include "repr.hpp"
#include "stores_classes.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew = signature(
    "__new__", {"path", "*", "table='vorlane_checkpoints'", "synchronous=True", "busy_timeout=5.0"});

SqliteRecord construct(FsPath path, Omittable<std::string> table, Omittable<bool> synchronous,
                       Omittable<Seconds> busy_timeout) {
    SqliteOptions options;
    options.table = table_name(std::move(table));
    std::move(synchronous).assign_to(options.synchronous);
    if (busy_timeout.value) options.busy_timeout = busy_timeout.value->value;
    return {Session<SqliteBackend>(SqliteBackend{std::move(path.value), std::move(options)})};
}

void represent(const SqliteRecord& self, std::string& out) {
    const SqliteBackend& b = self.session.backend();
    repr::Fields(out, "SqliteStorage").text("path", b.path).text("table", b.options.table).end();
}

const ClassDef kClass = define_class<SqliteRecord, &construct, kNew, &represent>(
    kStoresModule, "SqliteStorage", "Checkpoints kept in an SQLite database file.", nullptr,
    StorageMethods<SqliteRecord>::table);

}  // namespace

template <> const ClassDef& class_def<SqliteRecord>() { return kClass; }

}  // namespace vorlane::py
