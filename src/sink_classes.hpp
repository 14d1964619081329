// The sink classes of vorlane_stores: a session on a durable store plus the
// rows waiting for their checkpoint, with the methods both sinks share.
#pragma once

#include <utility>
#include <vector>

#include "sink_records.hpp"
#include "stores_classes.hpp"

namespace vorlane::py {

template <class Backend>
struct SinkRecord {
    mutable Session<Backend> session;
    mutable SinkState state;
};
using SqliteSinkRecord = SinkRecord<SqliteBackend>;
using PostgresSinkRecord = SinkRecord<PostgresBackend>;
template <class Backend> struct is_record<SinkRecord<Backend>> : std::true_type {};
template <> const ClassDef& class_def<SqliteSinkRecord>();
template <> const ClassDef& class_def<PostgresSinkRecord>();

// `Writer::write(const Store&, const SinkWrite&, CheckpointChange)` is the
// database's commit: `change` on the checkpoint table, then the rows, in one
// transaction.
template <class Backend, class Writer>
struct SinkMethods {
    using R = SinkRecord<Backend>;
    using Store = typename Backend::Store;
    // Loading, closing and the signatures are the storage classes' own.
    using Storage = StorageMethods<R>;

    // One transaction: `change` (fenced for save_if), the pending deletion
    // and the rows through `through`. On any failure the sink turns stale.
    static void commit(const R& self, CheckpointChange change,
                       std::optional<std::uint64_t> through) {
        SinkState& state = self.state;
        if (state.stale) state.on_block(nullptr);  // raises
        std::vector<SinkRows> rows;
        if (through) rows = state.events.take_through(*through);
        const SinkWrite write{state.events.tables(), rows, std::exchange(state.delete_above, {})};
        try {
            self.session.run([&](const CheckpointStore& store) {
                return Writer::write(static_cast<const Store&>(store), write, change);
            });
        } catch (...) {
            state.events.clear();
            state.delete_above.reset();
            state.stale = true;
            throw;
        }
    }

    // A new sink: the events' tables (none named as the checkpoint table),
    // then the connection, then a first commit that creates or checks them.
    static R open(PyObject* events, Omittable<std::string> prefix, Backend backend,
                  const SinkDialect& dialect) {
        std::string prefix_text;
        std::move(prefix).assign_to(prefix_text);
        SinkState state{SinkEvents(events, prefix_text, backend.options.table, dialect), {}, false};
        R self{Session<Backend>(std::move(backend)), std::move(state)};
        commit(self, {}, std::nullopt);
        return self;
    }

    static void on_block(const R& self, PyObject*, PyObject* events) {
        self.state.on_block(events);
    }
    static void on_rollback(const R& self, std::int64_t block_number) {
        self.state.on_rollback(block_number);
    }
    static void save_checkpoint(const R& self, Checkpoint checkpoint) {
        const std::uint64_t through = checkpoint.block_number;
        commit(self, {CheckpointChange::Kind::save, std::move(checkpoint), std::nullopt}, through);
    }
    static void save_checkpoint_if(const R& self, Checkpoint checkpoint,
                                   std::optional<std::uint64_t> expected_block_number) {
        const std::uint64_t through = checkpoint.block_number;
        commit(self,
               {CheckpointChange::Kind::save_if, std::move(checkpoint), expected_block_number},
               through);
    }
    static void delete_checkpoint(const R& self, std::string chain_id, std::string indexer_id) {
        Checkpoint pair{std::move(chain_id), std::move(indexer_id), 0, {}, 0};
        commit(self, {CheckpointChange::Kind::erase, std::move(pair), std::nullopt}, std::nullopt);
    }
    static PyObject* tables(const R& self) { return self.state.events.table_names(); }

    static constinit inline Signature kOnBlock = signature("on_block", {"block", "events"});
    static constinit inline Signature kOnRollback = signature("on_rollback", {"block_number"});

    static inline const Method table[] = {
        method_def<&on_block, kOnBlock>(
            "Buffer the rows of a block's decoded events until the checkpoint that covers it."),
        method_def<&on_rollback, kOnRollback>(
            "Forget the rows above block_number; the next commit deletes them from the tables."),
        method_def<&Storage::load_checkpoint, Storage::kLoad>(
            "Load a checkpoint for the given chain and indexer."),
        method_def<&save_checkpoint, Storage::kSave>(
            "Commit the buffered rows through the checkpoint's block with the checkpoint."),
        method_def<&save_checkpoint_if, Storage::kSaveIf>(
            "Commit the buffered rows with the checkpoint, only if the stored one is at "
            "expected_block_number (None: only if none is stored)."),
        method_def<&delete_checkpoint, Storage::kDelete>(
            "Delete a checkpoint, with any pending deletion of rows, in one transaction."),
        noargs_method_def<&tables>("tables", "Return {event signature: table name}."),
        noargs_method_def<&Storage::close>("close", "Close the sink; closing twice is allowed."),
        enter_self_def("Return the sink."),
        method_def<&Storage::exit, Storage::kExit>("Close the sink."),
    };
};

}  // namespace vorlane::py
