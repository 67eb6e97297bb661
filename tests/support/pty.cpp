#include "tests/support/pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace testing_support {
namespace {

void MakeRaw(int fd) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0) return;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
}

} // namespace

TestPty::TestPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error(std::string("no pty: ") + std::strerror(errno));
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        throw std::runtime_error(std::string("ptsname: ") + std::strerror(errno));
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw std::runtime_error(std::string("pty slave: ") + std::strerror(errno));
    MakeRaw(master_);
    MakeRaw(slave_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

TestPty::~TestPty() { HangUp(); }

void TestPty::Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error(std::string("pty write: ") + std::strerror(errno));
        pollfd p{master_, POLLOUT, 0};
        if (poll(&p, 1, 2000) == 0) throw std::runtime_error("pty write: the line takes nothing");
    }
}

std::string TestPty::Read(std::size_t count, int timeoutMs) {
    std::string out;
    char buf[65536];
    while (out.size() < count) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.append(buf, std::size_t(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    return out;
}

void TestPty::HangUp() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
}

LockHolder::LockHolder(const std::string& path) {
    int ready[2], go[2];
    if (pipe(ready) != 0) return;
    if (pipe(go) != 0) {
        close(ready[0]);
        close(ready[1]);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        close(go[1]);
        close(ready[0]);
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(go[0], &c, 1);
        _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    goFd_ = go[1];
    char ok = 'n';
    held_ = pid_ > 0 && read(ready[0], &ok, 1) == 1 && ok == 'y';
    close(ready[0]);
}

LockHolder::~LockHolder() { Release(); }

void LockHolder::Release() {
    if (goFd_ >= 0) close(goFd_);
    goFd_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
    held_ = false;
}

} // namespace testing_support
