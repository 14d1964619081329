#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <coroutine>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "vorlane/task.hpp"

namespace vorlane {
namespace {

Task<int> set_flag_and_return(bool& ran, int value) {
    ran = true;
    co_return value;
}

Task<int> hold(std::shared_ptr<int> payload, bool& ran) {
    ran = true;
    co_return *payload;
}

Task<int> add_one(int x) { co_return x + 1; }

Task<int> sum_of_chain(int depth) {
    int total = 0;
    for (int i = 0; i < depth; ++i) total += co_await add_one(0);
    co_return total;
}

Task<int> throws_runtime_error(std::string what) {
    throw std::runtime_error(what);
    co_return 0;
}

Task<int> awaits_thrower() { co_return co_await throws_runtime_error("inner failed") + 1; }

Task<std::string> recovers_from_thrower() {
    try {
        co_await throws_runtime_error("inner failed");
    } catch (const std::runtime_error& e) {
        co_return std::string("caught: ") + e.what();
    }
    co_return "not reached";
}

Task<void> append(std::string& out, std::string text) {
    out += text;
    co_return;
}

Task<void> append_twice(std::string& out) {
    co_await append(out, "a");
    co_await append(out, "b");
}

Task<void> void_thrower() {
    throw std::logic_error("void failed");
    co_return;
}

TEST(TaskTest, DoesNothingUntilDriven) {
    bool ran = false;
    Task<int> task = set_flag_and_return(ran, 5);
    EXPECT_FALSE(ran);
    EXPECT_EQ(sync_wait(std::move(task)), 5);
    EXPECT_TRUE(ran);
}

TEST(TaskTest, DiscardedTaskFreesItsArgumentsWithoutRunning) {
    auto payload = std::make_shared<int>(9);
    bool ran = false;
    {
        Task<int> task = hold(payload, ran);
        EXPECT_EQ(payload.use_count(), 2);  // the frame owns a copy
    }
    EXPECT_EQ(payload.use_count(), 1);
    EXPECT_FALSE(ran);
}

TEST(TaskTest, AwaitedTasksPassValuesBack) {
    EXPECT_EQ(sync_wait(sum_of_chain(3)), 3);
}

TEST(TaskTest, LongSynchronousChainsDoNotGrowTheStack) {
    // Each child completes synchronously. If finishing a child resumed its
    // awaiter from inside the child's frame, every iteration would nest
    // another resume() frame and overflow the stack (unless the compiler
    // happened to turn the resume into a tail call).
    EXPECT_EQ(sync_wait(sum_of_chain(1'000'000)), 1'000'000);
}

TEST(TaskTest, ExceptionsPropagateThroughAwaitToTheDriver) {
    try {
        (void)sync_wait(awaits_thrower());
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "inner failed");
    }
}

TEST(TaskTest, AwaiterCanCatchAnInnerException) {
    EXPECT_EQ(sync_wait(recovers_from_thrower()), "caught: inner failed");
}

TEST(TaskTest, VoidTasksRunInOrderAndRethrow) {
    std::string out;
    sync_wait(append_twice(out));
    EXPECT_EQ(out, "ab");
    EXPECT_THROW(sync_wait(void_thrower()), std::logic_error);
}

// Suspends the awaiting coroutine and resumes it from a new thread.
struct ResumeOnOtherThread {
    std::thread* thread;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const {
        *thread = std::thread([h] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            h.resume();
        });
    }
    void await_resume() const noexcept {}
};

Task<std::thread::id> hop(std::thread& thread) {
    co_await ResumeOnOtherThread{&thread};
    co_return std::this_thread::get_id();
}

TEST(TaskTest, SyncWaitBlocksUntilAnExternallyResumedTaskFinishes) {
    std::thread resumer;
    const std::thread::id finished_on = sync_wait(hop(resumer));
    ASSERT_TRUE(resumer.joinable());
    EXPECT_EQ(finished_on, resumer.get_id());
    EXPECT_NE(finished_on, std::this_thread::get_id());
    resumer.join();
}

}  // namespace
}  // namespace vorlane
