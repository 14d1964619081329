// The records that have a Python class, and what the class files offer each
// other.  Each class file defines class_def<Record>().
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

// vorlane's classes report "builtins" as their module.
inline constexpr const char kModule[] = "builtins";

// What an InMemoryStorage object holds: its handle on its own store.
struct StorageRecord {
    std::shared_ptr<InMemoryCheckpointStore> store;
};

template <> struct is_record<Checkpoint> : std::true_type {};
template <> struct is_record<IndexerConfig> : std::true_type {};
template <> struct is_record<EventFilter> : std::true_type {};
template <> struct is_record<StorageRecord> : std::true_type {};
template <> struct is_record<BlockSummary> : std::true_type {};

template <> const ClassDef& class_def<Checkpoint>();
template <> const ClassDef& class_def<IndexerConfig>();
template <> const ClassDef& class_def<EventFilter>();
template <> const ClassDef& class_def<StorageRecord>();
template <> const ClassDef& class_def<BlockSummary>();

}  // namespace vorlane::py
