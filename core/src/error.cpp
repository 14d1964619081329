#include "vorlane/error.hpp"

#include <charconv>
#include <string_view>
#include <utility>

namespace vorlane {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// Plain decimal, no grouping, no locale.
void append_decimal(std::string& out, std::uint64_t n) {
    char buf[20];  // 18446744073709551615 has 20 digits
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
    (void)ec;  // cannot fail: the buffer holds the widest value
    out.append(buf, end);
}

std::string concat(std::string_view prefix, const std::string& text) {
    std::string out;
    out.reserve(prefix.size() + text.size());
    out.append(prefix).append(text);
    return out;
}

}  // namespace

IndexerError IndexerError::rpc(std::string message) { return Rpc{std::move(message)}; }
IndexerError IndexerError::storage(std::string message) { return Storage{std::move(message)}; }
IndexerError IndexerError::handler(std::string handler, std::string message) {
    return Handler{std::move(handler), std::move(message)};
}
IndexerError IndexerError::reorg(std::uint64_t block_number, std::string expected_hash,
                                 std::string actual_hash) {
    return Reorg{block_number, std::move(expected_hash), std::move(actual_hash)};
}
IndexerError IndexerError::checkpoint_mismatch(std::uint64_t block_number) {
    return CheckpointMismatch{block_number};
}
IndexerError IndexerError::aborted(std::string message) { return Aborted{std::move(message)}; }
IndexerError IndexerError::other(std::string message) { return Other{std::move(message)}; }

std::string IndexerError::message() const {
    return std::visit(
        Overloaded{
            [](const Rpc& e) { return concat("RPC error: ", e.message); },
            [](const Storage& e) { return concat("Storage error: ", e.message); },
            [](const Handler& e) {
                std::string out = concat("Handler error in '", e.handler);
                out.append("': ").append(e.message);
                return out;
            },
            [](const Reorg& e) {
                std::string out = "Reorg detected at block ";
                append_decimal(out, e.block_number);
                out.append(": expected hash ")
                    .append(e.expected_hash)
                    .append(", got ")
                    .append(e.actual_hash);
                return out;
            },
            [](const CheckpointMismatch& e) {
                std::string out = "Checkpoint mismatch at block ";
                append_decimal(out, e.block_number);
                return out;
            },
            [](const Aborted& e) { return concat("Indexer aborted: ", e.message); },
            [](const Other& e) { return e.message; },
        },
        data_);
}

}  // namespace vorlane
