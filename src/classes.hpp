// The records that have a Python class, and what the class files offer each
// other.  Each class file defines class_spec<Record>().
#pragma once

#include <memory>

#include "binding.hpp"
#include "vorlane/checkpoint.hpp"

namespace vorlane {
class InMemoryCheckpointStore;
}

namespace vorlane::py {

// What an InMemoryStorage object holds: its handle on its own store.
struct StorageRecord {
    std::shared_ptr<InMemoryCheckpointStore> store;
};

template <> struct is_record<Checkpoint> : std::true_type {};
template <> struct is_record<StorageRecord> : std::true_type {};

template <> const ClassSpec& class_spec<Checkpoint>();
template <> const ClassSpec& class_spec<StorageRecord>();

}  // namespace vorlane::py
