// Python class SqliteSink: decoded events written into SQLite tables in the
// same transaction as the checkpoint that covers them.
#include "repr.hpp"
#include "sink_classes.hpp"
#include "sink_records.hpp"
#include "stores_classes.hpp"
#include "vorlane/sqlite_sink.hpp"

namespace vorlane::py {

struct SqliteSinkRecord {
    mutable Session<SqliteBackend> session;
    mutable SinkState state;
};
template <> struct is_record<SqliteSinkRecord> : std::true_type {};

namespace {

constinit Signature kNew =
    signature("__new__", {"path", "events", "*", "prefix=''", "table='vorlane_checkpoints'",
                          "synchronous=True", "busy_timeout=5.0"});

Task<Result<void>> write_op(const SqliteCheckpointStore* store, const SinkWrite* write,
                            CheckpointChange change) {
    co_return store->write_beside(
        [write](SqliteWriter& writer) { return write_sink_rows(writer, *write); }, change);
}

// One transaction: `change` (fenced for save_if), the pending deletion and
// the rows through `through`. On any failure the sink turns stale.
void commit(const SqliteSinkRecord& self, CheckpointChange change,
            std::optional<std::uint64_t> through) {
    SinkState& state = self.state;
    if (state.stale) state.on_block(nullptr);  // raises
    std::vector<SinkRows> rows;
    if (through) rows = state.events.take_through(*through);
    const SinkWrite write{state.events.tables(), rows, std::exchange(state.delete_above, {})};
    try {
        self.session.run([&](const CheckpointStore& store) {
            return write_op(static_cast<const SqliteCheckpointStore*>(&store), &write, change);
        });
    } catch (...) {
        state.events.clear();
        state.delete_above.reset();
        state.stale = true;
        throw;
    }
}

SqliteSinkRecord construct(FsPath path, PyObject* events, Omittable<std::string> prefix,
                           Omittable<std::string> table, Omittable<bool> synchronous,
                           Omittable<Seconds> busy_timeout) {
    SqliteOptions options;
    options.table = table_name(std::move(table));
    std::move(synchronous).assign_to(options.synchronous);
    if (busy_timeout.value) options.busy_timeout = busy_timeout.value->value;
    std::string prefix_text;
    std::move(prefix).assign_to(prefix_text);
    SinkState state{SinkEvents(events, prefix_text, options.table, kSqliteDialect), {}, false};
    SqliteSinkRecord self{Session<SqliteBackend>(SqliteBackend{std::move(path.value), options}),
                          std::move(state)};
    commit(self, {}, std::nullopt);  // the tables, created or checked
    return self;
}

void on_block(const SqliteSinkRecord& self, PyObject*, PyObject* events) {
    self.state.on_block(events);
}

void on_rollback(const SqliteSinkRecord& self, std::int64_t block_number) {
    self.state.on_rollback(block_number);
}

std::optional<Checkpoint> load_checkpoint(const SqliteSinkRecord& self, std::string_view chain_id,
                                          std::string_view indexer_id) {
    return self.session.run(
        [&](const CheckpointStore& s) { return s.load(chain_id, indexer_id); });
}

void save_checkpoint(const SqliteSinkRecord& self, Checkpoint checkpoint) {
    const std::uint64_t through = checkpoint.block_number;
    commit(self, {CheckpointChange::Kind::save, std::move(checkpoint), std::nullopt}, through);
}

void save_checkpoint_if(const SqliteSinkRecord& self, Checkpoint checkpoint,
                        std::optional<std::uint64_t> expected_block_number) {
    const std::uint64_t through = checkpoint.block_number;
    commit(self, {CheckpointChange::Kind::save_if, std::move(checkpoint), expected_block_number},
           through);
}

void delete_checkpoint(const SqliteSinkRecord& self, std::string chain_id, std::string indexer_id) {
    Checkpoint pair{std::move(chain_id), std::move(indexer_id), 0, {}, 0};
    commit(self, {CheckpointChange::Kind::erase, std::move(pair), std::nullopt}, std::nullopt);
}

PyObject* tables(const SqliteSinkRecord& self) { return self.state.events.table_names(); }

void close(const SqliteSinkRecord& self) { self.session.close(); }
void exit(const SqliteSinkRecord& self, PyObject*, PyObject*, PyObject*) { self.session.close(); }

void represent(const SqliteSinkRecord& self, std::string& out) {
    const SqliteBackend& b = self.session.backend();
    repr::Fields(out, "SqliteSink").text("path", b.path).text("table", b.options.table).end();
}

constinit Signature kOnBlock = signature("on_block", {"block", "events"});
constinit Signature kOnRollback = signature("on_rollback", {"block_number"});
constinit Signature kLoad = signature("load_checkpoint", {"chain_id", "indexer_id"});
constinit Signature kSave = signature("save_checkpoint", {"checkpoint"});
constinit Signature kSaveIf =
    signature("save_checkpoint_if", {"checkpoint", "expected_block_number"});
constinit Signature kDelete = signature("delete_checkpoint", {"chain_id", "indexer_id"});
constinit Signature kExit = signature("__exit__", {"exc_type", "exc_value", "traceback"});

const Method kMethods[] = {
    method_def<&on_block, kOnBlock>(
        "Buffer the rows of a block's decoded events until the checkpoint that covers it."),
    method_def<&on_rollback, kOnRollback>(
        "Forget the rows above block_number; the next commit deletes them from the tables."),
    method_def<&load_checkpoint, kLoad>("Load a checkpoint for the given chain and indexer."),
    method_def<&save_checkpoint, kSave>(
        "Commit the buffered rows through the checkpoint's block with the checkpoint."),
    method_def<&save_checkpoint_if, kSaveIf>(
        "Commit the buffered rows with the checkpoint, only if the stored one is at "
        "expected_block_number (None: only if none is stored)."),
    method_def<&delete_checkpoint, kDelete>(
        "Delete a checkpoint, with any pending deletion of rows, in one transaction."),
    noargs_method_def<&tables>("tables", "Return {event signature: table name}."),
    noargs_method_def<&close>("close", "Close the sink; closing twice is allowed."),
    enter_self_def("Return the sink."),
    method_def<&exit, kExit>("Close the sink."),
};

const ClassDef kClass = define_class<SqliteSinkRecord, &construct, kNew, &represent>(
    kStoresModule, "SqliteSink",
    "Decoded events in SQLite tables, committed with their checkpoint.", nullptr, kMethods);

}  // namespace

template <> const ClassDef& class_def<SqliteSinkRecord>() { return kClass; }

}  // namespace vorlane::py
