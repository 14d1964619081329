// Sink rows written into SQLite tables, inside a checkpoint store's write.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "vorlane/result.hpp"
#include "vorlane/sink.hpp"
#include "vorlane/sqlite_store.hpp"

namespace vorlane {

// Runs inside SqliteCheckpointStore::write_beside. Tables are created when
// missing (WITHOUT ROWID, keyed by (block_number, log_index)); an existing
// one is compared with its definition column by column and refused, naming
// the first column that differs, never altered. Statements are prepared once
// per connection and table.
[[nodiscard]] Result<void> write_sink_rows(SqliteWriter& writer, const SinkWrite& write);

}  // namespace vorlane
