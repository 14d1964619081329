// Decoding of JSON-RPC answers from an EVM node: block headers, logs and
// quantities, read straight from the answer's bytes.  Every malformed answer
// becomes a failure value with a one-line message; nothing is thrown.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::rpc {

// What one call's result is expected to be.
enum class Kind : std::uint8_t {
    header = 0,    // eth_getBlockByNumber(n, false)
    logs = 1,      // eth_getLogs
    quantity = 2,  // eth_chainId, eth_blockNumber
};
inline constexpr std::uint8_t kKindCount = 3;

// Hex texts are views of the answer as it was written ("0x" and digits,
// upper case possible), already checked; they live in the decoder's buffer
// until its next decode.

struct Header {
    std::uint64_t number = 0;
    std::string_view hash;
    std::string_view parent_hash;
    std::int64_t timestamp = 0;
    std::uint32_t tx_count = 0;
    std::array<std::uint8_t, 256> logs_bloom{};
};

struct Log {
    std::uint64_t block_number = 0;
    std::string_view block_hash;
    std::string_view transaction_hash;
    std::uint64_t log_index = 0;
    std::string_view address;
    std::array<std::string_view, 4> topics{};
    std::uint8_t topic_count = 0;
    std::string_view data;
    std::optional<std::uint64_t> transaction_index;  // absent when missing or null
};

// A JSON-RPC error object.  `data` is the text of a string member, the JSON
// text of any other value, and absent when the member is missing or null.
struct RpcError {
    std::int64_t code = 0;
    std::string message;
    std::optional<std::string> data;
};

// The result of one call.
struct Entry {
    enum class State : std::uint8_t { null, header, logs, quantity, error };
    State state = State::null;
    std::uint64_t quantity = 0;
    std::size_t logs_begin = 0;  // the logs are Answer::logs[logs_begin, logs_end)
    std::size_t logs_end = 0;
    Header header;
    RpcError error;
};

struct Answer {
    std::vector<Entry> entries;  // one per call, in call order
    std::vector<Log> logs;       // every entry's logs, removed ones left out
};

// Why an answer could not be decoded.  `refused` is a batch answered by one
// error object: the node turned down the request as a whole.
struct Failure {
    std::string message;
    std::optional<RpcError> refused;
};

// Reusable: keeps its parser and its padded copy of the answer between
// decodes.  Not for concurrent use.
class Decoder {
public:
    Decoder();
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Decodes `body`, the answer to a request of kinds.size() calls with ids
    // 0..n-1, call i expecting kinds[i] (a value >= kKindCount is refused).
    // With one call the answer is one response object (or a one-element
    // array); with several it is an array of responses in any order.
    // Returns false with `failure` set when the answer is malformed.
    [[nodiscard]] bool decode(std::string_view body, std::span<const std::uint8_t> kinds,
                              Answer& answer, Failure& failure);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// 'text' quoted for a message: at most about 100 bytes, anything outside
// printable ASCII escaped, "..." when cut.
std::string quote(std::string_view text);

}  // namespace vorlane::rpc
