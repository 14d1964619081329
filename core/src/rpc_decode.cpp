// JSON-RPC answers decoded with simdjson's On-Demand API: one forward walk
// over a padded copy of the answer, reading only the members a result kind
// needs (a header's transactions are counted, never materialised).
#include "vorlane/rpc_decode.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace vorlane::rpc {

namespace od = simdjson::ondemand;
using simdjson::error_code;

// ---------------------------------------------------------------------------
// Texts
// ---------------------------------------------------------------------------

namespace {

constexpr std::size_t kQuoteLimit = 100;

void append_escaped(std::string& out, unsigned char c) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (c == '\'' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
        out += static_cast<char>(c);
    } else {
        out += "\\x";
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
}

}  // namespace

std::string quote(std::string_view text) {
    std::string out = "'";
    const std::size_t n = std::min(text.size(), kQuoteLimit);
    for (std::size_t i = 0; i < n; ++i) append_escaped(out, static_cast<unsigned char>(text[i]));
    out += '\'';
    if (text.size() > n) out += "...";
    return out;
}

namespace {

// ---------------------------------------------------------------------------
// Hex
// ---------------------------------------------------------------------------

// Value of a hex digit, or 16 for anything else.
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = 16;
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<std::uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<std::uint8_t>(c - 'A' + 10);
    return t;
}();

bool has_prefix(std::string_view t) {
    return t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
}

// The first character of `digits` that is not a hex digit, or npos.
std::size_t first_non_hex(std::string_view digits) {
    for (std::size_t i = 0; i < digits.size(); ++i)
        if (kHexValue[static_cast<unsigned char>(digits[i])] == 16) return i;
    return std::string_view::npos;
}

std::string non_hex_problem(char c) {
    std::string out = "non-hex character '";
    append_escaped(out, static_cast<unsigned char>(c));
    return out + "'";
}

// Checks "0x" and an even number of hex digits, `bytes` of them when it is
// not npos.  Returns the problem, or an empty text.
std::string hex_problem(std::string_view t, std::size_t bytes) {
    if (!has_prefix(t)) return "missing 0x prefix";
    const std::string_view digits = t.substr(2);
    if (const std::size_t bad = first_non_hex(digits); bad != std::string_view::npos)
        return non_hex_problem(digits[bad]);
    if (digits.size() % 2 != 0) return "odd number of hex digits";
    if (bytes != std::string_view::npos && digits.size() != 2 * bytes)
        return "expected " + std::to_string(bytes) + " bytes, got " +
               std::to_string(digits.size() / 2);
    return {};
}

// Reads a quantity: "0x" and 1..16 significant hex digits (leading zeros
// allowed).  Returns the problem, or an empty text.
std::string quantity_problem(std::string_view t, std::uint64_t& out) {
    if (!has_prefix(t)) return "missing 0x prefix";
    std::string_view digits = t.substr(2);
    if (digits.empty()) return "no hex digits";
    if (const std::size_t bad = first_non_hex(digits); bad != std::string_view::npos)
        return non_hex_problem(digits[bad]);
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    if (digits.size() > 16) return "does not fit in 64 bits";
    std::uint64_t v = 0;
    for (const char c : digits) v = (v << 4) | kHexValue[static_cast<unsigned char>(c)];
    out = v;
    return {};
}

// Reads a logs bloom: "0x" and 1..512 hex digits, the number they write
// left-padded to 256 bytes.  Nodes send the full 512 digits, but some write
// it as a quantity ("0x0" for an empty bloom, leading zeros dropped).
// Returns the problem, or an empty text.
std::string bloom_problem(std::string_view t, std::array<std::uint8_t, 256>& out) {
    if (!has_prefix(t)) return "missing 0x prefix";
    const std::string_view digits = t.substr(2);
    if (digits.empty()) return "no hex digits";
    if (const std::size_t bad = first_non_hex(digits); bad != std::string_view::npos)
        return non_hex_problem(digits[bad]);
    if (digits.size() > 2 * out.size()) return "more than 512 hex digits";
    const auto value = [&](std::size_t i) {
        return kHexValue[static_cast<unsigned char>(digits[i])];
    };
    out.fill(0);
    std::size_t at = out.size() - (digits.size() + 1) / 2;
    std::size_t i = 0;
    if (digits.size() % 2 != 0) out[at++] = value(i++);
    for (; i < digits.size(); i += 2)
        out[at++] = static_cast<std::uint8_t>(value(i) << 4 | value(i + 1));
    return {};
}

const char* type_name(od::json_type t) {
    switch (t) {
        case od::json_type::array: return "an array";
        case od::json_type::object: return "an object";
        case od::json_type::number: return "a number";
        case od::json_type::string: return "a string";
        case od::json_type::boolean: return "a boolean";
        case od::json_type::null: return "null";
        default: break;  // json_type::unknown (simdjson 4): not JSON at all
    }
    return "a value";
}

const char* json_problem(error_code e) {
    switch (e) {
        case simdjson::TAPE_ERROR: return "bad structure";
        case simdjson::STRING_ERROR: return "bad string";
        case simdjson::T_ATOM_ERROR:
        case simdjson::F_ATOM_ERROR:
        case simdjson::N_ATOM_ERROR: return "bad literal";
        case simdjson::NUMBER_ERROR: return "bad number";
        case simdjson::UTF8_ERROR: return "invalid UTF-8";
        case simdjson::UNESCAPED_CHARS: return "control character inside a string";
        case simdjson::DEPTH_ERROR: return "nested too deeply";
        default: return simdjson::error_message(e);
    }
}

// A member name of a result object, matched against the raw key (no member
// this decoder reads has escapes in its name).
bool key_is(od::raw_json_string key, std::string_view name) {
    return key.unsafe_is_equal(name);
}

// The text of a key for a message (raw, up to its closing quote).
std::string_view key_text(od::raw_json_string key, const char* end) {
    const char* p = key.raw();
    const char* q = p;
    while (q < end && *q != '"') q += (*q == '\\' && q + 1 < end) ? 2 : 1;
    return {p, static_cast<std::size_t>(q - p)};
}

// ---------------------------------------------------------------------------
// The walk
// ---------------------------------------------------------------------------

// Thrown nowhere: every step returns false after recording its failure,
// and its callers add where it happened on the way out.
struct Walk {
    const char* begin;  // the padded copy of the answer
    const char* end;
    std::span<const std::uint8_t> kinds;
    Answer& answer;
    Failure& failure;
    od::document* doc = nullptr;
    std::vector<bool> seen;

    bool fail(std::string message) {
        failure.message = std::move(message);
        return false;
    }
    bool broken = false;  // the failure is the parser's: no path applies

    // "<what>: <quote of text>"
    bool fail_at(std::string_view what, std::string_view text) {
        return fail(std::string(what) + ": " + quote(text));
    }
    bool fail_at(std::string_view what, const char* at) {
        return fail_at(what, std::string_view(at, static_cast<std::size_t>(end - at)));
    }
    static bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

    // Past the first top-level object or array of [p, e) when it is whole
    // (brackets paired, strings closed); null otherwise, or when the text
    // starts with anything else.
    static const char* value_end(const char* p, const char* e) {
        while (p < e && is_space(*p)) ++p;
        if (p == e || (*p != '{' && *p != '[')) return nullptr;
        std::size_t depth = 0;
        for (; p < e; ++p) {
            const char c = *p;
            if (c == '"') {
                for (++p; p < e && *p != '"'; ++p)
                    if (*p == '\\') ++p;
                if (p >= e) return nullptr;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (depth == 0) return nullptr;
                if (--depth == 0) return p + 1;
            }
        }
        return nullptr;
    }

    // A string's text with its quotes, from its contents.
    static std::string_view quoted(std::string_view contents) {
        return {contents.data() - 1, contents.size() + 2};
    }

    // A failure of the parser itself: the answer is not valid JSON.  Where
    // the parser stopped is known once the walk has begun, not for what the
    // first pass over the whole text finds.
    bool json_fail(error_code e) {
        broken = true;
        const std::size_t size = static_cast<std::size_t>(end - begin);
        if (e == simdjson::CAPACITY || e == simdjson::MEMALLOC)
            return fail("the answer is too large to decode (" + std::to_string(size) + " bytes)");
        const char* at = nullptr;
        if (doc && doc->current_location().get(at)) at = nullptr;
        // A whole object or array followed by more text: simdjson 3 and 4
        // report this with different errors and positions, so it is found
        // here from the text itself.
        if (const char* after = value_end(begin, end)) {
            while (after < end && is_space(*after)) ++after;
            if (after < end) return fail_at("the answer is not valid JSON: content after its end", after);
        }
        // An answer that ends in a bracket was not cut short: its brackets
        // do not pair up.
        const char* last = end;
        while (last > begin && (last[-1] == ' ' || last[-1] == '\n' || last[-1] == '\r' ||
                                last[-1] == '\t'))
            --last;
        const bool closed = last > begin && (last[-1] == '}' || last[-1] == ']');
        if ((e == simdjson::INCOMPLETE_ARRAY_OR_OBJECT || e == simdjson::UNCLOSED_STRING ||
             e == simdjson::EMPTY || (at && at >= end)) &&
            !closed) {
            const std::size_t tail = std::min<std::size_t>(size, 60);
            return fail("the answer is not valid JSON: cut short after " + std::to_string(size) +
                        " bytes, ending " + quote({end - tail, tail}));
        }
        if (e == simdjson::INCOMPLETE_ARRAY_OR_OBJECT) e = simdjson::TAPE_ERROR;
        const std::string what =
            "the answer is not valid JSON (" + std::string(json_problem(e)) + ")";
        if (!at || at >= end) return fail_at(what, begin);
        return fail_at(what + " at byte " + std::to_string(at - begin), at);
    }

    // Prefixes the recorded failure with `where`.
    // A path continues one ("[2]", ".hash"); anything else follows ": ".
    bool within(std::string_view where) {
        if (broken) return false;
        const char first = failure.message.empty() ? ' ' : failure.message.front();
        const bool path = first == '[' || first == '.';
        failure.message.insert(0, std::string(where) + (path ? "" : ": "));
        return false;
    }

    // The text of a value, for a message: a scalar's own token, or the
    // answer from the value's start for an array or object.
    std::string_view token(od::value& v) {
        std::string_view t = v.raw_json_token();
        if (!t.empty() && (t.front() == '{' || t.front() == '['))
            return {t.data(), static_cast<std::size_t>(end - t.data())};
        while (!t.empty() && (t.back() == ' ' || t.back() == '\n' || t.back() == '\r' ||
                              t.back() == '\t'))
            t.remove_suffix(1);
        return t;
    }

    bool wrong_type(od::value& v, od::json_type got, std::string_view expected) {
        return fail_at(std::string("expected ") + std::string(expected) + ", got " + type_name(got),
                       token(v));
    }

    // A string value's raw text, which must hold no escapes.
    bool raw_text(od::value& v, std::string_view expected, std::string_view& out) {
        od::json_type t;
        if (auto e = v.type().get(t)) return json_fail(e);
        if (t != od::json_type::string) return wrong_type(v, t, expected);
        od::raw_json_string raw;
        if (auto e = v.get_raw_json_string().get(raw)) return json_fail(e);
        const char* p = raw.raw();
        const char* q = p;
        while (q < end && *q != '"' && *q != '\\') ++q;
        if (q >= end) return json_fail(simdjson::UNCLOSED_STRING);
        if (*q == '\\') return fail_at("escape sequence in a hex string", p - 1);
        out = {p, static_cast<std::size_t>(q - p)};
        return true;
    }

    bool hex(od::value& v, std::size_t bytes, std::string_view& out) {
        if (!raw_text(v, "a hex string", out)) return false;
        if (std::string problem = hex_problem(out, bytes); !problem.empty())
            return fail_at(problem, quoted(out));
        return true;
    }

    bool quantity(od::value& v, std::uint64_t& out) {
        std::string_view t;
        if (!raw_text(v, "a hex quantity", t)) return false;
        if (std::string problem = quantity_problem(t, out); !problem.empty())
            return fail_at(problem, quoted(t));
        return true;
    }

    bool bloom(od::value& v, std::array<std::uint8_t, 256>& out) {
        std::string_view t;
        if (!raw_text(v, "a hex string", t)) return false;
        if (std::string problem = bloom_problem(t, out); !problem.empty())
            return fail_at(problem, quoted(t));
        return true;
    }

    // One member of a result object, counted in `seen_fields`.
    bool first_time(std::uint32_t& seen_fields, std::uint32_t bit, od::raw_json_string key) {
        if (seen_fields & bit)
            return fail("duplicate field " + quote(key_text(key, end)));
        seen_fields |= bit;
        return true;
    }

    bool missing(std::uint32_t seen_fields, std::uint32_t required,
                 std::initializer_list<const char*> names) {
        std::uint32_t bit = 1;
        for (const char* name : names) {
            if ((required & bit) && !(seen_fields & bit))
                return fail(std::string("missing field '") + name + "'");
            bit <<= 1;
        }
        return true;
    }

    bool object_of(od::value& v, od::object& out) {
        od::json_type t;
        if (auto e = v.type().get(t)) return json_fail(e);
        if (t != od::json_type::object) return wrong_type(v, t, "an object");
        if (auto e = v.get_object().get(out)) return json_fail(e);
        return true;
    }

    // -- results ------------------------------------------------------------

    bool header(od::value& v, Header& h) {
        od::object obj;
        if (!object_of(v, obj)) return false;
        enum : std::uint32_t {
            kNumber = 1, kHash = 2, kParent = 4, kTime = 8, kTxs = 16, kBloom = 32
        };
        std::uint32_t seen_fields = 0;
        for (auto member : obj) {
            od::field f;
            if (auto e = std::move(member).get(f)) return json_fail(e);
            const od::raw_json_string key = f.key();
            od::value value = f.value();
            if (key_is(key, "number")) {
                if (!first_time(seen_fields, kNumber, key)) return false;
                if (!quantity(value, h.number)) return within(".number");
            } else if (key_is(key, "hash")) {
                if (!first_time(seen_fields, kHash, key)) return false;
                if (!hex(value, 32, h.hash)) return within(".hash");
            } else if (key_is(key, "parentHash")) {
                if (!first_time(seen_fields, kParent, key)) return false;
                if (!hex(value, 32, h.parent_hash)) return within(".parentHash");
            } else if (key_is(key, "timestamp")) {
                if (!first_time(seen_fields, kTime, key)) return false;
                std::uint64_t t = 0;
                if (!quantity(value, t)) return within(".timestamp");
                if (t > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                    fail_at("does not fit in 63 bits", token(value));
                    return within(".timestamp");
                }
                h.timestamp = static_cast<std::int64_t>(t);
            } else if (key_is(key, "transactions")) {
                if (!first_time(seen_fields, kTxs, key)) return false;
                od::json_type t;
                if (auto e = value.type().get(t)) return json_fail(e);
                if (t != od::json_type::array) {
                    wrong_type(value, t, "an array");
                    return within(".transactions");
                }
                od::array txs;
                std::size_t count = 0;
                if (auto e = value.get_array().get(txs)) return json_fail(e);
                if (auto e = txs.count_elements().get(count)) return json_fail(e);
                if (count > std::numeric_limits<std::uint32_t>::max()) {
                    fail("more than 2**32 - 1 transactions");
                    return within(".transactions");
                }
                h.tx_count = static_cast<std::uint32_t>(count);
            } else if (key_is(key, "logsBloom")) {
                if (!first_time(seen_fields, kBloom, key)) return false;
                if (!bloom(value, h.logs_bloom)) return within(".logsBloom");
            }
        }
        return missing(seen_fields, 63,
                       {"number", "hash", "parentHash", "timestamp", "transactions", "logsBloom"});
    }

    // One log; false with `keep` unset for a removed one.
    bool log(od::value& v, Log& l, bool& keep) {
        od::object obj;
        if (!object_of(v, obj)) return false;
        enum : std::uint32_t {
            kAddress = 1, kTopics = 2, kData = 4, kBlockNumber = 8, kTxHash = 16,
            kBlockHash = 32, kLogIndex = 64, kRemoved = 128, kTxIndex = 256
        };
        std::uint32_t seen_fields = 0;
        keep = true;
        for (auto member : obj) {
            od::field f;
            if (auto e = std::move(member).get(f)) return json_fail(e);
            const od::raw_json_string key = f.key();
            od::value value = f.value();
            if (key_is(key, "address")) {
                if (!first_time(seen_fields, kAddress, key)) return false;
                if (!hex(value, 20, l.address)) return within(".address");
            } else if (key_is(key, "topics")) {
                if (!first_time(seen_fields, kTopics, key)) return false;
                od::json_type t;
                if (auto e = value.type().get(t)) return json_fail(e);
                if (t != od::json_type::array) {
                    wrong_type(value, t, "an array");
                    return within(".topics");
                }
                const std::string_view start = token(value);
                od::array topics;
                if (auto e = value.get_array().get(topics)) return json_fail(e);
                std::size_t i = 0;
                for (auto item : topics) {
                    od::value topic;
                    if (auto e = item.get(topic)) return json_fail(e);
                    if (i == 4) {
                        fail_at("more than 4 topics", start);
                        return within(".topics");
                    }
                    if (!hex(topic, 32, l.topics[i])) {
                        within("[" + std::to_string(i) + "]");
                        return within(".topics");
                    }
                    ++i;
                }
                l.topic_count = static_cast<std::uint8_t>(i);
            } else if (key_is(key, "data")) {
                if (!first_time(seen_fields, kData, key)) return false;
                if (!hex(value, std::string_view::npos, l.data)) return within(".data");
            } else if (key_is(key, "blockNumber")) {
                if (!first_time(seen_fields, kBlockNumber, key)) return false;
                if (!quantity(value, l.block_number)) return within(".blockNumber");
            } else if (key_is(key, "transactionHash")) {
                if (!first_time(seen_fields, kTxHash, key)) return false;
                if (!hex(value, 32, l.transaction_hash)) return within(".transactionHash");
            } else if (key_is(key, "blockHash")) {
                if (!first_time(seen_fields, kBlockHash, key)) return false;
                if (!hex(value, 32, l.block_hash)) return within(".blockHash");
            } else if (key_is(key, "logIndex")) {
                if (!first_time(seen_fields, kLogIndex, key)) return false;
                if (!quantity(value, l.log_index)) return within(".logIndex");
            } else if (key_is(key, "transactionIndex")) {
                if (!first_time(seen_fields, kTxIndex, key)) return false;
                od::json_type t;
                if (auto e = value.type().get(t)) return json_fail(e);
                if (t == od::json_type::null) continue;
                std::uint64_t index = 0;
                if (!quantity(value, index)) return within(".transactionIndex");
                l.transaction_index = index;
            } else if (key_is(key, "removed")) {
                if (!first_time(seen_fields, kRemoved, key)) return false;
                od::json_type t;
                if (auto e = value.type().get(t)) return json_fail(e);
                if (t != od::json_type::boolean) {
                    wrong_type(value, t, "a boolean");
                    return within(".removed");
                }
                bool removed = false;
                if (auto e = value.get_bool().get(removed)) return json_fail(e);
                keep = !removed;
            }
        }
        return missing(seen_fields, 127,
                       {"address", "topics", "data", "blockNumber", "transactionHash", "blockHash",
                        "logIndex"});
    }

    bool logs(od::value& v, Entry& entry) {
        od::json_type t;
        if (auto e = v.type().get(t)) return json_fail(e);
        if (t != od::json_type::array) return wrong_type(v, t, "an array");
        od::array items;
        if (auto e = v.get_array().get(items)) return json_fail(e);
        entry.logs_begin = answer.logs.size();
        std::size_t i = 0;
        for (auto item : items) {
            od::value value;
            if (auto e = item.get(value)) return json_fail(e);
            Log& l = answer.logs.emplace_back();
            bool keep = true;
            if (!log(value, l, keep)) return within("[" + std::to_string(i) + "]");
            if (!keep) answer.logs.pop_back();
            ++i;
        }
        entry.logs_end = answer.logs.size();
        return true;
    }

    bool result(od::value& v, std::size_t call, Entry& entry) {
        od::json_type t;
        if (auto e = v.type().get(t)) return json_fail(e);
        if (t == od::json_type::null) {
            entry.state = Entry::State::null;
            return true;
        }
        bool ok = false;
        switch (static_cast<Kind>(kinds[call])) {
            case Kind::header:
                entry.state = Entry::State::header;
                ok = header(v, entry.header);
                break;
            case Kind::logs:
                entry.state = Entry::State::logs;
                ok = logs(v, entry);
                break;
            case Kind::quantity:
                entry.state = Entry::State::quantity;
                ok = quantity(v, entry.quantity);
                break;
        }
        return ok || within("result");
    }

    // A JSON-RPC error object.
    bool error(od::value& v, RpcError& out) {
        od::object obj;
        if (!object_of(v, obj)) return within("error");
        std::uint32_t seen_fields = 0;
        for (auto member : obj) {
            od::field f;
            if (auto e = std::move(member).get(f)) return json_fail(e);
            const od::raw_json_string key = f.key();
            od::value value = f.value();
            od::json_type t;
            if (auto e = value.type().get(t)) return json_fail(e);
            if (key_is(key, "code")) {
                if (!first_time(seen_fields, 1, key)) return within("error");
                if (t != od::json_type::number || value.get_int64().get(out.code)) {
                    fail_at("expected an integer", token(value));
                    return within("error.code");
                }
            } else if (key_is(key, "message")) {
                if (!first_time(seen_fields, 2, key)) return within("error");
                if (t != od::json_type::string) {
                    wrong_type(value, t, "a string");
                    return within("error.message");
                }
                std::string_view text;
                if (auto e = value.get_string().get(text)) return json_fail(e);
                out.message.assign(text);
            } else if (key_is(key, "data")) {
                if (!first_time(seen_fields, 4, key)) return within("error");
                std::string_view text;
                error_code e = simdjson::SUCCESS;
                switch (t) {
                    case od::json_type::null: break;
                    case od::json_type::string: e = value.get_string().get(text); break;
                    case od::json_type::object: {
                        od::object o;
                        e = value.get_object().get(o);
                        if (!e) e = o.raw_json().get(text);
                        break;
                    }
                    case od::json_type::array: {
                        od::array a;
                        e = value.get_array().get(a);
                        if (!e) e = a.raw_json().get(text);
                        break;
                    }
                    default:
                        text = value.raw_json_token();
                        while (!text.empty() && (text.back() == ' ' || text.back() == '\n' ||
                                                 text.back() == '\r' || text.back() == '\t'))
                            text.remove_suffix(1);
                        break;
                }
                if (e) return json_fail(e);
                if (t != od::json_type::null) out.data.emplace(text);
            }
        }
        return missing(seen_fields, 3, {"code", "message"}) || within("error");
    }

    // -- responses ----------------------------------------------------------

    // Reads the call an id names, checking it was asked and not answered yet.
    bool call_of(od::value& v, std::size_t& call) {
        od::json_type t;
        if (auto e = v.type().get(t)) return json_fail(e);
        std::uint64_t id = 0;
        if (t != od::json_type::number || v.get_uint64().get(id)) {
            fail_at("bad id", token(v));
            return false;
        }
        if (id >= kinds.size()) return fail("unexpected id " + std::to_string(id));
        if (seen[id]) return fail("duplicate id " + std::to_string(id));
        seen[id] = true;
        call = static_cast<std::size_t>(id);
        return true;
    }

    // One response object.  `single`: the answer to a one-call request, whose
    // result is decoded whatever the id says (the id is checked after).
    // `refusal`: a lone object answering a batch, whose result is not read.
    bool response(od::value& v, bool single, bool refusal) {
        od::object obj;
        if (!object_of(v, obj)) return false;
        std::size_t call = 0;
        bool have_call = single;
        bool seen_id = false, null_id = false, seen_result = false, seen_error = false,
             deferred = false;
        std::uint64_t single_id = 0;
        RpcError err;
        for (auto member : obj) {
            od::field f;
            if (auto e = std::move(member).get(f)) return json_fail(e);
            const od::raw_json_string key = f.key();
            od::value value = f.value();
            if (key_is(key, "id")) {
                if (seen_id) return fail("duplicate field 'id'");
                seen_id = true;
                od::json_type t;
                if (auto e = value.type().get(t)) return json_fail(e);
                if (t == od::json_type::null) {
                    null_id = true;
                } else if (single || refusal) {
                    if (t != od::json_type::number || value.get_uint64().get(single_id))
                        return fail_at("bad id", token(value));
                } else {
                    if (!call_of(value, call)) return false;
                    have_call = true;
                }
            } else if (key_is(key, "result")) {
                if (seen_result) return fail("duplicate field 'result'");
                seen_result = true;
                if (refusal) continue;
                if (have_call) {
                    if (!result(value, call, answer.entries[call])) return false;
                } else {
                    deferred = true;
                }
            } else if (key_is(key, "error")) {
                if (seen_error) return fail("duplicate field 'error'");
                seen_error = true;
                if (!error(value, err)) return false;
            }
        }
        if (seen_result && seen_error) return fail("both a result and an error");
        if (!seen_result && !seen_error) return fail("neither a result nor an error");
        if (refusal) {
            if (seen_error) {
                failure.message = "the node refused the batch: " + quote(err.message) + " (" +
                                  std::to_string(err.code) + ")";
                failure.refused = std::move(err);
                return false;
            }
            return fail("expected an array of " + std::to_string(kinds.size()) +
                        " responses, got one response object");
        }
        if (single) {
            if (!seen_id) return fail("missing field 'id'");
            if (null_id ? !seen_error : single_id != 0)
                return fail(null_id ? std::string("null id")
                                    : "unexpected id " + std::to_string(single_id));
            if (!seen[0]) seen[0] = true; else return fail("duplicate id 0");
        } else if (!have_call) {
            return fail(seen_id ? "null id" : "missing field 'id'");
        }
        Entry& entry = answer.entries[call];
        if (seen_error) {
            entry.state = Entry::State::error;
            entry.error = std::move(err);
            return true;
        }
        if (deferred) {
            if (auto e = obj.reset().error()) return json_fail(e);
            for (auto member : obj) {
                od::field f;
                if (auto e = std::move(member).get(f)) return json_fail(e);
                if (!key_is(f.key(), "result")) continue;
                if (!result(f.value(), call, entry)) return false;
            }
        }
        return true;
    }

    bool top(od::document& d, bool& is_array) {
        od::json_type t;
        if (auto e = d.type().get(t)) return json_fail(e);
        if (t != od::json_type::object && t != od::json_type::array) {
            const char* at = begin;
            while (at < end && (*at == ' ' || *at == '\n' || *at == '\r' || *at == '\t')) ++at;
            return fail_at(std::string("the answer is ") + type_name(t) +
                               ", not a JSON object or array",
                           at);
        }
        is_array = t == od::json_type::array;
        return true;
    }

    bool run(od::document& d) {
        doc = &d;
        bool is_array = false;
        if (!top(d, is_array)) return false;
        const bool single = kinds.size() == 1;
        if (!is_array) {
            od::value v;
            if (auto e = d.get_value().get(v)) return json_fail(e);
            if (!response(v, single, !single)) return single ? within("response") : false;
        } else {
            od::array items;
            if (auto e = d.get_array().get(items)) return json_fail(e);
            std::size_t position = 0;
            for (auto item : items) {
                od::value v;
                if (auto e = item.get(v)) return json_fail(e);
                if (single && position > 0) return fail("more than one response to a single call");
                if (!response(v, single, false))
                    return within("response at position " + std::to_string(position));
                ++position;
            }
            std::string absent;
            std::size_t count = 0;
            for (std::size_t i = 0; i < seen.size(); ++i) {
                if (seen[i]) continue;
                if (count++ < 10) absent += (absent.empty() ? "" : ", ") + std::to_string(i);
            }
            if (count > 10) absent += ", ...";
            if (count)
                return fail("no response to call" + std::string(count > 1 ? "s " : " ") + absent);
        }
        // Past the last token the document has no location.
        const char* at = nullptr;
        if (d.current_location().get(at) == simdjson::SUCCESS)
            return fail_at("the answer is not valid JSON: content after its end", at);
        return true;
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Decoder
// ---------------------------------------------------------------------------

struct Decoder::State {
    od::parser parser;
    std::unique_ptr<char[]> buffer;
    std::size_t capacity = 0;
};

Decoder::Decoder() : state_(std::make_unique<State>()) {
    // The parser takes its implementation from simdjson's static singletons
    // when it first allocates: done here rather than at the first parse, a
    // parse touches no static object, and may go on while the exiting process
    // destroys them (in an interpreter's daemon thread).  A failure here is
    // met again, and reported, by that parse.
    [[maybe_unused]] const error_code e = state_->parser.allocate(4096);
}
Decoder::~Decoder() = default;

bool Decoder::decode(std::string_view body, std::span<const std::uint8_t> kinds, Answer& answer,
                     Failure& failure) {
    answer.entries.clear();
    answer.logs.clear();
    failure = Failure{};
    if (kinds.empty()) {
        failure.message = "no calls to decode";
        return false;
    }
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (kinds[i] >= kKindCount) {
            failure.message = "unknown result kind " + std::to_string(kinds[i]) + " for call " +
                              std::to_string(i);
            return false;
        }
    }
    std::size_t lead = 0;
    while (lead < body.size() &&
           (body[lead] == ' ' || body[lead] == '\n' || body[lead] == '\r' || body[lead] == '\t'))
        ++lead;
    if (lead == body.size()) {
        failure.message = "the answer is empty";
        return false;
    }
    if (body[lead] == '<') {
        failure.message = "the answer is an HTML page, not JSON: " + quote(body.substr(lead));
        return false;
    }

    // simdjson reads up to SIMDJSON_PADDING bytes past the end.
    State& s = *state_;
    const std::size_t needed = body.size() + simdjson::SIMDJSON_PADDING;
    if (s.capacity < needed) {
        s.buffer.reset(new char[needed]);
        s.capacity = needed;
    }
    std::memcpy(s.buffer.get(), body.data(), body.size());
    std::memset(s.buffer.get() + body.size(), 0, simdjson::SIMDJSON_PADDING);

    answer.entries.resize(kinds.size());
    Walk walk{s.buffer.get(), s.buffer.get() + body.size(), kinds, answer, failure, nullptr,
              std::vector<bool>(kinds.size(), false)};
    od::document doc;
    if (auto e = s.parser.iterate(s.buffer.get(), body.size(), s.capacity).get(doc))
        return walk.json_fail(e);
    return walk.run(doc);
}

}  // namespace vorlane::rpc
