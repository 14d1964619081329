#include <sched.h>
#include <chrono>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "vorlane/runtime.hpp"

namespace vorlane {
namespace {

namespace fs = std::filesystem;

constexpr const char* kNestedMessage =
    "Cannot start a runtime from within a runtime. This happens because a function attempted "
    "to block the current thread while the thread is being used to drive asynchronous tasks.";

// The processors this process may run on, as the OS reports them.
std::size_t expected_workers() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

std::size_t thread_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++n;
    return n;
}

std::size_t threads_named(const std::string& name) {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++n;
    }
    return n;
}

// Counts open descriptors whose /proc link reads exactly `target`, e.g.
// "anon_inode:[eventpoll]".
std::size_t fds_of_kind(const std::string& target) {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto link = fs::read_symlink(entry.path(), ec);
        if (!ec && link.string() == target) ++n;
    }
    return n;
}

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Sanitizer runtimes may start a helper thread on the first thread
        // creation; make that happen before any baseline is taken.
        std::thread([] {}).join();
    }
};

// The thread count once it is `expected` or 2 s have passed: a joined thread
// can still be listed in /proc for a moment (the kernel wakes the joiner
// before it has removed the task).
std::size_t settled_thread_count(std::size_t expected) {
    for (int i = 0; i < 200 && thread_count() != expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return thread_count();
}

TEST_F(RuntimeTest, StartsOneNamedWorkerPerProcessorAndJoinsThemAll) {
    const std::size_t before = thread_count();
    {
        Runtime rt;
        EXPECT_EQ(rt.worker_count(), expected_workers());
        EXPECT_GE(rt.worker_count(), 1U);
        EXPECT_EQ(thread_count(), before + expected_workers());
        // Workers name themselves once they run; give them a moment.
        for (int i = 0; i < 200 && threads_named("vorlane-worker") != expected_workers(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(threads_named("vorlane-worker"), expected_workers());
    }
    EXPECT_EQ(settled_thread_count(before), before);
    EXPECT_EQ(threads_named("vorlane-worker"), 0U);
}

TEST_F(RuntimeTest, EventQueueAndWakeUpDescriptorExistOnceBuiltAndTimersNeedNone) {
    const std::size_t epolls = fds_of_kind("anon_inode:[eventpoll]");
    const std::size_t eventfds = fds_of_kind("anon_inode:[eventfd]");
    const std::size_t timers = fds_of_kind("anon_inode:[timerfd]");
    {
        Runtime rt;
        EXPECT_EQ(fds_of_kind("anon_inode:[eventpoll]"), epolls + 1);
        EXPECT_EQ(fds_of_kind("anon_inode:[eventfd]"), eventfds + 1);
        EXPECT_EQ(fds_of_kind("anon_inode:[timerfd]"), timers);
        // A timer still fires, on the epoll_wait timeout.
        asio::steady_timer timer(rt.io_context(), std::chrono::milliseconds(5));
        std::promise<std::chrono::steady_clock::time_point> fired;
        const auto start = std::chrono::steady_clock::now();
        timer.async_wait([&](const std::error_code&) { fired.set_value(std::chrono::steady_clock::now()); });
        EXPECT_GE(fired.get_future().get() - start, std::chrono::milliseconds(5));
    }
    EXPECT_EQ(fds_of_kind("anon_inode:[eventpoll]"), epolls);
    EXPECT_EQ(fds_of_kind("anon_inode:[eventfd]"), eventfds);
}

TEST_F(RuntimeTest, ExplicitShutdownJoinsWorkersAndIsIdempotent) {
    const std::size_t before = thread_count();
    Runtime rt;
    rt.shutdown();
    EXPECT_EQ(settled_thread_count(before), before);
    rt.shutdown();
    EXPECT_EQ(thread_count(), before);
}

Task<std::thread::id> current_thread_id() { co_return std::this_thread::get_id(); }

Task<int> answer() { co_return 42; }

Task<int> fails() {
    throw std::invalid_argument("task failed");
    co_return 0;
}

Task<bool> reports_in_context() { co_return Runtime::in_context(); }

TEST_F(RuntimeTest, BlockOnRunsTheTaskOnTheCallingThread) {
    Runtime rt;
    EXPECT_EQ(rt.block_on(answer()), 42);
    EXPECT_EQ(rt.block_on(current_thread_id()), std::this_thread::get_id());
    EXPECT_TRUE(rt.block_on(reports_in_context()));
    EXPECT_FALSE(Runtime::in_context());
}

TEST_F(RuntimeTest, BlockOnRethrowsTheTaskExceptionAndLeavesTheContext) {
    Runtime rt;
    try {
        (void)rt.block_on(fails());
        FAIL() << "expected an exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "task failed");
    }
    EXPECT_FALSE(Runtime::in_context());
    EXPECT_EQ(rt.block_on(answer()), 42);
}

Task<std::string> nested_block_on(Runtime& inner) {
    try {
        (void)inner.block_on(answer());
    } catch (const RuntimeFault& e) {
        co_return e.what();
    }
    co_return "no fault";
}

TEST_F(RuntimeTest, NestedBlockOnIsAFault) {
    Runtime rt;
    EXPECT_EQ(rt.block_on(nested_block_on(rt)), kNestedMessage);
    // A second, independent runtime is refused just the same.
    Runtime other;
    EXPECT_EQ(rt.block_on(nested_block_on(other)), kNestedMessage);
    EXPECT_EQ(rt.block_on(answer()), 42);
}

TEST_F(RuntimeTest, WorkersCannotBlockOnOrShutDownTheirRuntime) {
    Runtime rt;
    std::promise<std::string> block_on_result;
    std::promise<std::string> shutdown_result;
    asio::post(rt.io_context(), [&] {
        try {
            (void)rt.block_on(answer());
            block_on_result.set_value("no fault");
        } catch (const RuntimeFault& e) {
            block_on_result.set_value(e.what());
        }
        try {
            rt.shutdown();
            shutdown_result.set_value("no fault");
        } catch (const RuntimeFault& e) {
            shutdown_result.set_value(e.what());
        }
    });
    EXPECT_EQ(block_on_result.get_future().get(), kNestedMessage);
    EXPECT_EQ(shutdown_result.get_future().get(),
              "Cannot shut down a runtime from one of its own worker threads.");
}

TEST_F(RuntimeTest, DestroyedFromItsOwnHandlerStopsWithoutThrowing) {
    const std::size_t before = thread_count();
    auto rt = std::make_unique<Runtime>();
    std::promise<void> posted;
    std::promise<void> destroyed;
    asio::post(rt->io_context(), [&] {
        posted.get_future().wait();  // this thread's post() has let go of the loop
        rt.reset();                  // ~Runtime on one of its workers
        destroyed.set_value();
    });
    posted.set_value();
    destroyed.get_future().get();
    EXPECT_EQ(rt, nullptr);
    // The worker that ran the handler exits on its own once it returns.
    for (int i = 0; i < 500 && thread_count() != before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(thread_count(), before);
}

// Lowers the soft descriptor limit to the lowest free descriptor number, so
// the next descriptor the process asks for fails with EMFILE; restores it on
// scope exit.
class DescriptorLimit {
public:
    DescriptorLimit() {
        EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &saved_), 0);
        const int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        EXPECT_GE(lowest_free, 0);
        ::close(lowest_free);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(lowest_free);
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    ~DescriptorLimit() { EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved_), 0); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

private:
    rlimit saved_{};
};

TEST_F(RuntimeTest, DescriptorExhaustionIsABuildErrorThatLeavesNothingBehind) {
    // Exercise, before descriptors run out, every polymorphic type the
    // failure path touches. Under UBSan this warms the dynamic-type cache: a
    // cold lookup probes memory through a pipe, which cannot be opened while
    // descriptors are exhausted, and would be misreported as an invalid object.
    { Runtime warm_up; }
    try {
        throw std::system_error(std::error_code(EMFILE, std::system_category()), "warm-up");
    } catch (const std::system_error& e) {
        try {
            throw RuntimeBuildError(e.code().value(), e.what());
        } catch (const RuntimeBuildError& built) {
            EXPECT_EQ(built.code().value(), EMFILE);
        }
    }
    const std::size_t threads_before = thread_count();
    const std::size_t epolls_before = fds_of_kind("anon_inode:[eventpoll]");
    int code = 0;
    std::string text;
    {
        DescriptorLimit limit;
        try {
            Runtime rt;
        } catch (const RuntimeBuildError& e) {
            code = e.code().value();
            text = e.code().message();
        }
    }
    EXPECT_EQ(code, EMFILE);
    EXPECT_EQ(code, 24);
    EXPECT_EQ(text, "Too many open files");
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(fds_of_kind("anon_inode:[eventpoll]"), epolls_before);
    // The process is fine afterwards.
    Runtime rt;
    EXPECT_EQ(rt.block_on(answer()), 42);
}

}  // namespace
}  // namespace vorlane
