// Driving a task on the calling thread by running an io_context there.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <chrono>
#include <coroutine>
#include <exception>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include "vorlane/task.hpp"

namespace vorlane {

namespace detail {

struct LoopSignal {
    asio::io_context* io;
    std::thread::id driver;
    std::atomic<bool> done{false};
};

// Outermost frame of run_on: awaits the task, keeps its outcome in the
// caller's storage and raises the signal when finished.
class LoopRoot {
public:
    struct promise_type {
        struct FinalAwaiter {
            [[nodiscard]] bool await_ready() const noexcept { return false; }
            void await_suspend(std::coroutine_handle<promise_type> self) const noexcept {
                LoopSignal* signal = self.promise().signal;
                if (std::this_thread::get_id() == signal->driver) {
                    signal->done.store(true, std::memory_order_relaxed);
                    return;
                }
                // Finished on another thread that also runs the loop. The flag
                // is raised by a handler, so the driver is still inside
                // run_on (and the loop alive) when it is posted; nothing is
                // touched after the post.
                asio::post(*signal->io,
                           [signal] { signal->done.store(true, std::memory_order_release); });
            }
            void await_resume() const noexcept {}
        };

        LoopRoot get_return_object() noexcept {
            return LoopRoot(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        [[nodiscard]] std::suspend_always initial_suspend() const noexcept { return {}; }
        [[nodiscard]] FinalAwaiter final_suspend() const noexcept { return {}; }
        void return_void() const noexcept {}
        [[noreturn]] void unhandled_exception() const noexcept { std::terminate(); }

        LoopSignal* signal = nullptr;
    };

    LoopRoot(LoopRoot&&) = delete;
    ~LoopRoot() { handle_.destroy(); }

    void start(LoopSignal& signal) {
        handle_.promise().signal = &signal;
        handle_.resume();
    }

private:
    explicit LoopRoot(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
};

template <class T>
using LoopValue = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

template <class T>
LoopRoot loop_root(Task<T>& task, std::optional<LoopValue<T>>& value, std::exception_ptr& error) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await task;
            value.emplace();
        } else {
            value.emplace(co_await task);
        }
    } catch (...) {
        error = std::current_exception();
    }
}

}  // namespace detail

// Drives `task` to completion on the calling thread, running `io`'s ready
// handlers there (the reactor waits in epoll on this thread) until the task
// has finished; returns its result or rethrows its exception. No other thread
// is started or needed. One thread at a time per io_context; a stopped
// io_context is restarted. An exception thrown by some other handler of `io`
// propagates out, leaving the task unfinished (it is destroyed with `task`).
//
// Handlers of anything else on `io` that become ready meanwhile run here too.
// Should other threads run `io` as well and the task finish on one of them,
// the caller notices within a few milliseconds.
template <class T>
T run_on(asio::io_context& io, Task<T> task) {
    detail::LoopSignal signal{&io, std::this_thread::get_id()};
    std::optional<detail::LoopValue<T>> value;
    std::exception_ptr error;
    {
        auto root = detail::loop_root(task, value, error);
        root.start(signal);
        if (!signal.done.load(std::memory_order_acquire)) {
            // Keeps run_one_for from returning at once when the task waits on
            // something that is not an operation of `io`.
            const auto work = asio::make_work_guard(io);
            while (!signal.done.load(std::memory_order_acquire)) {
                if (io.stopped()) io.restart();
                io.run_one_for(std::chrono::milliseconds(20));
            }
        }
    }
    if (error) std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>) return std::move(*value);
}

}  // namespace vorlane
