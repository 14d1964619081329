// Lazy coroutine task.
//
// A Task<T> owns a heap-allocated coroutine frame that does nothing until it
// is first driven, either by `co_await`-ing it from another coroutine or by
// sync_wait(). An exception escaping the body is captured and rethrown to the
// awaiter / sync_wait caller. Destroying a Task that was never driven frees
// its frame, and with it every argument moved into it, without running any
// of its body.
//
// Awaiting starts the task inline. If it finishes before the awaiter has
// finished suspending, the awaiter simply carries on (no resume, no stack
// growth, whatever the optimisation level: loops of a million synchronously
// completing awaits are fine in sanitizer and -O0 builds too). If it
// suspends first, its final suspend point transfers control straight to the
// awaiter (symmetric transfer). One atomic flag decides which side arrived
// second and is therefore the one to continue.
//
// A Task is move-only and may be awaited at most once.
#pragma once

#include <atomic>
#include <cassert>
#include <coroutine>
#include <exception>
#include <optional>
#include <semaphore>
#include <type_traits>
#include <utility>

namespace vorlane {

template <class T>
class Task;

template <class T>
T sync_wait(Task<T> task);

namespace detail {

struct TaskPromiseBase {
    struct FinalAwaiter {
        [[nodiscard]] bool await_ready() const noexcept { return false; }
        template <class Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) const noexcept {
            TaskPromiseBase& p = self.promise();
            // Arriving first means the awaiter is still inside start(); it
            // will see the flag and continue by itself.
            if (!p.handoff.exchange(true, std::memory_order_acq_rel)) {
                return std::noop_coroutine();
            }
            return p.continuation;
        }
        void await_resume() const noexcept {}
    };

    // Runs the task until it first suspends or finishes, with `awaiting` as
    // its continuation. Returns whether `awaiting` must stay suspended (true:
    // the task will resume it when done) or may carry on at once (false).
    // Nothing of either frame is touched after the flag exchange, because a
    // true result may already be racing a resume on another thread.
    bool start(std::coroutine_handle<> self, std::coroutine_handle<> awaiting) noexcept {
        continuation = awaiting;
        self.resume();
        return !handoff.exchange(true, std::memory_order_acq_rel);
    }

    [[nodiscard]] std::suspend_always initial_suspend() const noexcept { return {}; }
    [[nodiscard]] FinalAwaiter final_suspend() const noexcept { return {}; }
    void unhandled_exception() noexcept { exception = std::current_exception(); }

    void rethrow_if_failed() const {
        if (exception) std::rethrow_exception(exception);
    }

    std::coroutine_handle<> continuation = std::noop_coroutine();
    std::exception_ptr exception;
    std::atomic<bool> handoff{false};
};

template <class T>
struct TaskPromise final : TaskPromiseBase {
    Task<T> get_return_object() noexcept;
    void return_value(const T& v) { value.emplace(v); }
    void return_value(T&& v) { value.emplace(std::move(v)); }

    T take() {
        rethrow_if_failed();
        assert(value.has_value());
        return std::move(*value);
    }

    std::optional<T> value;
};

template <>
struct TaskPromise<void> final : TaskPromiseBase {
    Task<void> get_return_object() noexcept;
    void return_void() const noexcept {}
    void take() const { rethrow_if_failed(); }
};

template <class Promise>
struct TaskAwaiter {
    std::coroutine_handle<Promise> task;

    [[nodiscard]] bool await_ready() const noexcept { return task.done(); }
    bool await_suspend(std::coroutine_handle<> awaiting) const noexcept {
        return task.promise().start(task, awaiting);
    }
    decltype(auto) await_resume() const { return task.promise().take(); }
};

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
    static_assert(!std::is_reference_v<T>, "Task<T&> is not supported; return a pointer");

public:
    using promise_type = detail::TaskPromise<T>;
    using value_type = T;

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            destroy();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { destroy(); }

    // False only for a moved-from Task.
    [[nodiscard]] bool valid() const noexcept { return static_cast<bool>(handle_); }

    auto operator co_await() && noexcept {
        assert(handle_);
        return detail::TaskAwaiter<promise_type>{handle_};
    }
    auto operator co_await() & noexcept {
        assert(handle_);
        return detail::TaskAwaiter<promise_type>{handle_};
    }

private:
    friend promise_type;
    template <class U>
    friend U sync_wait(Task<U> task);

    explicit Task(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}

    void destroy() noexcept {
        if (handle_) handle_.destroy();
    }

    std::coroutine_handle<promise_type> handle_;
};

namespace detail {

template <class T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept {
    return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}

// Outermost frame used by sync_wait: runs the task to its end and then
// signals the blocked thread. It neither reads the task's result nor lets
// anything escape, so it cannot fail.
class SyncWaitRoot {
public:
    struct promise_type {
        struct FinalAwaiter {
            [[nodiscard]] bool await_ready() const noexcept { return false; }
            void await_suspend(std::coroutine_handle<promise_type> self) const noexcept {
                // The frame is suspended before the release, so the waiting
                // thread may destroy it as soon as acquire() returns.
                self.promise().done->release();
            }
            void await_resume() const noexcept {}
        };

        SyncWaitRoot get_return_object() noexcept {
            return SyncWaitRoot(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        [[nodiscard]] std::suspend_always initial_suspend() const noexcept { return {}; }
        [[nodiscard]] FinalAwaiter final_suspend() const noexcept { return {}; }
        void return_void() const noexcept {}
        [[noreturn]] void unhandled_exception() const noexcept { std::terminate(); }

        std::binary_semaphore* done = nullptr;
    };

    SyncWaitRoot(SyncWaitRoot&&) = delete;
    ~SyncWaitRoot() { handle_.destroy(); }

    // Drives the root until it completes, blocking while the task is
    // suspended on something that will resume it from another thread.
    void run() {
        std::binary_semaphore done{0};
        handle_.promise().done = &done;
        handle_.resume();
        done.acquire();
    }

private:
    explicit SyncWaitRoot(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
};

// Starts `task` with the root as its continuation; resuming afterwards reads
// nothing, the caller collects the result from the task's promise.
struct StartOnly {
    std::coroutine_handle<> task;
    TaskPromiseBase* promise;

    [[nodiscard]] bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> root) const noexcept {
        return promise->start(task, root);
    }
    void await_resume() const noexcept {}
};

inline SyncWaitRoot sync_wait_root(std::coroutine_handle<> task, TaskPromiseBase* promise) {
    co_await StartOnly{task, promise};
}

}  // namespace detail

// Runs `task` to completion on the calling thread and returns its result (or
// rethrows its exception). If the task suspends waiting for another thread,
// the calling thread blocks until it is resumed and finishes.
template <class T>
T sync_wait(Task<T> task) {
    assert(task.handle_);
    {
        auto root = detail::sync_wait_root(task.handle_, &task.handle_.promise());
        root.run();
    }
    return task.handle_.promise().take();
}

}  // namespace vorlane
