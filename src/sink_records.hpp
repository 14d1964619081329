// Decoded event records turned into sink rows: one table per event type,
// built from its record class's schema, and each record's values converted
// into cells natively, without a Python row in between.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding.hpp"
#include "vorlane/sink.hpp"

namespace vorlane::py {

// How an argument is stored. The SQL type of each is the dialect's.
enum class ArgKind : std::uint8_t {
    integer,  // int types that fit a signed 64-bit integer
    boolean,
    decimal,  // wider int types: decimal text
    text,     // address: 0x and lower-case hex
    string,   // UTF-8
    bytes,    // bytes, bytesN, and the topic of an indexed dynamic argument
    json,     // arrays and tuples
};

struct SinkDialect {
    const char* integer;
    const char* boolean;
    const char* decimal;
    const char* text;
    const char* string;
    const char* bytes;
    const char* json;
    // JSON strings holding U+0000 are written as {"utf8": "0x<hex>"}
    // (PostgreSQL's jsonb cannot hold the character).
    bool json_nul_as_bytes;
};
extern const SinkDialect kSqliteDialect;
extern const SinkDialect kPostgresDialect;

// The sink's events, their tables, and the rows waiting for the next commit.
class SinkEvents {
public:
    // `events`: an iterable of record classes. `reserved`: the checkpoint
    // table's name, which no event table may take.
    SinkEvents(PyObject* events, const std::string& prefix, const std::string& reserved,
               const SinkDialect& dialect);

    [[nodiscard]] const std::vector<SinkTable>& tables() const noexcept { return tables_; }
    // {event signature: table name}
    [[nodiscard]] PyObject* table_names() const;

    // Appends the rows of `records` (records of the sink's events; Log
    // objects are skipped). All or nothing: on an error no row of the call
    // stays.
    void add(PyObject* records);
    // Forgets the rows above `block`.
    void drop_above(std::int64_t block) noexcept;
    // The rows through `block`, moved out, one SinkRows per table.
    [[nodiscard]] std::vector<SinkRows> take_through(std::uint64_t block);
    void clear() noexcept;

private:
    struct Event {
        std::string signature;
        std::vector<ArgKind> kinds;
    };
    std::size_t event_of(PyObject* type);
    void add_record(PyObject* record, std::size_t table);

    const SinkDialect* dialect_;
    std::vector<Event> events_;
    std::vector<SinkTable> tables_;
    std::vector<SinkRows> rows_;
    std::unordered_map<std::string, std::size_t> by_signature_;
    std::unordered_map<PyObject*, std::size_t> by_class_;  // classes kept in classes_
    std::vector<Ref> classes_;
};

// A sink's pending work between commits: the rows, and the lowest block a
// rollback asked to delete above. A commit that fails leaves the sink
// stale: its rows are dropped (the database still holds the tables and the
// checkpoint of the last commit, in step), and blocks are refused until a
// rollback, which every run starts with, says where the stored state is.
struct SinkState {
    SinkEvents events;
    std::optional<std::int64_t> delete_above;
    bool stale = false;

    void on_block(PyObject* records);
    void on_rollback(std::int64_t block) noexcept;
};

}  // namespace vorlane::py
