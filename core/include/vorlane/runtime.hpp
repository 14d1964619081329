// Task runtime: an I/O event loop with a pool of worker threads, and a way
// to drive a Task to completion from an ordinary thread.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "vorlane/task.hpp"

namespace asio {
class io_context;
}

namespace vorlane {

// The OS refused a resource the runtime needs to exist (event queue,
// wake-up descriptor). code() is the OS error: code().value() is the errno
// and code().message() its strerror text.
class RuntimeBuildError : public std::system_error {
public:
    RuntimeBuildError(int os_error, const std::string& what);
};

// Internal fault of the runtime: a worker thread could not be started, or a
// runtime was entered from a thread that is already inside one.
class RuntimeFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Runtime;

namespace detail {

// Marks the calling thread as driving tasks for the duration of a block_on.
// Throws RuntimeFault if the thread is already inside a runtime context.
class RuntimeContextGuard {
public:
    explicit RuntimeContextGuard(const Runtime& runtime);
    ~RuntimeContextGuard();
    RuntimeContextGuard(const RuntimeContextGuard&) = delete;
    RuntimeContextGuard& operator=(const RuntimeContextGuard&) = delete;
};

}  // namespace detail

class Runtime {
public:
    // Creates the event loop (its epoll instance and wake-up descriptor
    // exist when this returns; timers need no descriptor of their own) and
    // starts one idle worker per logical processor the OS reports, at least
    // one.
    // Throws RuntimeBuildError if the event loop cannot be created and
    // RuntimeFault if a worker cannot be started; nothing is left running in
    // either case.
    Runtime();
    // Stops the event loop and joins every worker; never throws. Destroyed
    // from one of its own handlers, it joins the other workers and leaves
    // the calling one to finish that handler, free the loop and exit.
    ~Runtime();

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    Runtime(Runtime&&) = delete;
    Runtime& operator=(Runtime&&) = delete;

    // Drives `task` to completion on the calling thread (never on a worker)
    // and returns its result or rethrows its exception. Throws RuntimeFault,
    // without touching the task, if the calling thread is already inside a
    // runtime context (a nested block_on, or a call from a worker).
    template <class T>
    T block_on(Task<T> task) {
        detail::RuntimeContextGuard guard(*this);
        return sync_wait(std::move(task));
    }

    // Stops the event loop and joins every worker. Idempotent; after it
    // returns no thread of this runtime is left. Throws RuntimeFault when
    // called from one of this runtime's own workers.
    void shutdown();

    // Number of worker threads started by the constructor.
    [[nodiscard]] std::size_t worker_count() const noexcept;

    // The event loop the workers run, for I/O objects and posted work.
    [[nodiscard]] asio::io_context& io_context() noexcept;

    // True while the calling thread is a worker of some runtime or is inside
    // a block_on.
    [[nodiscard]] static bool in_context() noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vorlane
