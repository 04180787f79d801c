#include "childprocess.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Reads what is there; false once the pipe is at its end.
bool drain(int fd, QByteArray &into)
{
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

} // namespace

ChildProcess::ChildProcess(std::string program, std::vector<std::string> arguments,
                           std::vector<std::string> extraEnvironment)
    : program_(std::move(program)), arguments_(std::move(arguments)),
      extraEnvironment_(std::move(extraEnvironment))
{
}

std::int64_t ChildProcess::monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

ChildProcess::Result ChildProcess::run(std::chrono::milliseconds limit) const
{
    Result result;

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program_.c_str()));
    for (const std::string &a : arguments_)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    std::vector<char *> envp;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const std::string &extra : extraEnvironment_)
            replaced = replaced || entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
        if (!replaced)
            envp.push_back(*e);
    }
    for (const std::string &extra : extraEnvironment_)
        envp.push_back(const_cast<char *>(extra.c_str()));
    envp.push_back(nullptr);

    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        closeFd(out[0]);
        closeFd(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    pid_t pid = -1;
    result.spawnedAtNs = monotonicNs();
    const int spawned = posix_spawnp(&pid, program_.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    closeFd(out[1]);
    closeFd(err[1]);
    if (spawned != 0) {
        closeFd(out[0]);
        closeFd(err[0]);
        return result;
    }
    result.started = true;
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    ::fcntl(err[0], F_SETFL, O_NONBLOCK);

    // A pidfd turns readable the moment the child ends, so the end is seen
    // without polling in slices that would add their own delay.
    int pidFd = int(::syscall(SYS_pidfd_open, pid, 0));
    const std::int64_t deadline = result.spawnedAtNs + std::int64_t(limit.count()) * 1000000;
    bool exited = false;
    while (out[0] >= 0 || err[0] >= 0 || !exited) {
        const std::int64_t left = deadline - monotonicNs();
        if (left <= 0)
            break;
        pollfd fds[3];
        int n = 0;
        if (out[0] >= 0)
            fds[n++] = {out[0], POLLIN, 0};
        if (err[0] >= 0)
            fds[n++] = {err[0], POLLIN, 0};
        const int pidIndex = (!exited && pidFd >= 0) ? n : -1;
        if (pidIndex >= 0)
            fds[n++] = {pidFd, POLLIN, 0};
        // Without a pidfd the end is checked every millisecond.
        const int sliceMs = pidFd >= 0 ? int(left / 1000000) + 1 : 1;
        if (::poll(fds, nfds_t(n), sliceMs) < 0 && errno != EINTR)
            break;
        if (out[0] >= 0 && !drain(out[0], result.standardOutput))
            closeFd(out[0]);
        if (err[0] >= 0 && !drain(err[0], result.standardError))
            closeFd(err[0]);
        if (!exited) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                if (WIFEXITED(status))
                    result.exitCode = WEXITSTATUS(status);
            }
        }
    }
    if (!exited) {
        result.timedOut = true;
        ::kill(pid, SIGKILL);
        // SIGKILL can't be refused, so this wait ends.
        ::waitpid(pid, nullptr, 0);
    }
    closeFd(out[0]);
    closeFd(err[0]);
    closeFd(pidFd);
    return result;
}
