#include "vorlane/runtime.hpp"

#include <pthread.h>
#include <sched.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vorlane {

namespace {

// Non-null while the thread is a worker or is inside block_on.
thread_local const Runtime* current_runtime = nullptr;
// Set once on each worker thread: the runtime that owns it.
thread_local const Runtime* worker_of = nullptr;

constexpr const char* kNestedMessage =
    "Cannot start a runtime from within a runtime. This happens because a function attempted "
    "to block the current thread while the thread is being used to drive asynchronous tasks.";

// One worker per logical processor the OS lets this process run on.  The
// affinity mask is one system call; counting online processors instead reads
// a sysfs file, several times slower, on every runtime build.
std::size_t worker_target() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

}  // namespace

RuntimeBuildError::RuntimeBuildError(int os_error, const std::string& what)
    : std::system_error(os_error, std::system_category(), what) {}

namespace detail {

RuntimeContextGuard::RuntimeContextGuard(const Runtime& runtime) {
    if (current_runtime != nullptr) throw RuntimeFault(kNestedMessage);
    current_runtime = &runtime;
}

RuntimeContextGuard::~RuntimeContextGuard() { current_runtime = nullptr; }

}  // namespace detail

struct Runtime::Impl {
    using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

    explicit Impl(const Runtime& owner) {
        const std::size_t n = worker_target();
        try {
            context.emplace(static_cast<int>(n));
            // Building a timer registers the timer service, which creates the
            // epoll reactor (epoll instance, eventfd interrupter, timerfd) and
            // installs it as the scheduler's task. Doing it here makes
            // descriptor exhaustion a construction failure rather than a
            // failure of the first operation that needs the reactor.
            asio::steady_timer probe(*context);
        } catch (const std::system_error& e) {
            throw RuntimeBuildError(e.code().value(), "failed to create the runtime's event loop");
        }

        work.emplace(context->get_executor());
        workers.reserve(n);
        try {
            for (std::size_t i = 0; i < n; ++i) {
                workers.emplace_back([this, rt = &owner] { run_worker(*rt); });
            }
            started = n;
        } catch (const std::system_error& e) {
            stop_and_join();
            throw RuntimeFault(std::string("failed to start a runtime worker thread: ") + e.what());
        }
    }

    ~Impl() { stop_and_join(); }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void run_worker(const Runtime& owner) noexcept {
        // Named from inside: naming another thread goes through /proc, which
        // costs an open and a write per worker on every call.  Best effort: a
        // missing name only affects diagnostics.
        (void)pthread_setname_np(pthread_self(), "vorlane-worker");
        current_runtime = &owner;
        worker_of = &owner;
        // A handler that throws unwinds out of run(); the worker keeps
        // serving the loop until it is stopped.
        for (;;) {
            try {
                context->run();
                return;
            } catch (...) {
            }
        }
    }

    void stop_and_join() noexcept {
        const std::lock_guard lock(shutdown_mutex);
        work.reset();
        if (context) context->stop();
        for (auto& worker : workers) {
            if (worker.joinable()) worker.join();
        }
        workers.clear();
    }

    std::optional<asio::io_context> context;
    std::optional<WorkGuard> work;
    std::vector<std::thread> workers;
    std::size_t started = 0;
    std::mutex shutdown_mutex;
};

Runtime::Runtime() : impl_(std::make_unique<Impl>(*this)) {}

Runtime::~Runtime() { shutdown(); }

void Runtime::shutdown() {
    if (worker_of == this) {
        throw RuntimeFault("Cannot shut down a runtime from one of its own worker threads.");
    }
    impl_->stop_and_join();
}

std::size_t Runtime::worker_count() const noexcept { return impl_->started; }

asio::io_context& Runtime::io_context() noexcept { return *impl_->context; }

bool Runtime::in_context() noexcept { return current_runtime != nullptr; }

}  // namespace vorlane
