#pragma once

// A small coroutine task bound to the main thread: an upload reads as a list
// of steps, and gives the thread up at each co_await (a pause, the wait for
// the update command to go out, the boot-drive poll, the programmer run on a
// worker thread) so the window keeps drawing.
//
// Work that must run off the main thread goes there this way:
// `co_await onWorkerThread(fn)` inside a Task runs fn on Qt's thread pool and
// resumes the task on the main thread with its result. Anything else that has
// to reach the main thread from another thread posts with postToMainThread
// (mainthread.h). Only the MIDI service keeps a thread of its own, owned by
// it and joined when it goes, for the platform calls that may wait.

#include "base/mainthread.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

template <typename T = void>
class Task;

namespace taskdetail {

struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;
    bool detached = false;

    std::suspend_always initial_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }

    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <typename P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept
        {
            PromiseBase &promise = self.promise();
            if (promise.continuation)
                return promise.continuation;
            if (promise.detached)
                self.destroy(); // nobody will ever look at the result
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
};

// What the body returned, kept until the awaiting side takes it.
template <typename T>
struct Result {
    std::optional<T> value;
    template <typename U>
    void return_value(U &&v) { value.emplace(std::forward<U>(v)); }
    T take() { return std::move(*value); }
};

template <>
struct Result<void> {
    void return_void() {}
    void take() {}
};

template <typename T>
struct Promise : PromiseBase, Result<T> {
    Task<T> get_return_object() { return Task<T>(std::coroutine_handle<Promise>::from_promise(*this)); }
};

} // namespace taskdetail

// Lazy: nothing runs until the task is awaited or started with startDetached().
template <typename T>
class [[nodiscard]] Task {
public:
    using promise_type = taskdetail::Promise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    explicit Task(Handle h) : m_handle(h) {}
    Task(Task &&other) noexcept : m_handle(std::exchange(other.m_handle, {})) {}
    ~Task()
    {
        if (m_handle)
            m_handle.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept
    {
        m_handle.promise().continuation = awaiting;
        return m_handle;
    }
    T await_resume()
    {
        promise_type &promise = m_handle.promise();
        if (promise.error)
            std::rethrow_exception(promise.error);
        return promise.take();
    }

    // Starts the task and lets it run to its end on its own; its frame frees
    // itself when it finishes. An error escaping it is dropped, so the
    // task's body must catch what it wants reported.
    friend void startDetached(Task &&task)
    {
        Handle h = std::exchange(task.m_handle, {});
        h.promise().detached = true;
        h.resume();
    }

private:
    Handle m_handle;
};

// co_await pauseFor(1s): resumes from the main thread's event loop once the
// time has passed, without blocking the thread in between.
class pauseFor {
public:
    explicit pauseFor(std::chrono::milliseconds duration) : m_duration(duration) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const
    {
        QTimer::singleShot(m_duration, Qt::PreciseTimer, QCoreApplication::instance(),
                           [h] { h.resume(); });
    }
    void await_resume() const noexcept {}

private:
    std::chrono::milliseconds m_duration;
};

// co_await onWorkerThread(fn): runs fn on a pool thread and resumes on the
// main thread with its result (fn returns one), or rethrows what it threw there.
template <typename F>
class onWorkerThread {
public:
    using Result = std::invoke_result_t<F>;

    explicit onWorkerThread(F work) : m_work(std::move(work)) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h)
    {
        QThreadPool::globalInstance()->start([this, h] {
            try {
                m_result.emplace(m_work());
            } catch (...) {
                m_error = std::current_exception();
            }
            // The awaiting frame (and this awaiter in it) stays suspended
            // until the main thread resumes it, so nothing here is touched
            // by two threads at once.
            postToMainThread([h] { h.resume(); });
        });
    }
    Result await_resume()
    {
        if (m_error)
            std::rethrow_exception(m_error);
        return std::move(*m_result);
    }

private:
    F m_work;
    std::optional<Result> m_result;
    std::exception_ptr m_error;
};
