#include "tests/e2e/e2e_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_set>

#include "platform/clock.h"

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {
namespace {

int64_t Now() { return platform::clock().NowMs(); }

struct Spawned {
    int pid = -1;
};

// Starts argv with env. In the child: stdin from /dev/null, stdout and stderr onto the given
// descriptors, the kept descriptors dup'ed into place, the working directory changed, and a
// SIGKILL when this process dies, so no server outlives a crashed test.
int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd,
          int errFd, const std::string& cwd, const std::vector<std::pair<int, int>>& keepFds) {
    if (argv.empty()) throw std::runtime_error("no program to start");
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int report[2];   // exec failure: the child writes errno here
    if (pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(report[0]);
        close(report[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD}) signal(s, SIG_DFL);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(outFd >= 0 ? outFd : devnull, 1);
        dup2(errFd >= 0 ? errFd : devnull, 2);
        for (const auto& [from, to] : keepFds) {
            if (from == to)
                fcntl(to, F_SETFD, 0);
            else
                dup2(from, to);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            const int err = errno;
            [[maybe_unused]] ssize_t n = write(report[1], &err, sizeof err);
            _exit(127);
        }
        execve(args[0], args.data(), envp.data());
        const int err = errno;
        [[maybe_unused]] ssize_t n = write(report[1], &err, sizeof err);
        _exit(127);
    }
    close(report[1]);
    int err = 0;
    ssize_t got;
    do {
        got = read(report[0], &err, sizeof err);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == ssize_t(sizeof err)) {
        waitpid(pid, nullptr, 0);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(err));
    }
    return pid;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::string FirstLine(const std::string& text) {
    const std::size_t end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

} // namespace

std::string BuildDir() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "";
    return self.parent_path().parent_path().string();
}

std::string BuiltProgram(const std::string& relative) {
    const std::string build = BuildDir();
    if (build.empty()) return "";
    const fs::path candidate = fs::path(build) / relative;
    return access(candidate.c_str(), X_OK) == 0 ? candidate.string() : "";
}

std::string FindInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::stringstream in(dirs);
    std::string dir;
    while (std::getline(in, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!changes.count(name)) env.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty()) env.push_back(name + "=" + value);
    return env;
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs, int intervalMs) {
    const int64_t deadline = Now() + timeoutMs;
    while (true) {
        if (pred()) return true;
        if (Now() >= deadline) return false;
        platform::clock().SleepMs(intervalMs);
    }
}

// ---------------------------------------------------------------------------------------
// Process

Process::~Process() { Stop(); }

void Process::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const std::string& logPath, const std::string& cwd,
                    const std::vector<std::pair<int, int>>& keepFds) {
    if (Running()) throw std::runtime_error("process already running");
    const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + logPath);
    try {
        pid_ = Spawn(argv, env, fd, fd, cwd, keepFds);
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
    log_ = logPath;
    exit_.reset();
}

bool Process::Running() {
    if (pid_ <= 0 || exit_) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exit_ = DecodeStatus(status);
        return false;
    }
    return r == 0;
}

std::optional<int> Process::WaitExit(int timeoutMs) {
    if (pid_ <= 0) return exit_;
    WaitUntil([this] { return !Running(); }, timeoutMs, 20);
    return exit_;
}

void Process::Signal(int sig) {
    if (Running()) kill(pid_, sig);
}

std::optional<int> Process::Stop(int graceMs) {
    if (pid_ <= 0) return exit_;
    if (Running()) {
        kill(pid_, SIGTERM);
        if (!WaitExit(graceMs)) {
            kill(pid_, SIGKILL);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            exit_ = DecodeStatus(status);
        }
    }
    return exit_;
}

std::string Process::Log() const {
    std::ifstream in(log_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// ---------------------------------------------------------------------------------------
// Tools run to their end

ToolResult RunTool(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   int timeoutMs) {
    ToolResult result;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    int pid;
    try {
        pid = Spawn(argv, env, out[1], -1, "", {});
    } catch (...) {
        close(out[0]);
        close(out[1]);
        throw;
    }
    close(out[1]);

    const int64_t deadline = Now() + timeoutMs;
    bool open = true;
    while (open) {
        const int64_t left = deadline - Now();
        if (left <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        const int r = poll(&p, 1, int(std::min<int64_t>(left, 200)));
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        char buffer[65536];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n > 0)
            result.out.append(buffer, std::size_t(n));
        else if (n == 0 || errno != EINTR)
            open = false;
    }
    close(out[0]);

    int status = 0;
    while (true) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            result.finished = true;
            result.code = DecodeStatus(status);
            break;
        }
        if (Now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        platform::clock().SleepMs(10);
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Pictures

std::size_t Image::DistinctColours(int x, int y, int w, int h) const {
    std::unordered_set<uint32_t> seen;
    for (int j = std::max(0, y); j < std::min(height, y + h); ++j)
        for (int i = std::max(0, x); i < std::min(width, x + w); ++i) seen.insert(at(i, j));
    return seen.size();
}

double Image::Share(uint32_t colour, int x, int y, int w, int h) const {
    std::size_t total = 0, same = 0;
    for (int j = std::max(0, y); j < std::min(height, y + h); ++j)
        for (int i = std::max(0, x); i < std::min(width, x + w); ++i) {
            ++total;
            if (at(i, j) == colour) ++same;
        }
    return total ? double(same) / double(total) : 0.0;
}

std::size_t Image::Count(uint32_t colour, int x, int y, int w, int h, int tolerance) const {
    auto near = [tolerance](uint32_t a, uint32_t b) {
        for (int shift : {0, 8, 16}) {
            const int d = int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF);
            if (d > tolerance || d < -tolerance) return false;
        }
        return true;
    };
    std::size_t n = 0;
    for (int j = std::max(0, y); j < std::min(height, y + h); ++j)
        for (int i = std::max(0, x); i < std::min(width, x + w); ++i)
            if (near(at(i, j), colour)) ++n;
    return n;
}

Image ParseXwd(const std::string& bytes) {
    constexpr std::size_t kHeaderFields = 25;
    if (bytes.size() < kHeaderFields * 4) throw std::runtime_error("xwd: short header");
    auto be32 = [&bytes](std::size_t at) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
        return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    };
    uint32_t h[kHeaderFields];
    for (std::size_t i = 0; i < kHeaderFields; ++i) h[i] = be32(i * 4);
    const uint32_t headerSize = h[0], version = h[1], format = h[2], width = h[4],
                   height = h[5], byteOrder = h[7], bpp = h[11], bytesPerLine = h[12],
                   visual = h[13], masks[3] = {h[14], h[15], h[16]}, ncolors = h[19];
    if (version != 7 || format != 2) throw std::runtime_error("xwd: not a version 7 Z pixmap");
    if (visual != 4 && visual != 5) throw std::runtime_error("xwd: not a true-colour visual");
    if (bpp != 16 && bpp != 24 && bpp != 32) throw std::runtime_error("xwd: odd pixel size");
    if (width == 0 || height == 0 || width > 16384 || height > 16384)
        throw std::runtime_error("xwd: odd size");
    const std::size_t dataAt = std::size_t(headerSize) + std::size_t(ncolors) * 12;
    if (bytesPerLine < width * (bpp / 8) ||
        bytes.size() < dataAt + std::size_t(bytesPerLine) * height)
        throw std::runtime_error("xwd: truncated image");

    int shifts[3], bits[3];
    for (int c = 0; c < 3; ++c) {
        if (masks[c] == 0) throw std::runtime_error("xwd: no colour mask");
        shifts[c] = __builtin_ctz(masks[c]);
        bits[c] = __builtin_popcount(masks[c]);
    }
    Image image;
    image.width = int(width);
    image.height = int(height);
    image.pixels.resize(std::size_t(width) * height);
    const std::size_t step = bpp / 8;
    for (uint32_t y = 0; y < height; ++y) {
        const auto* row =
            reinterpret_cast<const unsigned char*>(bytes.data() + dataAt + std::size_t(y) * bytesPerLine);
        for (uint32_t x = 0; x < width; ++x) {
            const unsigned char* p = row + x * step;
            uint32_t v = 0;
            for (std::size_t b = 0; b < step; ++b)
                v |= uint32_t(p[b]) << (8 * (byteOrder == 0 ? b : step - 1 - b));
            uint32_t rgb = 0;
            for (int c = 0; c < 3; ++c) {
                uint32_t part = (v & masks[c]) >> shifts[c];
                if (bits[c] < 8) part = part * 255 / ((1u << bits[c]) - 1);
                if (bits[c] > 8) part >>= bits[c] - 8;
                rgb = rgb << 8 | (part & 0xFF);
            }
            image.pixels[std::size_t(y) * width + x] = rgb;
        }
    }
    return image;
}

// ---------------------------------------------------------------------------------------
// The X server

std::string XDisplay::MissingTools() {
    std::string missing;
    for (const char* tool : {"Xvfb", "xdotool", "xwd"})
        if (FindInPath(tool).empty()) missing += std::string(missing.empty() ? "" : ", ") + tool;
    return missing;
}

XDisplay::XDisplay(const std::string& workDir) : workDir_(workDir) {
    fs::create_directories(workDir_);
    const std::string runtime = workDir_ + "/runtime";
    fs::create_directories(runtime);
    chmod(runtime.c_str(), 0700);

    int ready[2];   // Xvfb writes its display number here once it takes connections
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    try {
        server_.Start({FindInPath("Xvfb"), "-displayfd", "3", "-screen", "0", "1024x768x24",
                       "-nolisten", "tcp", "-noreset"},
                      ChildEnvironment({}), workDir_ + "/xvfb.log", "", {{ready[1], 3}});
    } catch (...) {
        close(ready[0]);
        close(ready[1]);
        throw;
    }
    close(ready[1]);

    std::string number;
    const int64_t deadline = Now() + 15000;
    while (number.find('\n') == std::string::npos && Now() < deadline) {
        pollfd p{ready[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buffer[32];
        const ssize_t n = read(ready[0], buffer, sizeof buffer);
        if (n <= 0) break;
        number.append(buffer, std::size_t(n));
    }
    close(ready[0]);
    number = FirstLine(number);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        server_.Stop();
        throw std::runtime_error("Xvfb did not start: " + server_.Log());
    }
    display_ = ":" + number;
}

XDisplay::~XDisplay() { server_.Stop(); }

std::vector<std::string> XDisplay::Environment(std::map<std::string, std::string> extra) const {
    extra["DISPLAY"] = display_;
    extra["QT_QPA_PLATFORM"] = "xcb";
    extra["XDG_RUNTIME_DIR"] = workDir_ + "/runtime";
    extra["XAUTHORITY"] = "";
    return ChildEnvironment(extra);
}

std::optional<std::string> XDisplay::Xdotool(const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv{FindInPath("xdotool")};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolResult r = RunTool(argv, Environment(), timeoutMs);
    if (!r.finished || r.code != 0) return std::nullopt;
    return r.out;
}

std::string XDisplay::WaitForWindow(const std::string& namePattern, int timeoutMs) {
    std::string id;
    WaitUntil(
        [&] {
            auto out = Xdotool({"search", "--onlyvisible", "--name", namePattern});
            if (out) id = FirstLine(*out);
            return !id.empty();
        },
        timeoutMs, 100);
    return id;
}

bool XDisplay::WaitWindowGone(const std::string& namePattern, int timeoutMs) {
    return WaitUntil(
        [&] {
            auto out = Xdotool({"search", "--onlyvisible", "--name", namePattern});
            return !out || FirstLine(*out).empty();
        },
        timeoutMs, 100);
}

std::string XDisplay::WindowName(const std::string& id) {
    auto out = Xdotool({"getwindowname", id});
    return out ? FirstLine(*out) : "";
}

std::optional<Geometry> XDisplay::WindowGeometry(const std::string& id) {
    auto out = Xdotool({"getwindowgeometry", "--shell", id});
    if (!out) return std::nullopt;
    Geometry g;
    int found = 0;
    std::stringstream in(*out);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const int value = std::atoi(line.c_str() + eq + 1);
        if (key == "X") g.x = value, ++found;
        if (key == "Y") g.y = value, ++found;
        if (key == "WIDTH") g.width = value, ++found;
        if (key == "HEIGHT") g.height = value, ++found;
    }
    if (found != 4) return std::nullopt;
    return g;
}

bool XDisplay::Focus(const std::string& id) {
    return Xdotool({"windowfocus", "--sync", id}).has_value();
}

bool XDisplay::Keys(const std::vector<std::string>& keys) {
    std::vector<std::string> args{"key", "--delay", "60"};
    args.insert(args.end(), keys.begin(), keys.end());
    return Xdotool(args).has_value();
}

bool XDisplay::Type(const std::string& text) {
    return Xdotool({"type", "--delay", "30", text}, 15000).has_value();
}

Image XDisplay::Screenshot() {
    ToolResult r = RunTool({FindInPath("xwd"), "-root", "-silent", "-display", display_},
                           Environment(), 15000);
    if (!r.finished || r.code != 0) throw std::runtime_error("xwd failed");
    return ParseXwd(r.out);
}

} // namespace e2e
