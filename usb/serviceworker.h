#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>

// The one thread a MIDI service owns for the platform calls that may block
// (a server round trip, a kernel drain). Jobs run one at a time, in posting
// order. The owner's destructor calls stop(), which ends the thread within
// a bound: jobs still queued run, and a job stuck in a platform call is
// interrupted, so nothing of the service is left running.
class ServiceWorker {
public:
    using Job = std::function<void()>;

    ServiceWorker();
    ~ServiceWorker();
    ServiceWorker(const ServiceWorker &) = delete;
    ServiceWorker &operator=(const ServiceWorker &) = delete;

    // After stop() the job runs at once, on the caller's thread.
    void post(Job job);
    // Between jobs, also waits for input on `fds` and then calls `onInput`
    // on the worker thread.
    void watch(std::vector<pollfd> fds, Job onInput);
    bool isCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    bool stopping() const;

    // Returns once the thread has ended. After `grace` a thread still busy
    // is interrupted: its blocking system call fails with EINTR, and so does
    // every one it makes after that, every 50 ms, until it has ended.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(500));

private:
    void run();
    void wake();

    mutable std::mutex mutex_;
    std::deque<Job> jobs_;
    std::vector<pollfd> watched_;
    Job onInput_;
    bool stopping_ = false;
    bool finished_ = false;
    std::condition_variable finishedChanged_;
    int wakeFd_ = -1;
    std::thread thread_;
};
