#include "platform/keepaside.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void SyncDirOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Copies from to a new file to, byte for byte; errno tells why it failed.
bool CopyFile(const std::string& from, const std::string& to, std::string* error) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (in < 0) {
        if (error) *error = Reason("open");
        return false;
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        int err = errno;
        if (error) *error = Reason("create");
        ::close(in);
        errno = err;
        return false;
    }
    const char* failed = nullptr;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = "read";
        if (n <= 0) break;
        for (ssize_t done = 0; done < n && !failed;) {
            ssize_t w = ::write(out, buf + done, std::size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) failed = "write";
            else done += w;
        }
        if (failed) break;
    }
    if (!failed && ::fsync(out) != 0) failed = "flush";
    int err = errno;
    if (::close(out) != 0 && !failed) {
        failed = "close";
        err = errno;
    }
    ::close(in);
    if (!failed) return true;
    ::unlink(to.c_str());
    errno = err;
    if (error) *error = Reason(failed);
    return false;
}

} // namespace

std::string KeepAside(const std::string& path, const MakeCopyFn& make, std::string* error) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string base = path + ".bad-" + stamp;
    for (int n = 1; n < 1000; ++n) {
        std::string candidate = n == 1 ? base : base + "-" + std::to_string(n);
        std::string reason;
        errno = 0;
        if (make(candidate, &reason)) {
            SyncDirOf(candidate);
            return candidate;
        }
        if (errno != EEXIST) {
            if (error) *error = reason;
            return {};
        }
    }
    if (error) *error = "no free name for a copy";
    return {};
}

std::string KeepFileAside(const std::string& path, std::string* error) {
    return KeepAside(
        path,
        [&](const std::string& name, std::string* why) {
            if (::link(path.c_str(), name.c_str()) == 0) return true;
            if (errno == EEXIST) return false;
            return CopyFile(path, name, why);
        },
        error);
}

} // namespace platform
