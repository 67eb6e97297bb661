#include "platform/process.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/clock.h"

extern char** environ;

namespace platform {
namespace {

int PidFdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args) {
    if (pid_ > 0 && !Finished()) {
        error_ = "a program is still running";
        return false;
    }
    error_.clear();
    exitCode_ = 259;
    pid_ = -1;
    std::vector<std::string> argv0{program};
    argv0.insert(argv0.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv0) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    // posix_spawn reports a program that cannot be run (missing, not executable) itself.
    int err = program.find('/') != std::string::npos
                  ? posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ)
                  : posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (err != 0) {
        error_ = program + ": " + std::strerror(err);
        return false;
    }
    pid_ = pid;
    return true;
}

bool ChildProcess::Finished() {
    if (pid_ <= 0) return true;
    if (exitCode_ != 259) return true;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    if (r < 0) {
        exitCode_ = -1;   // reaped elsewhere; the code is lost
        return true;
    }
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool ChildProcess::Wait(int timeoutMs) {
    if (Finished()) return true;
    int pidfd = PidFdOpen(pid_);
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int r;
        do {
            r = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
        } while (r < 0 && errno == EINTR);
        close(pidfd);
        return Finished();
    }
    // No pidfd: look again at a modest interval.
    const int64_t start = clock().NowMs();
    while (!Finished()) {
        if (timeoutMs >= 0 && clock().NowMs() - start >= timeoutMs) return false;
        clock().SleepMs(20);
    }
    return true;
}

} // namespace platform
