// Sink rows written into SQLite tables, inside a checkpoint store's write.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "vorlane/result.hpp"
#include "vorlane/sink.hpp"
#include "vorlane/sqlite_store.hpp"

namespace vorlane {

// What one commit does to the sink's tables: first deletes the rows of
// blocks above `delete_above` from every table, then inserts `rows[i]` into
// `tables[i]` (rows may be shorter than tables).
struct SinkWrite {
    std::span<const SinkTable> tables;
    std::span<const SinkRows> rows;
    std::optional<std::int64_t> delete_above;
};

// Runs inside SqliteCheckpointStore::write_beside. Tables are created when
// missing (WITHOUT ROWID, keyed by (block_number, log_index)); an existing
// one is compared with its definition column by column and refused, naming
// the first column that differs, never altered. Statements are prepared once
// per connection and table.
[[nodiscard]] Result<void> write_sink_rows(SqliteWriter& writer, const SinkWrite& write);

}  // namespace vorlane
