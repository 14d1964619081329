// Python class InMemoryStorage: saves, loads and deletes checkpoints in its
// own in-memory store.  Every call drives one store operation to completion
// on a fresh task runtime that is shut down before the call returns.
#include "classes.hpp"
#include "vorlane/checkpoint_store.hpp"
#include "vorlane/runtime.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew = signature("__new__");
constinit Signature kLoad = signature("load_checkpoint", {"chain_id", "indexer_id"});
constinit Signature kSave = signature("save_checkpoint", {"checkpoint"});
constinit Signature kDelete = signature("delete_checkpoint", {"chain_id", "indexer_id"});

StorageRecord construct() { return {std::make_shared<InMemoryCheckpointStore>()}; }

// Runs one store operation: a second handle keeps the store alive while it
// runs; the runtime's workers are joined before the outcome is converted.
template <class MakeOperation>
auto run(const StorageRecord& self, MakeOperation make_operation) {
    std::shared_ptr<const CheckpointStore> store = self.store;
    std::optional<Runtime> runtime;
    try {
        runtime.emplace();
    } catch (const RuntimeBuildError& e) {
        throw_runtime_error(e.code().message() + " (os error " + std::to_string(e.code().value()) +
                            ")");
    }
    auto outcome = runtime->block_on(make_operation(*store));
    store.reset();
    runtime->shutdown();
    if (!outcome.ok()) throw_runtime_error(outcome.error().message());
    return std::move(outcome).value();
}

std::optional<Checkpoint> load_checkpoint(const StorageRecord& self, std::string_view chain_id,
                                          std::string_view indexer_id) {
    return run(self, [&](const CheckpointStore& s) { return s.load(chain_id, indexer_id); });
}

void save_checkpoint(const StorageRecord& self, Checkpoint checkpoint) {
    run(self, [&](const CheckpointStore& s) { return s.save(std::move(checkpoint)); });
}

void delete_checkpoint(const StorageRecord& self, std::string_view chain_id,
                       std::string_view indexer_id) {
    run(self, [&](const CheckpointStore& s) { return s.delete_(chain_id, indexer_id); });
}

void represent(const StorageRecord&, std::string& out) { out += "InMemoryStorage()"; }

const Method kMethods[] = {
    method_def<&load_checkpoint, kLoad>("Load a checkpoint for the given chain and indexer."),
    method_def<&save_checkpoint, kSave>("Save (upsert) a checkpoint."),
    method_def<&delete_checkpoint, kDelete>("Delete a checkpoint."),
};

const ClassDef kClass = define_class<StorageRecord, &construct, kNew, &represent>(
    kModule, "InMemoryStorage", "In-memory storage for checkpoints (dev/testing, no persistence).",
    nullptr, kMethods);

}  // namespace

template <> const ClassDef& class_def<StorageRecord>() { return kClass; }

}  // namespace vorlane::py
