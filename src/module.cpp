// The vorlane module: its five classes in their fixed order.
#include "classes.hpp"

namespace vorlane::py {
namespace {

constexpr ClassEntry kClasses[] = {
    class_entry<Checkpoint>(),    class_entry<IndexerConfig>(), class_entry<EventFilter>(),
    class_entry<StorageRecord>(), class_entry<BlockSummary>(),
};

ModuleDef g_module{module_definition("vorlane"), kClasses, nullptr};

}  // namespace
}  // namespace vorlane::py

PyMODINIT_FUNC PyInit_vorlane() { return vorlane::py::init_module(vorlane::py::g_module); }
