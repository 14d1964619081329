// libFuzzer target: any bytes, decoded against a kinds list taken from the
// input's first byte.  Every input must end as an answer or a failure, and
// every view an answer holds must lie inside the decoder's copy of the body.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "vorlane/rpc_decode.hpp"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void check_hex(std::string_view t) {
    check(t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'));
    for (const char c : t.substr(2))
        check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static vorlane::rpc::Decoder decoder;
    if (size == 0) return 0;
    // First byte: the number of calls (1..4) and their kinds, two bits each.
    const std::uint8_t head = data[0];
    std::vector<std::uint8_t> kinds(1 + (head & 3));
    for (std::size_t i = 0; i < kinds.size(); ++i)
        kinds[i] = static_cast<std::uint8_t>((head >> (2 + 2 * (i % 3))) & 3);
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    vorlane::rpc::Answer answer;
    vorlane::rpc::Failure failure;
    if (!decoder.decode(body, kinds, answer, failure)) {
        check(!failure.message.empty());
        check(failure.message.find('\n') == std::string::npos);
        return 0;
    }
    check(answer.entries.size() == kinds.size());
    for (const auto& entry : answer.entries) {
        using State = vorlane::rpc::Entry::State;
        if (entry.state == State::header) {
            check(entry.header.hash.size() == 66 && entry.header.parent_hash.size() == 66);
            check_hex(entry.header.hash);
            check_hex(entry.header.parent_hash);
        }
        if (entry.state == State::logs) {
            check(entry.logs_begin <= entry.logs_end && entry.logs_end <= answer.logs.size());
            for (std::size_t i = entry.logs_begin; i < entry.logs_end; ++i) {
                const auto& log = answer.logs[i];
                check(log.topic_count <= 4);
                check_hex(log.block_hash);
                check_hex(log.transaction_hash);
                check_hex(log.address);
                check_hex(log.data);
                for (std::size_t t = 0; t < log.topic_count; ++t) check_hex(log.topics[t]);
            }
        }
    }
    return 0;
}
