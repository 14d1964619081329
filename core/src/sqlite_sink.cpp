#include "vorlane/sqlite_sink.hpp"

#include <sqlite3.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vorlane {
namespace {

bool same_ascii_nocase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// A statement finalized with its owner.
struct Statement {
    sqlite3_stmt* handle = nullptr;
    Statement() noexcept = default;
    Statement(Statement&& o) noexcept : handle(std::exchange(o.handle, nullptr)) {}
    Statement& operator=(Statement&&) = delete;
    Statement(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(handle); }
};

struct TableStatements {
    Statement insert;
    Statement erase;
};

// The prepared statements of the tables set up on this connection so far,
// in the order of SinkWrite::tables.
struct SinkStatements {
    std::vector<TableStatements> tables;
};

// Resets a statement when its use ends, on every path.
struct Use {
    sqlite3_stmt* statement;
    ~Use() {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
};

Result<void> exec(SqliteWriter& writer, const std::string& sql) {
    if (sqlite3_exec(writer.handle(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        return failure<void>(writer.last_failure());
    return success<void>();
}

Result<void> prepare(SqliteWriter& writer, const std::string& sql, Statement& out) {
    if (sqlite3_prepare_v3(writer.handle(), sql.c_str(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &out.handle, nullptr) != SQLITE_OK)
        return failure<void>(writer.last_failure());
    return success<void>();
}

IndexerError shape_error(const SinkTable& table, const std::string& what) {
    return IndexerError::storage("table \"" + table.name + "\" exists with another shape: " + what);
}

// An existing table must have exactly the definition's columns, in order,
// with the same declared types and primary key.
Result<void> check_shape(SqliteWriter& writer, const SinkTable& table) {
    Statement info;
    if (auto r = prepare(writer, "SELECT name, type, pk FROM pragma_table_info(?1)", info); !r.ok())
        return r;
    sqlite3_bind_text64(info.handle, 1, table.name.data(), table.name.size(), SQLITE_STATIC,
                        SQLITE_UTF8);
    std::size_t i = 0;
    int rc;
    while ((rc = sqlite3_step(info.handle)) == SQLITE_ROW) {
        const auto text = [&](int column) {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(info.handle, column));
            return std::string(p ? p : "");
        };
        const std::string name = text(0);
        if (i == table.columns.size())
            return failure<void>(shape_error(table, "column \"" + name + "\" is not expected"));
        const SinkColumn& want = table.columns[i];
        if (name != want.name) {
            return failure<void>(shape_error(table, "column \"" + name + "\" where \"" +
                                                        want.name + "\" is expected"));
        }
        const std::string type = text(1);
        const int pk = sqlite3_column_int(info.handle, 2);
        const int want_pk = i == 0 ? 1 : i == 2 ? 2 : 0;
        if (!same_ascii_nocase(type, want.type) || pk != want_pk) {
            return failure<void>(shape_error(
                table, "column \"" + name + "\" is " + (type.empty() ? "untyped" : type) +
                           (pk ? " in the primary key" : "") + ", expected " + want.type +
                           (want_pk ? " in the primary key" : "")));
        }
        ++i;
    }
    if (rc != SQLITE_DONE) return failure<void>(writer.last_failure());
    if (i < table.columns.size())
        return failure<void>(shape_error(table, "column \"" + table.columns[i].name + "\" is missing"));
    return success<void>();
}

Result<void> set_up(SqliteWriter& writer, const SinkTable& table, TableStatements& out) {
    const std::string name = quote_identifier(table.name);
    std::string create = "CREATE TABLE IF NOT EXISTS " + name + " (";
    std::string columns;
    std::string values;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        const SinkColumn& c = table.columns[i];
        if (i) {
            create += ", ";
            columns += ", ";
            values += ", ";
        }
        create += quote_identifier(c.name) + ' ' + c.type;
        if (i < 4 || i == 5) create += " NOT NULL";
        columns += quote_identifier(c.name);
        values += '?' + std::to_string(i + 1);
    }
    create += ", PRIMARY KEY (\"block_number\", \"log_index\")) WITHOUT ROWID";
    if (auto r = exec(writer, create); !r.ok()) return r;
    if (auto r = check_shape(writer, table); !r.ok()) return r;
    if (auto r = prepare(writer, "INSERT INTO " + name + " (" + columns + ") VALUES (" + values + ")",
                         out.insert);
        !r.ok())
        return r;
    return prepare(writer, "DELETE FROM " + name + " WHERE \"block_number\" > ?1", out.erase);
}

int bind(sqlite3_stmt* statement, int index, const SinkRows& rows, const SinkCell& cell) noexcept {
    switch (cell.kind) {
        case SinkCell::Kind::integer:
            return sqlite3_bind_int64(statement, index, cell.value);
        case SinkCell::Kind::text: {
            const auto text = rows.bytes(cell);
            return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC,
                                       SQLITE_UTF8);
        }
        case SinkCell::Kind::blob: {
            const auto bytes = rows.bytes(cell);
            return sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_STATIC);
        }
        case SinkCell::Kind::null:
            break;
    }
    return sqlite3_bind_null(statement, index);
}

Result<void> insert(SqliteWriter& writer, sqlite3_stmt* statement, const SinkRows& rows) {
    const Use use{statement};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        int index = 1;
        for (const SinkCell& cell : rows.row(r)) {
            if (bind(statement, index++, rows, cell) != SQLITE_OK)
                return failure<void>(writer.last_failure());
        }
        if (sqlite3_step(statement) != SQLITE_DONE) return failure<void>(writer.last_failure());
        sqlite3_reset(statement);
    }
    return success<void>();
}

}  // namespace

namespace {

Result<void> write_rows(SqliteWriter& writer, const SinkWrite& write) {
    std::shared_ptr<void>& state = writer.state();
    if (!state) state = std::make_shared<SinkStatements>();
    auto& prepared = static_cast<SinkStatements*>(state.get())->tables;
    while (prepared.size() < write.tables.size()) {
        TableStatements statements;
        if (auto r = set_up(writer, write.tables[prepared.size()], statements); !r.ok()) return r;
        prepared.push_back(std::move(statements));
    }
    if (write.delete_above) {
        for (std::size_t i = 0; i < write.tables.size(); ++i) {
            sqlite3_stmt* erase = prepared[i].erase.handle;
            const Use use{erase};
            if (sqlite3_bind_int64(erase, 1, *write.delete_above) != SQLITE_OK ||
                sqlite3_step(erase) != SQLITE_DONE)
                return failure<void>(writer.last_failure());
        }
    }
    for (std::size_t i = 0; i < write.rows.size() && i < write.tables.size(); ++i) {
        if (write.rows[i].empty()) continue;
        if (auto r = insert(writer, prepared[i].insert.handle, write.rows[i]); !r.ok()) return r;
    }
    return success<void>();
}

}  // namespace

Result<void> write_sink_rows(SqliteWriter& writer, const SinkWrite& write) {
    auto result = write_rows(writer, write);
    // The transaction is rolled back: tables it created are gone again.
    if (!result.ok()) writer.state().reset();
    return result;
}

}  // namespace vorlane
