// The vorlane module: its five classes in their fixed order.
#include "classes.hpp"

namespace vorlane::py {
namespace {

constexpr ClassEntry kClasses[] = {
    {"Checkpoint", &type_of<Checkpoint>},
    {"IndexerConfig", &type_of<IndexerConfig>},
    {"EventFilter", &type_of<EventFilter>},
    {"InMemoryStorage", &type_of<StorageRecord>},
    {"BlockSummary", &type_of<BlockSummary>},
};

ModuleDef g_module{module_definition("vorlane"), kClasses, nullptr};

}  // namespace
}  // namespace vorlane::py

PyMODINIT_FUNC PyInit_vorlane() { return vorlane::py::init_module(vorlane::py::g_module); }
