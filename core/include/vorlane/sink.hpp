// Rows of decoded events waiting to be committed together with a checkpoint,
// and the tables they go into. Independent of the database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <optional>
#include <vector>

#include "vorlane/checkpoint.hpp"

namespace vorlane {

// The checkpoint's part of a write that commits rows with it.
struct CheckpointChange {
    enum class Kind { none, save, save_if, erase };
    Kind kind = Kind::none;
    Checkpoint checkpoint;  // erase: only the pair is used
    std::optional<std::uint64_t> expected_block_number;  // save_if
};

// One value of a row. Texts and blobs live in their SinkRows' byte buffer.
struct SinkCell {
    enum class Kind : std::uint8_t { null, integer, text, blob };
    Kind kind = Kind::null;
    std::uint32_t size = 0;  // text, blob: length in bytes
    std::int64_t value = 0;  // integer: the value; text, blob: offset in bytes()
};

// The rows of one table delivered since the last commit: row-major cells in
// the order of the table's columns, rows in ascending block order (the order
// blocks are delivered in), so a rollback cuts a tail and a commit takes a
// head.
class SinkRows {
public:
    explicit SinkRows(std::size_t columns = 0) noexcept : columns_(columns) {}

    [[nodiscard]] std::size_t columns() const noexcept { return columns_; }
    [[nodiscard]] std::size_t size() const noexcept { return blocks_.size(); }
    [[nodiscard]] bool empty() const noexcept { return blocks_.empty(); }

    // A row is added as begin_row(block) followed by exactly columns() cells;
    // drop_last_row() abandons one that could not be completed.
    void begin_row(std::uint64_t block);
    void add_null() { cells_.push_back({}); }
    void add_integer(std::int64_t v) { cells_.push_back({SinkCell::Kind::integer, 0, v}); }
    void add_text(std::string_view text) { add_bytes(SinkCell::Kind::text, text); }
    void add_blob(std::string_view bytes) { add_bytes(SinkCell::Kind::blob, bytes); }
    // Writing a text in place: append to text_buffer() after text_start(),
    // then end_text(start).
    [[nodiscard]] std::size_t text_start() const noexcept { return bytes_.size(); }
    [[nodiscard]] std::string& text_buffer() noexcept { return bytes_; }
    void end_text(std::size_t start, SinkCell::Kind kind = SinkCell::Kind::text);
    void drop_last_row() noexcept;
    // Keeps the first `rows` rows.
    void keep_first(std::size_t rows) noexcept;

    // Forgets the rows of blocks above `block`.
    void drop_above(std::int64_t block) noexcept;
    // Moves the rows of blocks up to `block` out, in order.
    [[nodiscard]] SinkRows take_through(std::uint64_t block);

    [[nodiscard]] std::uint64_t block(std::size_t row) const noexcept { return blocks_[row]; }
    [[nodiscard]] std::span<const SinkCell> row(std::size_t row) const noexcept {
        return {cells_.data() + row * columns_, columns_};
    }
    [[nodiscard]] std::string_view bytes(const SinkCell& cell) const noexcept {
        return {bytes_.data() + cell.value, cell.size};
    }

private:
    void add_bytes(SinkCell::Kind kind, std::string_view bytes);

    std::size_t columns_;
    std::vector<SinkCell> cells_;
    std::string bytes_;
    std::vector<std::uint64_t> blocks_;
    std::vector<std::size_t> row_bytes_;  // where each row's bytes start
};

// A table of a sink: its (unquoted) name and columns with their declared
// SQL types. Every sink table starts with the log's columns block_number,
// block_hash, log_index, transaction_hash, transaction_index, address; its
// primary key is (block_number, log_index).
struct SinkColumn {
    std::string name;
    std::string type;
};
struct SinkTable {
    std::string name;
    std::vector<SinkColumn> columns;
};

// What one commit does to the sink's tables: first deletes the rows of
// blocks above `delete_above` from every table, then inserts `rows[i]` into
// `tables[i]` (rows may be shorter than tables).
struct SinkWrite {
    std::span<const SinkTable> tables;
    std::span<const SinkRows> rows;
    std::optional<std::int64_t> delete_above;
};

// `name` between double quotes, inner ones doubled: an SQL identifier that
// keys words and any character but NUL may form.
[[nodiscard]] std::string quote_identifier(std::string_view name);

}  // namespace vorlane
