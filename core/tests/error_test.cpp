#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "case_name.hpp"
#include "vorlane/error.hpp"

namespace vorlane {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

struct MessageCase {
    const char* name;
    IndexerError error;
    IndexerError::Kind kind;
    std::string expected;
};

class IndexerErrorMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(IndexerErrorMessage, RendersExactText) {
    const MessageCase& c = GetParam();
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.message(), c.expected);
}

using K = IndexerError::Kind;

INSTANTIATE_TEST_SUITE_P(
    AllKinds, IndexerErrorMessage,
    ::testing::Values(
        MessageCase{"Rpc", IndexerError::rpc("connection refused"), K::Rpc,
                    "RPC error: connection refused"},
        MessageCase{"RpcEmpty", IndexerError::rpc(""), K::Rpc, "RPC error: "},
        MessageCase{"Storage", IndexerError::storage("disk full"), K::Storage,
                    "Storage error: disk full"},
        MessageCase{"StorageEmpty", IndexerError::storage(""), K::Storage, "Storage error: "},
        MessageCase{"Handler", IndexerError::handler("on_transfer", "boom"), K::Handler,
                    "Handler error in 'on_transfer': boom"},
        MessageCase{"HandlerWithQuote", IndexerError::handler("it's", "bad 'x'"), K::Handler,
                    "Handler error in 'it's': bad 'x'"},
        MessageCase{"HandlerEmpty", IndexerError::handler("", ""), K::Handler,
                    "Handler error in '': "},
        MessageCase{"Reorg", IndexerError::reorg(17, "0xaa", "0xBB"), K::Reorg,
                    "Reorg detected at block 17: expected hash 0xaa, got 0xBB"},
        MessageCase{"ReorgZeroEmpty", IndexerError::reorg(0, "", ""), K::Reorg,
                    "Reorg detected at block 0: expected hash , got "},
        MessageCase{"ReorgMax", IndexerError::reorg(kMax, "a", "b"), K::Reorg,
                    "Reorg detected at block 18446744073709551615: expected hash a, got b"},
        MessageCase{"Checkpoint", IndexerError::checkpoint_mismatch(1000000), K::CheckpointMismatch,
                    "Checkpoint mismatch at block 1000000"},
        MessageCase{"CheckpointZero", IndexerError::checkpoint_mismatch(0), K::CheckpointMismatch,
                    "Checkpoint mismatch at block 0"},
        MessageCase{"CheckpointMax", IndexerError::checkpoint_mismatch(kMax),
                    K::CheckpointMismatch, "Checkpoint mismatch at block 18446744073709551615"},
        MessageCase{"Aborted", IndexerError::aborted("stopped by user"), K::Aborted,
                    "Indexer aborted: stopped by user"},
        MessageCase{"AbortedEmpty", IndexerError::aborted(""), K::Aborted, "Indexer aborted: "},
        MessageCase{"Other", IndexerError::other("something else"), K::Other, "something else"},
        MessageCase{"OtherEmpty", IndexerError::other(""), K::Other, ""},
        MessageCase{"RpcUtf8", IndexerError::rpc("Zeitüberschreitung ⏱ 日本"), K::Rpc,
                    "RPC error: Zeitüberschreitung ⏱ 日本"},
        MessageCase{"HandlerUtf8", IndexerError::handler("überweisung", "é"), K::Handler,
                    "Handler error in 'überweisung': é"},
        MessageCase{"ReorgUtf8", IndexerError::reorg(5, "ä", "Ä"), K::Reorg,
                    "Reorg detected at block 5: expected hash ä, got Ä"},
        MessageCase{"OtherUtf8", IndexerError::other("Ошибка"), K::Other, "Ошибка"},
        MessageCase{"EmbeddedNewline", IndexerError::storage("line1\nline2"), K::Storage,
                    "Storage error: line1\nline2"}),
    testing_support::CaseName{});

TEST(IndexerErrorFields, ExposeOnlyTheirOwnKind) {
    const IndexerError e = IndexerError::reorg(42, "0xexpected", "0xactual");
    const auto* reorg = e.get_if<IndexerError::Reorg>();
    ASSERT_NE(reorg, nullptr);
    EXPECT_EQ(reorg->block_number, 42U);
    EXPECT_EQ(reorg->expected_hash, "0xexpected");
    EXPECT_EQ(reorg->actual_hash, "0xactual");
    EXPECT_EQ(e.get_if<IndexerError::Rpc>(), nullptr);
    EXPECT_EQ(e.get_if<IndexerError::CheckpointMismatch>(), nullptr);

    const IndexerError h = IndexerError::handler("name", "text");
    const auto* handler = h.get_if<IndexerError::Handler>();
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->handler, "name");
    EXPECT_EQ(handler->message, "text");
}

}  // namespace
}  // namespace vorlane
