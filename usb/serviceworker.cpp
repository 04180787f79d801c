#include "usb/serviceworker.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// The signal that breaks a blocked call of the worker. SIGURG is ignored by
// default, so a stray one harms nothing, and the handler is installed
// without SA_RESTART, so the interrupted call returns EINTR.
constexpr int interruptSignal = SIGURG;

void ignoreInterrupt(int) {}

void installInterruptHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = ignoreInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(interruptSignal, &action, nullptr);
    });
}

} // namespace

ServiceWorker::ServiceWorker()
    : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    installInterruptHandler();
    thread_ = std::thread([this] { run(); });
}

ServiceWorker::~ServiceWorker()
{
    stop();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void ServiceWorker::post(Job job)
{
    {
        std::lock_guard lock(mutex_);
        if (!finished_) {
            jobs_.push_back(std::move(job));
            job = nullptr;
        }
    }
    if (job)
        job();
    else
        wake();
}

void ServiceWorker::watch(std::vector<pollfd> fds, Job onInput)
{
    {
        std::lock_guard lock(mutex_);
        watched_ = std::move(fds);
        onInput_ = std::move(onInput);
    }
    wake();
}

bool ServiceWorker::stopping() const
{
    std::lock_guard lock(mutex_);
    return stopping_;
}

void ServiceWorker::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void ServiceWorker::stop(std::chrono::milliseconds grace)
{
    if (!thread_.joinable())
        return;
    std::unique_lock lock(mutex_);
    stopping_ = true;
    lock.unlock();
    wake();
    lock.lock();
    if (!finishedChanged_.wait_for(lock, grace, [this] { return finished_; })) {
        // Still inside a platform call that does not return (a server that
        // stopped answering): break it, and any call after it.
        do
            pthread_kill(thread_.native_handle(), interruptSignal);
        while (!finishedChanged_.wait_for(lock, std::chrono::milliseconds(50), [this] { return finished_; }));
    }
    lock.unlock();
    thread_.join();
}

void ServiceWorker::run()
{
    for (;;) {
        Job job;
        std::vector<pollfd> fds;
        {
            std::lock_guard lock(mutex_);
            if (!jobs_.empty()) {
                job = std::move(jobs_.front());
                jobs_.pop_front();
            } else if (stopping_) {
                finished_ = true;
                finishedChanged_.notify_all();
                return;
            } else {
                fds = watched_;
            }
        }
        if (job) {
            job();
            continue;
        }

        // Nothing queued: sleep until a post, a stop or watched input.
        fds.push_back({wakeFd_, POLLIN, 0});
        if (::poll(fds.data(), nfds_t(fds.size()), -1) < 0)
            continue; // EINTR: look at the queue again
        std::uint64_t count;
        while (::read(wakeFd_, &count, sizeof count) > 0) {
        }
        bool input = false;
        for (std::size_t i = 0; i + 1 < fds.size(); ++i)
            input = input || (fds[i].revents != 0);
        if (input) {
            Job onInput;
            {
                std::lock_guard lock(mutex_);
                onInput = onInput_;
            }
            if (onInput)
                onInput();
        }
    }
}
