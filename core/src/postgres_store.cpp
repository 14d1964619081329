#include "vorlane/postgres_store.hpp"

#include <libpq-fe.h>
#include <poll.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <climits>
#include <condition_variable>
#include <coroutine>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace vorlane {

namespace detail {

namespace {

struct ResultDeleter {
    void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, ResultDeleter>;

constexpr std::string_view kMask = "********";
constexpr std::size_t kKeySize = crypto_hash_sha256_BYTES;
using PairKey = std::array<unsigned char, kKeySize>;

// Statement names; a session holds one store's statements only.
constexpr const char* kLoad = "vorlane_load";
constexpr const char* kSave = "vorlane_save";
constexpr const char* kInsertNew = "vorlane_insert_new";
constexpr const char* kUpdateIf = "vorlane_update_if";
constexpr const char* kDelete = "vorlane_delete";

// A conditional save that finds nothing written re-reads the row; if the row
// then says the write should have happened, a concurrent writer changed it in
// between and the whole step is tried again, this many times at most.
constexpr int kSettleAttempts = 8;

constexpr const char* kExpectedColumns =
    "key bytea, chain_id bytea, indexer_id bytea, block_number numeric(20,0), block_hash bytea, "
    "updated_at bigint";

struct ExpectedColumn {
    std::string_view name;
    std::string_view type;
    int precision;  // checked when not negative
    int scale;
};

constexpr std::array<ExpectedColumn, 6> kColumns{{
    {"key", "bytea", -1, -1},
    {"chain_id", "bytea", -1, -1},
    {"indexer_id", "bytea", -1, -1},
    {"block_number", "numeric", 20, 0},
    {"block_hash", "bytea", -1, -1},
    {"updated_at", "bigint", -1, -1},
}};

void ignore_notice(void* /*arg*/, const char* /*message*/) {}

std::string trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return std::string(text);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percent_decoded(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            const int hi = hex_value(s[i + 1]);
            const int lo = hex_value(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

void add_secret(std::vector<std::string>& out, std::string_view s) {
    if (s.empty()) return;
    if (std::find(out.begin(), out.end(), s) == out.end()) out.emplace_back(s);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// The connection string's connect_timeout (or PGCONNECT_TIMEOUT's), as libpq
// reads it: whole seconds, at least 2; none when absent or not positive.
// libpq applies it only to blocking connects, so the store enforces it.
std::optional<std::chrono::seconds> connect_timeout(const std::string& conninfo) {
    std::string text;
    char* parse_error = nullptr;
    if (PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &parse_error)) {
        for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
            if (std::string_view(o->keyword) == "connect_timeout" && o->val != nullptr)
                text = o->val;
        }
        PQconninfoFree(options);
    }
    if (parse_error != nullptr) PQfreemem(parse_error);
    if (text.empty()) {
        if (const char* env = std::getenv("PGCONNECT_TIMEOUT")) text = env;
    }
    int seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size() || seconds <= 0) return std::nullopt;
    return std::chrono::seconds(std::max(seconds, 2));
}

// Every spelling of a password the connection string carries: libpq's parse
// of it, plus what the raw text holds after any "password=" (sslpassword too)
// or in a URI's user info and query, as written and decoded. The raw scan
// covers strings libpq refuses to parse, whose error messages may quote them.
std::vector<std::string> password_spellings(const std::string& conninfo) {
    std::vector<std::string> out;
    char* parse_error = nullptr;
    if (PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &parse_error)) {
        for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
            const std::string_view keyword = o->keyword;
            if ((keyword == "password" || keyword == "sslpassword") && o->val != nullptr)
                add_secret(out, o->val);
        }
        PQconninfoFree(options);
    }
    if (parse_error != nullptr) PQfreemem(parse_error);

    const std::string_view s = conninfo;
    for (const std::string_view scheme : {"postgresql://", "postgres://"}) {
        if (s.substr(0, scheme.size()) != scheme) continue;
        const std::string_view rest = s.substr(scheme.size());
        const std::string_view authority = rest.substr(0, rest.find_first_of("/?"));
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            const std::string_view userinfo = authority.substr(0, at);
            if (const auto colon = userinfo.find(':'); colon != std::string_view::npos) {
                add_secret(out, userinfo.substr(colon + 1));
                add_secret(out, percent_decoded(userinfo.substr(colon + 1)));
            }
        }
        if (const auto q = rest.find('?'); q != std::string_view::npos) {
            std::string_view query = rest.substr(q + 1);
            while (!query.empty()) {
                const auto amp = query.find('&');
                const std::string_view pair = query.substr(0, amp);
                const auto eq = pair.find('=');
                if (eq != std::string_view::npos) {
                    const std::string key = percent_decoded(pair.substr(0, eq));
                    if (key.size() >= 8 && key.compare(key.size() - 8, 8, "password") == 0) {
                        add_secret(out, pair.substr(eq + 1));
                        add_secret(out, percent_decoded(pair.substr(eq + 1)));
                    }
                }
                if (amp == std::string_view::npos) break;
                query.remove_prefix(amp + 1);
            }
        }
    }

    for (std::size_t pos = s.find("password"); pos != std::string_view::npos;
         pos = s.find("password", pos)) {
        std::size_t i = pos + 8;
        pos = i;
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size() || s[i] != '=') continue;
        ++i;
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size()) continue;
        if (s[i] == '\'') {
            std::string unescaped;
            const std::size_t start = ++i;
            while (i < s.size() && s[i] != '\'') {
                if (s[i] == '\\' && i + 1 < s.size()) ++i;
                unescaped.push_back(s[i++]);
            }
            add_secret(out, s.substr(start, i - start));
            add_secret(out, unescaped);
        } else {
            const std::size_t start = i;
            while (i < s.size() && !is_space(s[i])) ++i;
            add_secret(out, s.substr(start, i - start));
        }
    }
    // Longest first, so a spelling that contains another is masked whole.
    std::sort(out.begin(), out.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    return out;
}

// Whole seconds, rounded up, at least one: libpq's keepalive settings.
std::string whole_seconds(std::chrono::milliseconds span) {
    return std::to_string(std::max<std::int64_t>(1, (span.count() + 999) / 1000));
}

// Milliseconds as seconds in decimal, without trailing zeros: "2.5", "30".
std::string seconds_text(std::chrono::milliseconds span) {
    const std::int64_t ms = span.count();
    std::string out = std::to_string(ms / 1000);
    if (const std::int64_t fraction = ms % 1000; fraction != 0) {
        std::string digits = std::to_string(fraction + 1000).substr(1);
        while (digits.back() == '0') digits.pop_back();
        out += "." + digits;
    }
    return out;
}

// Connection settings derived from the timeout, so that a peer gone silent
// between operations is noticed too: keepalive probes after half of it, then
// every sixth of it, and tcp_user_timeout a second longer than it (during an
// operation the store's own deadline, which also cancels the request, comes
// first). They come before the connection string in the keyword list, so the
// string's own values win.
std::vector<std::pair<std::string, std::string>> timeout_settings(
    const std::optional<std::chrono::milliseconds>& timeout) {
    if (!timeout) return {};
    const std::int64_t user_timeout = std::min<std::int64_t>(timeout->count() + 1000, INT_MAX);
    return {{"keepalives", "1"},
            {"keepalives_idle", whole_seconds(*timeout / 2)},
            {"keepalives_interval", whole_seconds(*timeout / 6)},
            {"keepalives_count", "3"},
            {"tcp_user_timeout", std::to_string(user_timeout)}};
}

// A cancel request running on a helper thread of its own, for libpq's
// PQcancel has no timeout: a caller waits for it a bounded time and leaves
// the thread behind when the server does not answer.
class CancelRequest {
public:
    // Starts cancelling what `conn` is running; null when nothing could be
    // started.
    static std::shared_ptr<CancelRequest> start(PGconn* conn) {
        PGcancel* handle = PQgetCancel(conn);
        if (handle == nullptr) return nullptr;
        auto request = std::make_shared<CancelRequest>();
        try {
            std::thread([handle, request] {
                std::array<char, 256> error{};
                (void)PQcancel(handle, error.data(), static_cast<int>(error.size()));
                PQfreeCancel(handle);
                {
                    const std::lock_guard lock(request->mutex_);
                    request->done_ = true;
                }
                request->changed_.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            PQfreeCancel(handle);
            return nullptr;
        }
        return request;
    }

    // True once PQcancel has returned.
    bool wait_for(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return done_; });
    }
    bool done() {
        const std::lock_guard lock(mutex_);
        return done_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
};

std::string conninfo_value(const char* value) {
    const std::string_view v = value != nullptr ? value : "";
    const bool plain = !v.empty() && std::none_of(v.begin(), v.end(), [](char c) {
        return is_space(c) || c == '\'' || c == '\\';
    });
    if (plain) return std::string(v);
    std::string out = "'";
    for (const char c : v) {
        if (c == '\'' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

std::string quoted_identifier(std::string_view name) {
    // Only names that pass is_valid_table_name get here: no quote to double.
    std::string out = "\"";
    out.append(name).append("\"");
    return out;
}

PairKey pair_key(std::string_view chain_id, std::string_view indexer_id) {
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    for (const std::string_view text : {chain_id, indexer_id}) {
        std::array<unsigned char, 8> length{};
        auto n = static_cast<std::uint64_t>(text.size());
        for (int i = 7; i >= 0; --i, n >>= 8) length[static_cast<std::size_t>(i)] =
            static_cast<unsigned char>(n & 0xff);
        crypto_hash_sha256_update(&state, length.data(), length.size());
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(text.data()),
                                  text.size());
    }
    PairKey key{};
    crypto_hash_sha256_final(&state, key.data());
    return key;
}

std::array<char, 8> big_endian(std::int64_t value) {
    auto n = static_cast<std::uint64_t>(value);
    std::array<char, 8> out{};
    for (int i = 7; i >= 0; --i, n >>= 8)
        out[static_cast<std::size_t>(i)] = static_cast<char>(n & 0xff);
    return out;
}

std::int64_t from_big_endian(const char* p) {
    std::uint64_t n = 0;
    for (int i = 0; i < 8; ++i) n = (n << 8) | static_cast<unsigned char>(p[i]);
    return static_cast<std::int64_t>(n);
}

// A u64 as a NUL-terminated decimal: libpq reads text parameters up to the
// NUL, ignoring their lengths.
struct Decimal {
    std::array<char, 21> digits{};
    int length = 0;
    explicit Decimal(std::uint64_t n) {
        const auto end = std::to_chars(digits.data(), digits.data() + 20, n).ptr;
        length = static_cast<int>(end - digits.data());
    }
};

}  // namespace

// Resumption of a suspended socket wait is claimed through `armed`: a wait
// sets it to its own ticket, and whichever of the reactor's handler and the
// waiter's own readiness check swaps it back to zero first continues the
// coroutine. Handlers hold the gate, not the session, so a stale one may run
// after the store is gone.
struct WaitGate {
    std::atomic<std::uint64_t> armed{0};
    std::uint64_t issued = 0;  // written by the running operation only

    bool claim(std::uint64_t ticket) noexcept {
        return armed.compare_exchange_strong(ticket, 0, std::memory_order_acq_rel,
                                             std::memory_order_relaxed);
    }
};

class PostgresSession {
public:
    PostgresSession(asio::io_context& io, std::string conninfo, std::string table,
                    std::optional<std::chrono::milliseconds> timeout)
        : socket_(io),
          timer_(io),
          conninfo_(std::move(conninfo)),
          table_(std::move(table)),
          passwords_(password_spellings(conninfo_)),
          connect_timeout_(connect_timeout(conninfo_)),
          timeout_(timeout),
          settings_(timeout_settings(timeout)) {}

    ~PostgresSession() { drop(); }

    PostgresSession(const PostgresSession&) = delete;
    PostgresSession& operator=(const PostgresSession&) = delete;

    // Connects, checks or creates the table and prepares the statements,
    // within one timeout.
    Task<Result<void>> connect();

    Task<Result<std::optional<Checkpoint>>> load(std::string chain_id, std::string indexer_id);
    Task<Result<void>> save(Checkpoint checkpoint);
    Task<Result<void>> save_if(Checkpoint checkpoint, std::optional<std::uint64_t> expected);
    Task<Result<void>> erase(std::string chain_id, std::string indexer_id);
    Task<Result<void>> write_beside(const PgBatch& batch, CheckpointChange change);

    [[nodiscard]] const std::string& description() const noexcept { return description_; }

    // A Storage error with `text` trimmed and every password spelling masked.
    [[nodiscard]] IndexerError storage_error(std::string_view text) const {
        std::string message = trimmed(text);
        for (const std::string& secret : passwords_) {
            for (std::size_t pos = message.find(secret); pos != std::string::npos;
                 pos = message.find(secret, pos + kMask.size())) {
                message.replace(pos, secret.size(), kMask);
            }
        }
        return IndexerError::storage(std::move(message));
    }

private:
    class Readiness;
    class Exclusive;

    enum class Want { Read, Write };

    using Clock = std::chrono::steady_clock;

    // Connects if needed, checks or creates the table and prepares the
    // statements. Idempotent once it has succeeded on a connection.
    Task<Result<void>> setup();
    Task<Result<void>> open();
    Task<Result<PgResult>> finish();

    // Starts the timeout of an operation.
    void start_clock() {
        deadline_.reset();
        if (timeout_) deadline_ = Clock::now() + *timeout_;
    }
    [[nodiscard]] bool expired() const { return deadline_ && Clock::now() >= *deadline_; }

    [[nodiscard]] IndexerError timeout_error() const {
        return IndexerError::storage("timed out after " + seconds_text(*timeout_) +
                                     " s waiting for the server");
    }

    // The operation ran out of time with a request on the wire: asks the
    // server to cancel it, waiting at most half the timeout (a second at
    // most), then drops the connection. While an earlier cancel request is
    // still unanswered no other is sent, so a server that stays silent holds
    // at most one helper thread per store.
    IndexerError expire() {
        if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK &&
            (!cancelling_ || cancelling_->done())) {
            cancelling_ = CancelRequest::start(conn_);
            if (cancelling_)
                (void)cancelling_->wait_for(
                    std::min<std::chrono::milliseconds>(*timeout_ / 2, std::chrono::seconds(1)));
        }
        drop();
        return timeout_error();
    }

    // The failure of a libpq call while an operation waits on the server; a
    // connection the kernel gave up on once the timeout has run out counts as
    // timed out.
    IndexerError fail_waiting() {
        if (expired()) return expire();
        return fail();
    }

    [[nodiscard]] IndexerError connection_error() const {
        return storage_error(conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory");
    }

    // The failure of a libpq call: its message, and the connection dropped if
    // libpq has given up on it (it has then closed the socket itself).
    IndexerError fail() {
        IndexerError e = connection_error();
        if (conn_ == nullptr || PQstatus(conn_) == CONNECTION_BAD) drop();
        return e;
    }

    // Registers libpq's current socket with the reactor if it is not yet.
    std::optional<IndexerError> arm() {
        const int fd = PQsocket(conn_);
        if (fd < 0) return fail();
        if (fd == registered_) return std::nullopt;
        release_socket();
        std::error_code ec;
        socket_.assign(fd, ec);
        if (ec) return storage_error("cannot watch the connection's socket: " + ec.message());
        registered_ = fd;
        return std::nullopt;
    }

    // libpq owns the socket: it is released from the reactor, never closed.
    void release_socket() noexcept {
        if (registered_ < 0) return;
        (void)socket_.release();
        registered_ = -1;
    }

    void drop() noexcept {
        gate_->armed.store(0, std::memory_order_relaxed);
        release_socket();
        if (conn_ != nullptr) PQfinish(conn_);
        conn_ = nullptr;
        ready_ = false;
    }

    [[nodiscard]] std::optional<IndexerError> send_prepared(const char* statement, int count,
                                                            const char* const* values,
                                                            const int* lengths,
                                                            const int* formats) {
        if (PQsendQueryPrepared(conn_, statement, count, values, lengths, formats, 1) == 0)
            return fail();
        return std::nullopt;
    }

    // Runs a statement that takes the pair's three key parameters first.
    struct PairParams;
    Task<Result<PgResult>> run_keyed(const char* statement, const PairParams& pair);
    Task<Result<PgResult>> run_write(const char* statement, const PairParams& pair,
                                     const Checkpoint& cp, const std::uint64_t* expected);
    // save()'s upsert, refused when another pair owns the key digest.
    Task<Result<void>> upsert(const PairParams& pair, const Checkpoint& cp);
    // One try of save_if()'s write: true when written; false when nothing
    // was written although what is stored now says it should have been (a
    // concurrent writer changed the row in between); otherwise the mismatch.
    Task<Result<bool>> try_fenced_write(const PairParams& pair, const Checkpoint& cp,
                                        std::optional<std::uint64_t> expected);

    // Parts of write_beside, each inside its transaction.
    Task<Result<void>> run_text(const std::string& sql);
    Task<Result<void>> change_checkpoint(const CheckpointChange& change);
    Task<Result<void>> copy_in(const std::string& sql, const std::string& data);
    Task<Result<void>> write_in_transaction(const PgBatch& batch, const CheckpointChange& change);

    asio::posix::stream_descriptor socket_;
    asio::steady_timer timer_;
    std::shared_ptr<WaitGate> gate_ = std::make_shared<WaitGate>();
    std::atomic<bool> busy_{false};
    const std::string conninfo_;
    const std::string table_;
    const std::vector<std::string> passwords_;
    const std::optional<std::chrono::seconds> connect_timeout_;
    const std::optional<std::chrono::milliseconds> timeout_;
    // Keyword/value pairs passed ahead of the connection string.
    const std::vector<std::pair<std::string, std::string>> settings_;
    std::optional<Clock::time_point> deadline_;  // of the running operation
    std::shared_ptr<CancelRequest> cancelling_;  // the last one started
    std::string description_;
    PGconn* conn_ = nullptr;
    int registered_ = -1;
    bool ready_ = false;
    std::string last_sqlstate_;
};

// Suspends until the registered socket is ready for `want`, holding no thread.
//
// The reactor is edge-triggered: an edge that came before the wait was queued
// (data libpq left unread, or an event another thread's epoll_wait took while
// no wait was queued) would never complete it. So the wait is queued first
// and the socket is then polled once without blocking; if it is ready already
// the coroutine claims the wait back and carries on, and the queued one turns
// into a stale no-op.
//
// Should the coroutine be destroyed while suspended here, the connection is
// mid-exchange and unusable: the session drops it and the next operation
// reconnects.
//
// With a deadline, the session's timer races the socket for the same
// ticket, and co_await yields true when the deadline won. The timer is armed
// before the socket wait is queued (after that, this thread touches neither
// the awaiter nor the timer: the waiter may already be running elsewhere),
// so it may win while await_suspend is still running; it then leaves the
// resuming to await_suspend, which carries on instead of suspending.
class PostgresSession::Readiness {
public:
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    Readiness(PostgresSession& session, Want want, Deadline deadline = std::nullopt)
        : session_(session), want_(want), deadline_(deadline) {}
    Readiness(const Readiness&) = delete;
    Readiness& operator=(const Readiness&) = delete;
    ~Readiness() {
        if (pending_) session_.drop();
    }

    [[nodiscard]] bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> waiter) {
        // Copied out first: once the wait is queued, the handler may resume
        // the waiter (and destroy this awaiter) on another thread.
        std::shared_ptr<WaitGate> gate = session_.gate_;
        const std::uint64_t ticket = ++gate->issued;
        const int fd = session_.registered_;
        const auto events = static_cast<short>(want_ == Want::Read ? POLLIN : POLLOUT);
        gate->armed.store(ticket, std::memory_order_release);
        pending_ = true;
        std::shared_ptr<std::atomic<int>> race;
        if (deadline_) {
            race = race_ = std::make_shared<std::atomic<int>>(kSuspending);
            session_.timer_.expires_at(*deadline_);
            session_.timer_.async_wait(
                [gate, ticket, waiter, race](const std::error_code& ec) {
                    if (ec || !gate->claim(ticket)) return;
                    if (race->exchange(kTimedOut) == kSuspended) waiter.resume();
                });
        }
        using Socket = asio::posix::stream_descriptor;
        session_.socket_.async_wait(want_ == Want::Read ? Socket::wait_read : Socket::wait_write,
                                    [gate, ticket, waiter](const std::error_code&) {
                                        if (gate->claim(ticket)) waiter.resume();
                                    });
        pollfd p{fd, events, 0};
        if (::poll(&p, 1, 0) > 0 && gate->claim(ticket)) return false;
        int expected = kSuspending;
        return !race || race->compare_exchange_strong(expected, kSuspended);
    }

    bool await_resume() noexcept {
        pending_ = false;
        if (!race_) return false;
        const bool timed_out = race_->load() == kTimedOut;
        // The waits run one at a time, so this never races the timer's own use.
        if (!timed_out) session_.timer_.cancel();
        return timed_out;
    }

private:
    static constexpr int kSuspending = 0;
    static constexpr int kSuspended = 1;
    static constexpr int kTimedOut = 2;

    PostgresSession& session_;
    Want want_;
    Deadline deadline_;
    std::shared_ptr<std::atomic<int>> race_;  // with a deadline only
    bool pending_ = false;
};

// Marks the session busy for one operation; a second one that starts while
// the first is running is refused instead of interleaving on the wire.
class PostgresSession::Exclusive {
public:
    explicit Exclusive(PostgresSession& session)
        : session_(session), owned_(!session.busy_.exchange(true, std::memory_order_acquire)) {}
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    ~Exclusive() {
        if (owned_) session_.busy_.store(false, std::memory_order_release);
    }

    [[nodiscard]] bool owned() const noexcept { return owned_; }

    static IndexerError overlap() {
        return IndexerError::storage("another operation is still running on this store");
    }

private:
    PostgresSession& session_;
    bool owned_;
};

Task<Result<void>> PostgresSession::open() {
    drop();
    // The attempt ends at the operation's deadline or after connect_timeout,
    // whichever comes first.
    std::optional<Clock::time_point> deadline = deadline_;
    bool by_connect_timeout = false;
    if (connect_timeout_) {
        const Clock::time_point limit = Clock::now() + *connect_timeout_;
        if (!deadline || limit < *deadline) {
            deadline = limit;
            by_connect_timeout = true;
        }
    }
    std::vector<const char*> keywords;
    std::vector<const char*> values;
    for (const auto& [keyword, value] : settings_) {
        keywords.push_back(keyword.c_str());
        values.push_back(value.c_str());
    }
    keywords.push_back("dbname");  // expanded: the connection string's settings
    values.push_back(conninfo_.c_str());
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    conn_ = PQconnectStartParams(keywords.data(), values.data(), 1);
    if (conn_ == nullptr || PQstatus(conn_) == CONNECTION_BAD) {
        IndexerError e = connection_error();
        drop();
        co_return Result<void>::failure(std::move(e));
    }
    PQsetNoticeProcessor(conn_, ignore_notice, nullptr);
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
        if (status == PGRES_POLLING_FAILED) {
            IndexerError e = expired() ? timeout_error() : connection_error();
            drop();
            co_return Result<void>::failure(std::move(e));
        }
        if (status == PGRES_POLLING_READING || status == PGRES_POLLING_WRITING) {
            if (auto e = arm()) {
                drop();
                co_return Result<void>::failure(std::move(*e));
            }
            const bool timed_out = co_await Readiness(
                *this, status == PGRES_POLLING_READING ? Want::Read : Want::Write, deadline);
            if (timed_out) {
                drop();
                if (!by_connect_timeout) co_return Result<void>::failure(timeout_error());
                co_return Result<void>::failure(storage_error(
                    "connection timed out after " + std::to_string(connect_timeout_->count()) +
                    " s (connect_timeout)"));
            }
            // The next poll may close this socket and open another (next
            // address, or a retry without encryption), possibly under the
            // same number: a registration must never outlive its socket.
            release_socket();
        }
        status = PQconnectPoll(conn_);
    }
    if (PQsetnonblocking(conn_, 1) != 0) {
        IndexerError e = connection_error();
        drop();
        co_return Result<void>::failure(std::move(e));
    }
    description_ = "host=" + conninfo_value(PQhost(conn_)) +
                   " port=" + conninfo_value(PQport(conn_)) +
                   " dbname=" + conninfo_value(PQdb(conn_)) +
                   " user=" + conninfo_value(PQuser(conn_));
    co_return Result<void>::success();
}

Task<Result<PgResult>> PostgresSession::finish() {
    for (;;) {
        const int flushed = PQflush(conn_);
        if (flushed == 0) break;
        if (flushed < 0) co_return Result<PgResult>::failure(fail_waiting());
        if (auto e = arm()) co_return Result<PgResult>::failure(std::move(*e));
        if (co_await Readiness(*this, Want::Write, deadline_))
            co_return Result<PgResult>::failure(expire());
    }
    PgResult last;
    std::optional<IndexerError> error;
    last_sqlstate_.clear();
    for (;;) {
        while (PQisBusy(conn_) != 0) {
            if (auto e = arm()) co_return Result<PgResult>::failure(std::move(*e));
            if (co_await Readiness(*this, Want::Read, deadline_))
                co_return Result<PgResult>::failure(expire());
            if (PQconsumeInput(conn_) == 0) co_return Result<PgResult>::failure(fail_waiting());
        }
        PgResult result(PQgetResult(conn_));
        if (!result) break;
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            if (!error) last = std::move(result);
        } else if (!error) {
            error = storage_error(PQresultErrorMessage(result.get()));
            const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
            if (state != nullptr) last_sqlstate_ = state;
        }
    }
    if (error) {
        if (PQstatus(conn_) == CONNECTION_BAD) drop();
        co_return Result<PgResult>::failure(std::move(*error));
    }
    co_return Result<PgResult>::success(std::move(last));
}

Task<Result<void>> PostgresSession::connect() {
    const Exclusive exclusive(*this);
    if (!exclusive.owned()) co_return Result<void>::failure(Exclusive::overlap());
    start_clock();
    co_return co_await setup();
}

Task<Result<void>> PostgresSession::setup() {
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
        if (auto r = co_await open(); !r) co_return r;
    } else if (ready_) {
        co_return Result<void>::success();
    }
    const std::string table = quoted_identifier(table_);

    for (bool created = false;;) {
        const char* name = table_.c_str();
        if (PQsendQueryParams(conn_,
                              "SELECT column_name::text, data_type::text, "
                              "coalesce(numeric_precision, -1), coalesce(numeric_scale, -1) "
                              "FROM information_schema.columns "
                              "WHERE table_schema = current_schema() AND table_name = $1",
                              1, nullptr, &name, nullptr, nullptr, 0) == 0) {
            co_return Result<void>::failure(fail());
        }
        auto columns = co_await finish();
        if (!columns) co_return Result<void>::failure(std::move(columns).error());
        PGresult* rows = columns.value().get();
        const int count = PQntuples(rows);
        if (count == 0 && !created) {
            // Concurrent creators: the loser of the race on the catalog gets
            // a unique violation, a duplicate table or a duplicate row type,
            // depending on which catalog row it reaches first, and sees the
            // winner's table on the next look.
            const std::string create =
                "CREATE TABLE IF NOT EXISTS " + table +
                " (key bytea PRIMARY KEY, chain_id bytea NOT NULL, indexer_id bytea NOT NULL, "
                "block_number numeric(20,0) NOT NULL "
                "CHECK (block_number BETWEEN 0 AND 18446744073709551615), "
                "block_hash bytea NOT NULL, updated_at bigint NOT NULL)";
            if (PQsendQuery(conn_, create.c_str()) == 0) co_return Result<void>::failure(fail());
            auto made = co_await finish();
            if (!made && last_sqlstate_ != "23505" && last_sqlstate_ != "42P07" &&
                last_sqlstate_ != "42710")
                co_return Result<void>::failure(std::move(made).error());
            created = true;
            continue;
        }
        bool matches = count == static_cast<int>(kColumns.size());
        for (int row = 0; matches && row < count; ++row) {
            const std::string_view column = PQgetvalue(rows, row, 0);
            const auto wanted =
                std::find_if(kColumns.begin(), kColumns.end(),
                             [&](const ExpectedColumn& c) { return c.name == column; });
            matches = wanted != kColumns.end() && wanted->type == PQgetvalue(rows, row, 1) &&
                      (wanted->precision < 0 ||
                       (std::to_string(wanted->precision) == PQgetvalue(rows, row, 2) &&
                        std::to_string(wanted->scale) == PQgetvalue(rows, row, 3)));
        }
        if (!matches) {
            co_return Result<void>::failure(IndexerError::storage(
                "table " + table + " exists but is not a checkpoint table (expected columns " +
                kExpectedColumns + ")"));
        }
        break;
    }

    const std::string key_where = " WHERE key = $1 AND chain_id = $2 AND indexer_id = $3";
    const std::string columns =
        " (key, chain_id, indexer_id, block_number, block_hash, updated_at)";
    const std::string write_types = " (bytea, bytea, bytea, numeric, bytea, bigint";
    const std::string prepare =
        std::string("DEALLOCATE ALL; PREPARE ") + kLoad + " (bytea, bytea, bytea) AS " +
        "SELECT block_number::text, block_hash, updated_at FROM " + table + key_where +
        "; PREPARE " + kSave + write_types + ") AS INSERT INTO " + table + " AS cur" + columns +
        " VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (key) DO UPDATE SET "
        "block_number = EXCLUDED.block_number, block_hash = EXCLUDED.block_hash, "
        "updated_at = EXCLUDED.updated_at "
        "WHERE cur.chain_id = EXCLUDED.chain_id AND cur.indexer_id = EXCLUDED.indexer_id"
        "; PREPARE " + kInsertNew + write_types + ") AS INSERT INTO " + table + columns +
        " VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (key) DO NOTHING"
        "; PREPARE " + kUpdateIf + write_types + ", numeric) AS UPDATE " + table +
        " SET block_number = $4, block_hash = $5, updated_at = $6" + key_where +
        " AND block_number = $7"
        "; PREPARE " + kDelete + " (bytea, bytea, bytea) AS DELETE FROM " + table + key_where;
    if (PQsendQuery(conn_, prepare.c_str()) == 0) co_return Result<void>::failure(fail());
    if (auto r = co_await finish(); !r) co_return Result<void>::failure(std::move(r).error());
    ready_ = true;
    co_return Result<void>::success();
}

// The three leading parameters of every statement, kept in the operation's
// frame while the statement is in flight.
struct PostgresSession::PairParams {
    PairKey key;
    const std::string& chain_id;
    const std::string& indexer_id;

    PairParams(const std::string& chain, const std::string& indexer)
        : key(pair_key(chain, indexer)), chain_id(chain), indexer_id(indexer) {}

    // libpq takes parameter lengths as int.
    [[nodiscard]] bool fits() const noexcept {
        return chain_id.size() <= INT_MAX && indexer_id.size() <= INT_MAX;
    }
    [[nodiscard]] bool fits(const Checkpoint& cp) const noexcept {
        return fits() && cp.block_hash.size() <= INT_MAX;
    }
};

Task<Result<PgResult>> PostgresSession::run_keyed(const char* statement, const PairParams& pair) {
    const std::array<const char*, 3> values{reinterpret_cast<const char*>(pair.key.data()),
                                            pair.chain_id.data(), pair.indexer_id.data()};
    const std::array<int, 3> lengths{static_cast<int>(kKeySize),
                                     static_cast<int>(pair.chain_id.size()),
                                     static_cast<int>(pair.indexer_id.size())};
    static constexpr std::array<int, 3> kFormats{1, 1, 1};
    if (auto e = send_prepared(statement, 3, values.data(), lengths.data(), kFormats.data()))
        co_return Result<PgResult>::failure(std::move(*e));
    co_return co_await finish();
}

Task<Result<PgResult>> PostgresSession::run_write(const char* statement, const PairParams& pair,
                                                  const Checkpoint& cp,
                                                  const std::uint64_t* expected) {
    const Decimal number(cp.block_number);
    const std::array<char, 8> updated_at = big_endian(cp.updated_at);
    std::optional<Decimal> expected_number;
    if (expected != nullptr) expected_number.emplace(*expected);
    const std::array<const char*, 7> values{
        reinterpret_cast<const char*>(pair.key.data()),
        pair.chain_id.data(),
        pair.indexer_id.data(),
        number.digits.data(),
        cp.block_hash.data(),
        updated_at.data(),
        expected_number ? expected_number->digits.data() : nullptr};
    const std::array<int, 7> lengths{static_cast<int>(kKeySize),
                                     static_cast<int>(pair.chain_id.size()),
                                     static_cast<int>(pair.indexer_id.size()),
                                     number.length,
                                     static_cast<int>(cp.block_hash.size()),
                                     8,
                                     expected_number ? expected_number->length : 0};
    // Numbers go as text (numeric has no handy binary form), the rest binary.
    static constexpr std::array<int, 7> kFormats{1, 1, 1, 0, 1, 1, 0};
    const int count = expected != nullptr ? 7 : 6;
    if (auto e = send_prepared(statement, count, values.data(), lengths.data(), kFormats.data()))
        co_return Result<PgResult>::failure(std::move(*e));
    co_return co_await finish();
}

namespace {

std::optional<std::uint64_t> stored_number(PGresult* rows) {
    if (PQntuples(rows) == 0) return std::nullopt;
    const char* text = PQgetvalue(rows, 0, 0);
    const int length = PQgetlength(rows, 0, 0);
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(text, text + length, n);
    if (ec != std::errc{} || end != text + length) return std::nullopt;
    return n;
}

bool one_row_changed(PGresult* result) { return std::string_view(PQcmdTuples(result)) == "1"; }

}  // namespace

Task<Result<std::optional<Checkpoint>>> PostgresSession::load(std::string chain_id,
                                                              std::string indexer_id) {
    using R = Result<std::optional<Checkpoint>>;
    const Exclusive exclusive(*this);
    if (!exclusive.owned()) co_return R::failure(Exclusive::overlap());
    start_clock();
    if (!ready_) {
        if (auto r = co_await setup(); !r) co_return R::failure(std::move(r).error());
    }
    const PairParams pair(chain_id, indexer_id);
    if (!pair.fits()) co_return R::failure(storage_error("identifier longer than 2 GiB"));
    auto r = co_await run_keyed(kLoad, pair);
    if (!r) co_return R::failure(std::move(r).error());
    PGresult* rows = r.value().get();
    if (PQntuples(rows) == 0) co_return R::success(std::nullopt);
    const auto number = stored_number(rows);
    if (!number || PQgetisnull(rows, 0, 1) != 0 || PQgetlength(rows, 0, 2) != 8)
        co_return R::failure(storage_error("unreadable row in table " + quoted_identifier(table_)));
    const auto hash_size = static_cast<std::size_t>(PQgetlength(rows, 0, 1));
    Checkpoint cp{std::move(chain_id), std::move(indexer_id), *number,
                  std::string(PQgetvalue(rows, 0, 1), hash_size),
                  from_big_endian(PQgetvalue(rows, 0, 2))};
    co_return R::success(std::move(cp));
}

Task<Result<void>> PostgresSession::save(Checkpoint checkpoint) {
    const Exclusive exclusive(*this);
    if (!exclusive.owned()) co_return Result<void>::failure(Exclusive::overlap());
    start_clock();
    if (!ready_) {
        if (auto r = co_await setup(); !r) co_return r;
    }
    const PairParams pair(checkpoint.chain_id, checkpoint.indexer_id);
    if (!pair.fits(checkpoint))
        co_return Result<void>::failure(storage_error("value longer than 2 GiB"));
    co_return co_await upsert(pair, checkpoint);
}

Task<Result<void>> PostgresSession::upsert(const PairParams& pair, const Checkpoint& cp) {
    auto r = co_await run_write(kSave, pair, cp, nullptr);
    if (!r) co_return Result<void>::failure(std::move(r).error());
    // The update is skipped only when another pair owns the same key digest.
    if (!one_row_changed(r.value().get()))
        co_return Result<void>::failure(storage_error("key digest collision with a stored pair"));
    co_return Result<void>::success();
}

Task<Result<void>> PostgresSession::save_if(Checkpoint checkpoint,
                                            std::optional<std::uint64_t> expected) {
    const Exclusive exclusive(*this);
    if (!exclusive.owned()) co_return Result<void>::failure(Exclusive::overlap());
    start_clock();
    if (!ready_) {
        if (auto r = co_await setup(); !r) co_return r;
    }
    const PairParams pair(checkpoint.chain_id, checkpoint.indexer_id);
    if (!pair.fits(checkpoint))
        co_return Result<void>::failure(storage_error("value longer than 2 GiB"));
    for (int attempt = 0; attempt < kSettleAttempts; ++attempt) {
        auto written = co_await try_fenced_write(pair, checkpoint, expected);
        if (!written) co_return Result<void>::failure(std::move(written).error());
        if (written.value()) co_return Result<void>::success();
    }
    co_return Result<void>::failure(
        storage_error("conditional save kept losing to concurrent writers; nothing was saved"));
}

Task<Result<bool>> PostgresSession::try_fenced_write(const PairParams& pair, const Checkpoint& cp,
                                                     std::optional<std::uint64_t> expected) {
    // One atomic statement decides: an insert that yields to any stored
    // row, or an update of the row holding the expected number.
    auto written = co_await run_write(expected ? kUpdateIf : kInsertNew, pair, cp,
                                      expected ? &*expected : nullptr);
    if (!written) co_return Result<bool>::failure(std::move(written).error());
    if (one_row_changed(written.value().get())) co_return Result<bool>::success(true);

    // Not written: report what is stored now. A concurrent writer may have
    // changed it since; only if it now looks as if the write should have
    // happened may the step be tried again.
    auto read = co_await run_keyed(kLoad, pair);
    if (!read) co_return Result<bool>::failure(std::move(read).error());
    PGresult* rows = read.value().get();
    if (PQntuples(rows) == 0) {
        if (expected) co_return Result<bool>::failure(IndexerError::checkpoint_mismatch(*expected));
        co_return Result<bool>::success(false);
    }
    const auto stored = stored_number(rows);
    if (!stored)
        co_return Result<bool>::failure(
            storage_error("unreadable row in table " + quoted_identifier(table_)));
    if (!expected || *stored != *expected)
        co_return Result<bool>::failure(IndexerError::checkpoint_mismatch(*stored));
    co_return Result<bool>::success(false);
}

Task<Result<void>> PostgresSession::erase(std::string chain_id, std::string indexer_id) {
    const Exclusive exclusive(*this);
    if (!exclusive.owned()) co_return Result<void>::failure(Exclusive::overlap());
    start_clock();
    if (!ready_) {
        if (auto r = co_await setup(); !r) co_return r;
    }
    const PairParams pair(chain_id, indexer_id);
    if (!pair.fits())
        co_return Result<void>::failure(storage_error("identifier longer than 2 GiB"));
    auto r = co_await run_keyed(kDelete, pair);
    if (!r) co_return Result<void>::failure(std::move(r).error());
    co_return Result<void>::success();
}

Task<Result<void>> PostgresSession::run_text(const std::string& sql) {
    if (PQsendQuery(conn_, sql.c_str()) == 0) co_return Result<void>::failure(fail());
    auto r = co_await finish();
    if (!r) co_return Result<void>::failure(std::move(r).error());
    PGresult* rows = r.value().get();
    if (rows != nullptr && PQresultStatus(rows) == PGRES_TUPLES_OK && PQntuples(rows) > 0 &&
        PQgetisnull(rows, 0, 0) == 0)
        co_return Result<void>::failure(IndexerError::storage(PQgetvalue(rows, 0, 0)));
    co_return Result<void>::success();
}

Task<Result<void>> PostgresSession::change_checkpoint(const CheckpointChange& change) {
    const Checkpoint& cp = change.checkpoint;
    const PairParams pair(cp.chain_id, cp.indexer_id);
    if (!pair.fits(cp)) co_return Result<void>::failure(storage_error("value longer than 2 GiB"));
    switch (change.kind) {
        case CheckpointChange::Kind::none:
            co_return Result<void>::success();
        case CheckpointChange::Kind::erase: {
            auto r = co_await run_keyed(kDelete, pair);
            if (!r) co_return Result<void>::failure(std::move(r).error());
            co_return Result<void>::success();
        }
        case CheckpointChange::Kind::save:
            co_return co_await upsert(pair, cp);
        case CheckpointChange::Kind::save_if:
            break;
    }
    // As in save_if(), tried once: inside the transaction the updated or
    // inserted row stays locked until it ends, so a second writer waits and
    // then finds the number moved.
    const auto& expected = change.expected_block_number;
    auto written = co_await try_fenced_write(pair, cp, expected);
    if (!written) co_return Result<void>::failure(std::move(written).error());
    if (!written.value())
        co_return Result<void>::failure(IndexerError::checkpoint_mismatch(expected.value_or(0)));
    co_return Result<void>::success();
}

Task<Result<void>> PostgresSession::copy_in(const std::string& sql, const std::string& data) {
    if (PQsendQuery(conn_, sql.c_str()) == 0) co_return Result<void>::failure(fail());
    // Until the server has switched to COPY IN, results are read as finish()
    // reads them; COPY IN itself is one result that repeats while it lasts.
    for (;;) {
        const int flushed = PQflush(conn_);
        if (flushed == 0) break;
        if (flushed < 0) co_return Result<void>::failure(fail_waiting());
        if (auto e = arm()) co_return Result<void>::failure(std::move(*e));
        if (co_await Readiness(*this, Want::Write, deadline_)) co_return Result<void>::failure(expire());
    }
    while (PQisBusy(conn_) != 0) {
        if (auto e = arm()) co_return Result<void>::failure(std::move(*e));
        if (co_await Readiness(*this, Want::Read, deadline_)) co_return Result<void>::failure(expire());
        if (PQconsumeInput(conn_) == 0) co_return Result<void>::failure(fail_waiting());
    }
    {
        PgResult started(PQgetResult(conn_));
        if (!started || PQresultStatus(started.get()) != PGRES_COPY_IN) {
            IndexerError e = started ? storage_error(PQresultErrorMessage(started.get())) : fail();
            while (PgResult rest{PQgetResult(conn_)}) {
            }
            co_return Result<void>::failure(std::move(e));
        }
    }
    constexpr std::size_t kChunk = 1 << 20;
    for (std::size_t at = 0; at <= data.size();) {
        const bool end = at == data.size();
        const std::size_t n = std::min(kChunk, data.size() - at);
        const int rc = end ? PQputCopyEnd(conn_, nullptr)
                           : PQputCopyData(conn_, data.data() + at, static_cast<int>(n));
        if (rc < 0) co_return Result<void>::failure(fail_waiting());
        if (rc == 0) {  // the send buffer is full
            if (auto e = arm()) co_return Result<void>::failure(std::move(*e));
            if (co_await Readiness(*this, Want::Write, deadline_))
                co_return Result<void>::failure(expire());
            if (PQflush(conn_) < 0) co_return Result<void>::failure(fail_waiting());
            continue;
        }
        if (end) break;
        at += n;
    }
    auto r = co_await finish();
    if (!r) co_return Result<void>::failure(std::move(r).error());
    co_return Result<void>::success();
}

Task<Result<void>> PostgresSession::write_in_transaction(const PgBatch& batch,
                                                         const CheckpointChange& change) {
    if (auto r = co_await change_checkpoint(change); !r) co_return r;
    for (const std::string& sql : batch.statements) {
        if (auto r = co_await run_text(sql); !r) co_return r;
    }
    for (const auto& [sql, data] : batch.copies) {
        if (auto r = co_await copy_in(sql, data); !r) co_return r;
    }
    co_return co_await run_text("COMMIT");
}

Task<Result<void>> PostgresSession::write_beside(const PgBatch& batch, CheckpointChange change) {
    const Exclusive exclusive(*this);
    if (!exclusive.owned()) co_return Result<void>::failure(Exclusive::overlap());
    start_clock();
    if (!ready_) {
        if (auto r = co_await setup(); !r) co_return r;
    }
    if (auto r = co_await run_text("BEGIN"); !r) co_return r;
    auto result = co_await write_in_transaction(batch, change);
    // A failed transaction is ended here; a connection lost meanwhile has
    // taken it with it.
    if (!result.ok() && conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK &&
        PQtransactionStatus(conn_) != PQTRANS_IDLE)
        (void)co_await run_text("ROLLBACK");
    co_return result;
}

}  // namespace detail

Result<std::unique_ptr<PostgresCheckpointStore>> PostgresCheckpointStore::connect(
    asio::io_context& io, const std::string& conninfo, PostgresOptions options) {
    auto store = prepare(io, conninfo, std::move(options));
    if (!store) return store;
    if (auto r = run_on(io, store.value()->session_->connect()); !r)
        return Result<std::unique_ptr<PostgresCheckpointStore>>::failure(std::move(r).error());
    return store;
}

Result<std::unique_ptr<PostgresCheckpointStore>> PostgresCheckpointStore::prepare(
    asio::io_context& io, const std::string& conninfo, PostgresOptions options) {
    using R = Result<std::unique_ptr<PostgresCheckpointStore>>;
    if (!is_valid_table_name(options.table)) {
        return R::failure(IndexerError::storage(
            "invalid table name \"" + options.table +
            "\": use lower-case letters, digits and underscores, at most 63 bytes, not starting "
            "with a digit"));
    }
    if (options.table.starts_with("pg_")) {
        return R::failure(IndexerError::storage("invalid table name \"" + options.table +
                                                "\": names starting with pg_ are reserved for "
                                                "PostgreSQL's system catalogs"));
    }
    if (options.timeout && options.timeout->count() < 1)
        return R::failure(IndexerError::storage("timeout must be at least 1 ms"));
    if (sodium_init() < 0)
        return R::failure(IndexerError::storage("libsodium could not be initialised"));
    auto session = std::make_unique<detail::PostgresSession>(
        io, conninfo, std::move(options.table), options.timeout);
    return R::success(std::unique_ptr<PostgresCheckpointStore>(
        new PostgresCheckpointStore(std::move(session))));
}

PostgresCheckpointStore::PostgresCheckpointStore(std::unique_ptr<detail::PostgresSession> session)
    : session_(std::move(session)) {}

PostgresCheckpointStore::~PostgresCheckpointStore() = default;

Task<Result<std::optional<Checkpoint>>> PostgresCheckpointStore::load(
    std::string_view chain_id, std::string_view indexer_id) const {
    return session_->load(std::string(chain_id), std::string(indexer_id));
}

Task<Result<void>> PostgresCheckpointStore::save(Checkpoint checkpoint) const {
    return session_->save(std::move(checkpoint));
}

Task<Result<void>> PostgresCheckpointStore::save_if(
    Checkpoint checkpoint, std::optional<std::uint64_t> expected_block_number) const {
    return session_->save_if(std::move(checkpoint), expected_block_number);
}

Task<Result<void>> PostgresCheckpointStore::delete_(std::string_view chain_id,
                                                    std::string_view indexer_id) const {
    return session_->erase(std::string(chain_id), std::string(indexer_id));
}

Task<Result<void>> PostgresCheckpointStore::write_beside(const PgBatch& batch,
                                                        CheckpointChange change) const {
    return session_->write_beside(batch, std::move(change));
}

std::string PostgresCheckpointStore::describe() const { return session_->description(); }

}  // namespace vorlane
