#include "vorlane/runtime.hpp"

#include <pthread.h>
#include <sched.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
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

    // A non-const pointer: the owner is still being constructed, and GCC 16
    // warns that what a const pointer or reference to it designates may be
    // read uninitialized.
    explicit Impl(Runtime* runtime) : owner(runtime) {
        const std::size_t n = worker_target();
        try {
            context.emplace(static_cast<int>(n));
            // Building a timer registers the timer service, which creates the
            // epoll reactor (epoll instance, eventfd interrupter) and installs
            // it as the scheduler's task. Doing it here makes descriptor
            // exhaustion a construction failure rather than a failure of the
            // first operation that needs the reactor.
            asio::steady_timer probe(*context);
        } catch (const std::system_error& e) {
            throw RuntimeBuildError(e.code().value(), "failed to create the runtime's event loop");
        }

        work.emplace(context->get_executor());
        workers.reserve(n);
        // Plain POSIX threads: a worker gets everything it needs from the
        // Impl, so nothing is allocated for it to free on its own thread
        // (as std::thread's start-up state would be, with the allocator's
        // per-thread cache set up and torn down on every call).
        for (std::size_t i = 0; i < n; ++i) {
            pthread_t thread;
            if (const int err = pthread_create(&thread, nullptr, &worker_main, this); err != 0) {
                stop_and_join();
                throw RuntimeFault(std::string("failed to start a runtime worker thread: ") +
                                   std::system_category().message(err));
            }
            workers.push_back(thread);
        }
        started = n;
    }

    ~Impl() { stop_and_join(); }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    static void* worker_main(void* arg) noexcept {
        auto* self = static_cast<Impl*>(arg);
        self->run_worker();
        // The runtime was destroyed from this worker's own handler: the
        // worker was left running to return from it, and frees what is left.
        if (self->reaper_set && pthread_equal(self->reaper, pthread_self())) delete self;
        return nullptr;
    }

    void run_worker() noexcept {
        // Named from inside: naming another thread goes through /proc, which
        // costs an open and a write per worker on every call.  Best effort: a
        // missing name only affects diagnostics.
        (void)pthread_setname_np(pthread_self(), "vorlane-worker");
        current_runtime = owner;
        worker_of = owner;
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

    // Stops the loop and joins every worker but the calling thread, which
    // is detached when it is one of them (it cannot join itself) and left
    // to delete this Impl.  That choice is recorded before the loop stops,
    // so a worker leaving run() afterwards reads it after it was made.
    void stop_and_join() noexcept {
        const std::lock_guard lock(shutdown_mutex);
        for (pthread_t worker : workers) {
            if (pthread_equal(worker, pthread_self())) {
                reaper = worker;
                reaper_set = true;
            }
        }
        work.reset();
        if (context) context->stop();
        for (pthread_t worker : workers) {
            if (pthread_equal(worker, pthread_self())) {
                pthread_detach(worker);
            } else {
                pthread_join(worker, nullptr);
            }
        }
        workers.clear();
    }

    const Runtime* owner;
    std::optional<asio::io_context> context;
    std::optional<WorkGuard> work;
    std::vector<pthread_t> workers;
    std::size_t started = 0;
    std::mutex shutdown_mutex;
    // The worker that outlives the runtime and deletes this Impl.
    pthread_t reaper{};
    bool reaper_set = false;
};

Runtime::Runtime() : impl_(std::make_unique<Impl>(this)) {}

Runtime::~Runtime() {
    if (worker_of == this) {
        // Destroyed by one of its own handlers: stop, join the other
        // workers, and leave this one to finish its handler and free the
        // loop once run() returns.  Nothing is thrown from here.
        impl_->stop_and_join();
        (void)impl_.release();
        return;
    }
    impl_->stop_and_join();
}

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
