#include "vorlane/postgres_sink.hpp"

#include <string>
#include <string_view>

namespace vorlane {
namespace {

enum class Codec { int8, boolean, numeric, jsonb, raw };

Codec codec_of(std::string_view type) {
    if (type == "bigint") return Codec::int8;
    if (type == "boolean") return Codec::boolean;
    if (type.starts_with("numeric")) return Codec::numeric;
    if (type == "jsonb") return Codec::jsonb;
    return Codec::raw;  // text, bytea
}

void put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xff);
}
void put32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xff);
}
void put64(std::string& out, std::uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xff);
}

// numeric's binary form: base-10000 digits, most significant first, with
// the weight of the first and trailing zero digits left out.
void put_numeric(std::string& out, std::string_view decimal) {
    const bool negative = !decimal.empty() && decimal.front() == '-';
    if (negative) decimal.remove_prefix(1);
    while (decimal.size() > 1 && decimal.front() == '0') decimal.remove_prefix(1);
    std::vector<std::uint16_t> digits;
    if (decimal != "0") {
        const std::size_t head = decimal.size() % 4 == 0 ? 4 : decimal.size() % 4;
        std::size_t at = 0;
        for (std::size_t len = head; at < decimal.size(); at += len, len = 4) {
            std::uint16_t d = 0;
            for (std::size_t i = 0; i < len; ++i)
                d = static_cast<std::uint16_t>(d * 10 + (decimal[at + i] - '0'));
            digits.push_back(d);
        }
    }
    const auto weight = static_cast<std::uint16_t>(digits.empty() ? 0 : digits.size() - 1);
    while (!digits.empty() && digits.back() == 0) digits.pop_back();
    put32(out, static_cast<std::uint32_t>(8 + 2 * digits.size()));
    put16(out, static_cast<std::uint16_t>(digits.size()));
    put16(out, weight);
    put16(out, negative && !digits.empty() ? 0x4000 : 0);
    put16(out, 0);  // display scale
    for (const std::uint16_t d : digits) put16(out, d);
}

std::string literal(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    out += '\'';
    return out;
}

std::string copy_data(const std::vector<Codec>& codecs, const SinkRows& rows) {
    static constexpr char kHeader[] = "PGCOPY\n\377\r\n";
    std::string out(kHeader, sizeof kHeader);  // the signature ends with its NUL
    put32(out, 0);  // flags
    put32(out, 0);  // header extension
    for (std::size_t r = 0; r < rows.size(); ++r) {
        put16(out, static_cast<std::uint16_t>(codecs.size()));
        std::size_t column = 0;
        for (const SinkCell& cell : rows.row(r)) {
            const Codec codec = codecs[column++];
            if (cell.kind == SinkCell::Kind::null) {
                put32(out, UINT32_MAX);  // -1: NULL
            } else if (cell.kind == SinkCell::Kind::integer) {
                if (codec == Codec::boolean) {
                    put32(out, 1);
                    out += static_cast<char>(cell.value != 0);
                } else {
                    put32(out, 8);
                    put64(out, static_cast<std::uint64_t>(cell.value));
                }
            } else if (codec == Codec::numeric) {
                put_numeric(out, rows.bytes(cell));
            } else {
                const std::string_view bytes = rows.bytes(cell);
                const bool jsonb = codec == Codec::jsonb;
                put32(out, static_cast<std::uint32_t>(bytes.size() + jsonb));
                if (jsonb) out += '\1';  // jsonb's binary format version
                out.append(bytes);
            }
        }
    }
    put16(out, UINT16_MAX);  // -1: the end
    return out;
}

std::string shape_check(const SinkTable& table) {
    const std::string name = quote_identifier(table.name);
    std::string want;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        if (i) want += ", ";
        want += '(';
        want += std::to_string(i + 1);
        want += ", ";
        want += literal(table.columns[i].name);
        want += ", ";
        want += literal(table.columns[i].type);
        want += ')';
    }
    return "SELECT " + literal("table \"" + table.name + "\" exists with another shape: ") +
           " || CASE WHEN h.name IS NULL THEN format('column \"%s\" is missing', w.name)"
           " WHEN w.name IS NULL THEN format('column \"%s\" is not expected', h.name)"
           " WHEN h.name <> w.name THEN format('column \"%s\" where \"%s\" is expected', h.name, w.name)"
           " ELSE format('column \"%s\" is %s, expected %s', h.name, h.type, w.type) END"
           " FROM (VALUES " + want + ") AS w(pos, name, type) FULL JOIN"
           " (SELECT row_number() OVER (ORDER BY attnum) AS pos, attname::text AS name,"
           " format_type(atttypid, atttypmod) AS type FROM pg_attribute"
           " WHERE attrelid = to_regclass(" + literal(name) + ") AND attnum > 0 AND NOT attisdropped) h"
           " ON h.pos = w.pos WHERE h.name IS DISTINCT FROM w.name OR h.type IS DISTINCT FROM w.type"
           " ORDER BY coalesce(w.pos, h.pos) LIMIT 1";
}

}  // namespace

PgBatch postgres_sink_batch(std::span<const SinkTable> tables, std::span<const SinkRows> rows,
                            std::optional<std::int64_t> delete_above, bool set_up) {
    PgBatch batch;
    for (std::size_t t = 0; t < tables.size(); ++t) {
        const SinkTable& table = tables[t];
        const std::string name = quote_identifier(table.name);
        std::string columns;
        for (const SinkColumn& c : table.columns) {
            if (!columns.empty()) columns += ", ";
            columns += quote_identifier(c.name);
        }
        if (set_up) {
            std::string create = "CREATE TABLE IF NOT EXISTS " + name + " (";
            for (std::size_t i = 0; i < table.columns.size(); ++i) {
                create += quote_identifier(table.columns[i].name) + ' ' + table.columns[i].type;
                create += i < 4 || i == 5 ? " NOT NULL, " : ", ";
            }
            batch.statements.push_back(create + "PRIMARY KEY (\"block_number\", \"log_index\"))");
            batch.statements.push_back(shape_check(table));
        }
        if (delete_above) {
            batch.statements.push_back("DELETE FROM " + name + " WHERE \"block_number\" > " +
                                       std::to_string(*delete_above));
        }
        if (t < rows.size() && !rows[t].empty()) {
            std::vector<Codec> codecs;
            for (const SinkColumn& c : table.columns) codecs.push_back(codec_of(c.type));
            batch.copies.emplace_back("COPY " + name + " (" + columns + ") FROM STDIN (FORMAT binary)",
                                      copy_data(codecs, rows[t]));
        }
    }
    return batch;
}

}  // namespace vorlane
