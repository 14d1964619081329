// The records that have a Python class, and what the class files offer each
// other.  Each class file defines class_spec<Record>().
#pragma once

#include <memory>

#include "binding.hpp"
#include "vorlane/block_summary.hpp"
#include "vorlane/checkpoint.hpp"
#include "vorlane/event_filter.hpp"
#include "vorlane/indexer_config.hpp"

namespace vorlane {
class InMemoryCheckpointStore;
}

namespace vorlane::py {

// What an InMemoryStorage object holds: its handle on its own store.
struct StorageRecord {
    std::shared_ptr<InMemoryCheckpointStore> store;
};

template <> struct is_record<Checkpoint> : std::true_type {};
template <> struct is_record<IndexerConfig> : std::true_type {};
template <> struct is_record<EventFilter> : std::true_type {};
template <> struct is_record<StorageRecord> : std::true_type {};
template <> struct is_record<BlockSummary> : std::true_type {};

template <> const ClassSpec& class_spec<Checkpoint>();
template <> const ClassSpec& class_spec<IndexerConfig>();
template <> const ClassSpec& class_spec<EventFilter>();
template <> const ClassSpec& class_spec<StorageRecord>();
template <> const ClassSpec& class_spec<BlockSummary>();

}  // namespace vorlane::py
