// The vorlane_stores module: checkpoint storages that outlive the process.
#include "arrow_batch.hpp"
#include "sink_classes.hpp"
#include "stores_classes.hpp"

namespace vorlane::py {
namespace {

constexpr ClassEntry kClasses[] = {class_entry<SqliteRecord>(), class_entry<PostgresRecord>(),
                                   class_entry<SqliteSinkRecord>(), class_entry<PostgresSinkRecord>(),
                                   class_entry<ArrowBatchRecord>()};

// Checkpoints going in and out are vorlane.Checkpoint objects.
void adopt_vorlane_classes() { adopt_type<Checkpoint>("vorlane"); }

ModuleDef g_module{module_definition("vorlane_stores"), kClasses, &adopt_vorlane_classes};

}  // namespace
}  // namespace vorlane::py

PyMODINIT_FUNC PyInit_vorlane_stores() { return vorlane::py::init_module(vorlane::py::g_module); }
