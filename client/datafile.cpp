#include "client/datafile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/boxes.h"
#include "platform/cp1252.h"
#include "platform/datadir.h"
#include "platform/keepaside.h"

namespace datafile {
namespace {
WriteHook g_write;
StepHook g_step;
std::set<std::string> g_failing;   // paths whose last save failed and was reported

void Step(const char* name) {
    if (g_step) g_step(name);
}

std::string Reason(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

std::string DirOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes all bytes through the hook; false with errno set on failure.
bool WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        long n = g_write ? g_write(fd, bytes.data() + done, bytes.size() - done)
                         : static_cast<long>(::write(fd, bytes.data() + done,
                                                     bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool SyncDir(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Writes a new file at path (flags decide create/exclusive) and flushes it.
bool WriteNewFile(const std::string& path, std::string_view bytes, int flags,
                  std::string* error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
    if (fd < 0) {
        if (error) *error = Reason("create");
        return false;
    }
    const char* failed = nullptr;
    int err = 0;
    Step("write");
    if (!WriteAll(fd, bytes)) {
        failed = "write";
        err = errno;
    } else {
        Step("fsync");
        if (::fsync(fd) != 0) {
            failed = "flush";
            err = errno;
        }
    }
    if (::close(fd) != 0 && !failed) {
        failed = "close";
        err = errno;
    }
    if (!failed) return true;
    errno = err;
    if (error) *error = Reason(failed);
    ::unlink(path.c_str());
    errno = err;
    return false;
}

// Makes "<base>.BAK" beside path a copy of path (a hard link when the file system allows),
// replacing an older backup in one step.
void Backup(const std::string& path) {
    std::string dir = DirOf(path);
    std::string bak = dir + "/" + BackupName(NameOf(path));
    std::string tmp = bak + ".tmp";
    ::unlink(tmp.c_str());
    if (::link(path.c_str(), tmp.c_str()) != 0) {
        std::string bytes;
        if (!ReadFile(path, bytes) || !WriteNewFile(tmp, bytes, O_TRUNC, nullptr)) return;
    }
    if (::rename(tmp.c_str(), bak.c_str()) != 0) ::unlink(tmp.c_str());
}
} // namespace

WriteHook SetWriteHook(WriteHook hook) {
    WriteHook previous = std::move(g_write);
    g_write = std::move(hook);
    return previous;
}

StepHook SetStepHook(StepHook hook) {
    StepHook previous = std::move(g_step);
    g_step = std::move(hook);
    return previous;
}

std::string BackupName(const std::string& fileName) {
    std::string name = NameOf(fileName);
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return name + ".BAK";
}

bool SafeWrite(const std::string& path, std::string_view bytes, std::string* error) {
    const std::string tmp = path + ".tmp";
    if (!WriteNewFile(tmp, bytes, O_TRUNC, error)) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        Step("backup");
        Backup(path);
    }
    Step("rename");
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        if (error) *error = Reason("rename");
        ::unlink(tmp.c_str());
        return false;
    }
    Step("dirsync");
    SyncDir(DirOf(path));
    return true;
}

bool ReadFile(const std::string& path, std::string& bytes, bool* exists) {
    bytes.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (exists) *exists = fd >= 0 || errno != ENOENT;
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string KeepAside(const std::string& path, std::string_view bytes, std::string* error) {
    return platform::KeepAside(
        path,
        [&](const std::string& name, std::string* why) {
            return WriteNewFile(name, bytes, O_EXCL, why);
        },
        error);
}

void ReportSaveFailure(const std::string& path, const std::string& reason) {
    if (!g_failing.insert(path).second) return;
    platform::MessageBox("The file \"" + platform::Utf8ToCp1252(path) +
                             "\" could not be saved (" + platform::Utf8ToCp1252(reason) +
                             ").",
                         "Error");
}

void ReportSaveSuccess(const std::string& path) { g_failing.erase(path); }

bool SaveDataFile(const std::string& name, std::string_view bytes, std::string* pending) {
    const std::string path = platform::DataPath(name);
    std::string reason, copy;
    if (pending && *pending == path) {
        std::string old;
        bool exists = false;
        if (ReadFile(path, old, &exists)) {
            copy = KeepAside(path, old, &reason);
            if (copy.empty()) {
                ReportSaveFailure(path, "no copy of the file that failed to load could be "
                                        "made: " + reason);
                return false;
            }
        } else if (exists) {
            ReportSaveFailure(path, "the file that failed to load can't be read");
            return false;
        }
        pending->clear();
    }
    if (SafeWrite(path, bytes, &reason)) {
        ReportSaveSuccess(path);
        return true;
    }
    if (!copy.empty()) {   // the file stands as it was: the next save keeps it
        ::unlink(copy.c_str());
        *pending = path;
    }
    ReportSaveFailure(path, reason);
    return false;
}

} // namespace datafile
