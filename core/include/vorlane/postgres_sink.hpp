// Sink rows written into PostgreSQL tables with COPY (FORMAT binary), in a
// checkpoint store's transaction.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "vorlane/postgres_store.hpp"
#include "vorlane/sink.hpp"

namespace vorlane {

// The statements of one commit: with `set_up`, the tables created when
// missing and checked column by column (a table of another shape fails the
// batch naming the first column that differs, and is never altered); then
// the deletion of rows above `delete_above` from every table; then one
// binary COPY per table with rows. Column types decide the encoding:
// bigint and boolean from integers, numeric(78,0) from decimal text, jsonb
// from JSON text, text and bytea from bytes as they are.
[[nodiscard]] PgBatch postgres_sink_batch(std::span<const SinkTable> tables,
                                          std::span<const SinkRows> rows,
                                          std::optional<std::int64_t> delete_above, bool set_up);

}  // namespace vorlane
