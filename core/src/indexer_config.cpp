#include "vorlane/indexer_config.hpp"

#include "vorlane/ascii.hpp"

#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

namespace vorlane {

namespace {

// ---------------------------------------------------------------------------
// The general writer: any text, UTF-8 checked by the JSON library.

using Json = nlohmann::ordered_json;

Json optional_number(const std::optional<std::uint64_t>& n) {
    return n ? Json(*n) : Json(nullptr);
}

Json text_array(const TextList& texts) {
    Json array = Json::array();
    for (std::string_view t : texts) array.push_back(std::string(t));
    return array;
}

Result<std::string, std::string> general_json(const IndexerConfig& c) {
    // ordered_json keeps insertion order, which is the documented member
    // order; dump() without indent is compact and never ASCII-escapes.
    Json filter_json = Json::object();
    filter_json["addresses"] = text_array(c.filter.addresses);
    filter_json["topic0_values"] = text_array(c.filter.topic0_values);
    filter_json["from_block"] = optional_number(c.filter.from_block);
    filter_json["to_block"] = optional_number(c.filter.to_block);

    Json j = Json::object();
    j["id"] = c.id;
    j["chain"] = c.chain;
    j["from_block"] = c.from_block;
    j["to_block"] = optional_number(c.to_block);
    j["confirmation_depth"] = c.confirmation_depth;
    j["batch_size"] = c.batch_size;
    j["checkpoint_interval"] = c.checkpoint_interval;
    j["poll_interval_ms"] = c.poll_interval_ms;
    j["filter"] = std::move(filter_json);

    try {
        return Result<std::string, std::string>::success(j.dump());
    } catch (const Json::exception& e) {
        // Raised for text that is not valid UTF-8.
        return Result<std::string, std::string>::failure(e.what());
    }
}

// ---------------------------------------------------------------------------
// The plain-ASCII writer: the same text as the library's for every text
// whose bytes are all below 0x80 (the escapes below are the library's).

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;

// True when none of the eight bytes at p needs a second look: no control
// character, no '"' or '\\', nothing from 0x7F up (0x7F itself is written
// unchanged; it only takes the slow path). Each test is exact for "some byte
// matches": a borrow or carry only spills out of a byte that matches itself.
bool plain_word(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    const std::uint64_t control = (w - 0x20 * kOnes) & ~w & kHighs;
    const std::uint64_t high = ((w + kOnes) | w) & kHighs;
    return (control | high | has_zero(w ^ ('"' * kOnes)) | has_zero(w ^ ('\\' * kOnes))) == 0;
}

// Length of the escape for a byte below 0x20, '"' or '\\'; 0 for a byte
// written unchanged.
constexpr std::size_t escape_length(unsigned char c) noexcept {
    switch (c) {
        case '"': case '\\': case '\b': case '\t': case '\n': case '\f': case '\r':
            return 2;
        default:
            return c < 0x20 ? 6 : 0;  // \u00xx
    }
}

// Bytes the quoted, escaped text takes; 0 when it holds a byte from 0x80 up.
std::size_t string_size(std::string_view text) noexcept {
    const std::size_t n = text.size();
    if (ascii::is_plain(text)) return n + 2;
    const char* s = text.data();
    std::size_t size = n + 2;
    std::size_t i = 0;
    while (i < n) {
        while (n - i >= 8 && plain_word(s + i)) i += 8;
        if (i == n) break;
        const auto c = static_cast<unsigned char>(s[i++]);
        if (c >= 0x80) return 0;
        if (const std::size_t e = escape_length(c)) size += e - 1;
    }
    return size;
}

char* write_escape(char* out, unsigned char c) noexcept {
    *out++ = '\\';
    switch (c) {
        case '"': *out++ = '"'; return out;
        case '\\': *out++ = '\\'; return out;
        case '\b': *out++ = 'b'; return out;
        case '\t': *out++ = 't'; return out;
        case '\n': *out++ = 'n'; return out;
        case '\f': *out++ = 'f'; return out;
        case '\r': *out++ = 'r'; return out;
        default: break;
    }
    constexpr char kHex[] = "0123456789abcdef";
    std::memcpy(out, "u00", 3);
    out[3] = kHex[c >> 4];
    out[4] = kHex[c & 0xF];
    return out + 5;
}

char* write_string(char* out, std::string_view text) noexcept {
    const char* s = text.data();
    const std::size_t n = text.size();
    *out++ = '"';
    if (ascii::is_plain(text)) {
        std::memcpy(out, s, n);
        out[n] = '"';
        return out + n + 1;
    }
    std::size_t run = 0;  // unchanged bytes gather in [run, i)
    std::size_t i = 0;
    while (i < n) {
        while (n - i >= 8 && plain_word(s + i)) i += 8;
        if (i == n) break;
        const auto c = static_cast<unsigned char>(s[i]);
        if (escape_length(c) == 0) {
            ++i;
            continue;
        }
        std::memcpy(out, s + run, i - run);
        out = write_escape(out + (i - run), c);
        run = ++i;
    }
    std::memcpy(out, s + run, n - run);
    out += n - run;
    *out++ = '"';
    return out;
}

char* write_number(char* out, std::uint64_t v) noexcept {
    return ascii::write_decimal(out, v, ascii::decimal_size(v));
}

constexpr std::size_t number_size(const std::optional<std::uint64_t>& v) noexcept {
    return v ? ascii::decimal_size(*v) : 4;
}

char* write_number(char* out, const std::optional<std::uint64_t>& v) noexcept {
    if (v) return write_number(out, *v);
    std::memcpy(out, "null", 4);
    return out + 4;
}

// Text between the values, in order.
constexpr std::string_view kId = R"({"id":)";
constexpr std::string_view kChain = R"(,"chain":)";
constexpr std::string_view kFromBlock = R"(,"from_block":)";
constexpr std::string_view kToBlock = R"(,"to_block":)";
constexpr std::string_view kConfirmationDepth = R"(,"confirmation_depth":)";
constexpr std::string_view kBatchSize = R"(,"batch_size":)";
constexpr std::string_view kCheckpointInterval = R"(,"checkpoint_interval":)";
constexpr std::string_view kPollInterval = R"(,"poll_interval_ms":)";
constexpr std::string_view kAddresses = R"(,"filter":{"addresses":[)";
constexpr std::string_view kTopics = R"(],"topic0_values":[)";
constexpr std::string_view kFilterFromBlock = R"(],"from_block":)";
constexpr std::string_view kEnd = "}}";
constexpr std::size_t kFixedSize = kId.size() + kChain.size() + kFromBlock.size() +
                                   kToBlock.size() + kConfirmationDepth.size() + kBatchSize.size() +
                                   kCheckpointInterval.size() + kPollInterval.size() +
                                   kAddresses.size() + kTopics.size() + kFilterFromBlock.size() +
                                   kToBlock.size() + kEnd.size();

char* put(char* out, std::string_view s) noexcept {
    std::memcpy(out, s.data(), s.size());
    return out + s.size();
}

// Size of "a","b",... ; 0 when some entry holds a byte from 0x80 up.
std::size_t list_size(const TextList& list) noexcept {
    std::size_t size = list.empty() ? 0 : list.size() - 1;  // commas
    for (std::string_view t : list) {
        const std::size_t s = string_size(t);
        if (s == 0) return 0;
        size += s;
    }
    return size + 1;  // +1 keeps an empty list apart from "not ASCII"
}

char* write_list(char* out, const TextList& list) noexcept {
    bool first = true;
    for (std::string_view t : list) {
        if (!first) *out++ = ',';
        first = false;
        out = write_string(out, t);
    }
    return out;
}

}  // namespace

std::size_t IndexerConfig::ascii_json_size() const noexcept {
    const std::size_t id_size = string_size(id);
    const std::size_t chain_size = string_size(chain);
    const std::size_t addresses_size = list_size(filter.addresses);
    const std::size_t topics_size = list_size(filter.topic0_values);
    if (id_size == 0 || chain_size == 0 || addresses_size == 0 || topics_size == 0) return 0;
    return kFixedSize + id_size + chain_size + (addresses_size - 1) + (topics_size - 1) +
           ascii::decimal_size(from_block) + number_size(to_block) +
           ascii::decimal_size(confirmation_depth) + ascii::decimal_size(batch_size) +
           ascii::decimal_size(checkpoint_interval) + ascii::decimal_size(poll_interval_ms) +
           number_size(filter.from_block) + number_size(filter.to_block);
}

void IndexerConfig::write_ascii_json(char* out) const noexcept {
    out = write_string(put(out, kId), id);
    out = write_string(put(out, kChain), chain);
    out = write_number(put(out, kFromBlock), from_block);
    out = write_number(put(out, kToBlock), to_block);
    out = write_number(put(out, kConfirmationDepth), confirmation_depth);
    out = write_number(put(out, kBatchSize), batch_size);
    out = write_number(put(out, kCheckpointInterval), checkpoint_interval);
    out = write_number(put(out, kPollInterval), poll_interval_ms);
    out = write_list(put(out, kAddresses), filter.addresses);
    out = write_list(put(out, kTopics), filter.topic0_values);
    out = write_number(put(out, kFilterFromBlock), filter.from_block);
    out = write_number(put(out, kToBlock), filter.to_block);
    put(out, kEnd);
}

Result<std::string, std::string> IndexerConfig::to_json() const {
    const std::size_t size = ascii_json_size();
    if (size == 0) return general_json(*this);
    std::string text(size, '\0');
    write_ascii_json(text.data());
    return Result<std::string, std::string>::success(std::move(text));
}

}  // namespace vorlane
