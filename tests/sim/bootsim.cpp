// The boot-loader unit: one I/O thread reads the master side (at the line's rate when
// paced), walks the exchange byte by byte and queues its replies with their due times.
// Every public method takes the one mutex.
#include "tests/sim/bootsim.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kCommand = "ATE0+XLDR\r";
const std::string kFatStub = "FAT STUB\r\n";
const std::string kFlashOk = "FLASH OK\r\n";
constexpr std::size_t kMaxFaults = 20;

std::runtime_error SysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

int BaudOf(speed_t speed) {
    static const struct { speed_t speed; int baud; } kSpeeds[] = {
        {B110, 110},     {B300, 300},     {B600, 600},       {B1200, 1200},
        {B2400, 2400},   {B4800, 4800},   {B9600, 9600},     {B19200, 19200},
        {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
    };
    for (const auto& s : kSpeeds)
        if (s.speed == speed) return s.baud;
    return 0;
}

// The pieces of a reply as they go out, each with its delay after the first.
std::vector<std::pair<std::chrono::milliseconds, std::string>> Pieces(
    BootSim::Reply reply, const std::string& proper, std::chrono::milliseconds gap) {
    using R = BootSim::Reply;
    switch (reply) {
    case R::Proper: return {{{}, proper}};
    case R::None: return {};
    case R::Wrong: return {{{}, proper.substr(0, proper.size() - 1)}};
    case R::LowerCase: {
        std::string lower = proper;
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        return {{{}, lower}};
    }
    case R::InPieces: return {{{}, proper.substr(0, 4)}, {gap, proper.substr(4)}};
    case R::ExtraByte: return {{{}, "\n" + proper}};
    }
    return {};
}

} // namespace

const char* StageName(BootSim::Stage stage) {
    switch (stage) {
    case BootSim::Stage::Command: return "command";
    case BootSim::Stage::BootLoader: return "boot loader";
    case BootSim::Stage::BootLength: return "boot loader length";
    case BootSim::Stage::CodeLength: return "main code length";
    case BootSim::Stage::MainCode: return "main code";
    case BootSim::Stage::Done: return "done";
    }
    return "?";
}

struct BootSim::Impl {
    struct Chunk {
        Clock::time_point due;
        std::string bytes;
    };

    mutable std::mutex mu;
    mutable std::condition_variable cv;
    int master = -1;
    int slave = -1;   // kept open: the program may close and reopen its side
    int wakeRead = -1;
    int wakeWrite = -1;
    std::string slavePath;
    std::thread io;
    bool stopping = false;

    // Behaviour.
    std::vector<uint8_t> boot, code;
    Reply fatStub = Reply::Proper;
    Reply flashOk = Reply::Proper;
    bool paced = false;
    std::chrono::milliseconds replyDelay{10};
    std::chrono::milliseconds pieceGap{20};

    // The exchange.
    Stage stage = Stage::Command;
    std::size_t index = 0;      // byte within the stage
    std::string expected;       // the length field of the stage
    std::deque<Chunk> out;
    int64_t consumed = 0;
    int64_t sent = 0;
    std::string received;
    std::vector<std::string> faults;
    std::size_t faultCount = 0;
    std::map<Stage, std::set<std::string>> settings;

    // The line's pace: bytes taken since it last went busy.
    bool lineBusy = false;
    Clock::time_point lineStart;
    int64_t lineTaken = 0;
    double rate = 0;   // bytes a second

    std::string LineNow() const {
        termios t{};
        if (tcgetattr(slave, &t) != 0) return "?";
        const tcflag_t c = t.c_cflag;
        const char parity = !(c & PARENB) ? 'n' : (c & PARODD) ? 'o' : 'e';
        const tcflag_t size = c & CSIZE;
        const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
        char buf[48];
        std::snprintf(buf, sizeof buf, "%d,%c,%d,%d", BaudOf(cfgetospeed(&t)), parity, bits,
                      (c & CSTOPB) ? 2 : 1);
        return buf;
    }

    void Fault(const std::string& what) {
        if (faultCount++ < kMaxFaults) faults.push_back(what);
    }

    void Queue(Reply reply, const std::string& proper) {
        const Clock::time_point base = Clock::now() + replyDelay;
        for (auto& [delay, bytes] : Pieces(reply, proper, pieceGap))
            out.push_back({base + delay, bytes});
    }

    static std::string Length16(std::size_t n) {
        const std::size_t v = n + 258;
        return {char(v / 256 % 256), char(v % 256)};
    }
    static std::string Length32(std::size_t n) {
        return {char(n % 256), char(n / 256 % 256), char(n / 65536 % 256), char(n >> 24)};
    }

    void Enter(Stage next) {
        stage = next;
        index = 0;
        if (stage == Stage::BootLoader && boot.empty()) stage = Stage::BootLength;
        if (stage == Stage::BootLength) expected = Length16(boot.size());
        if (stage == Stage::CodeLength) expected = Length32(code.size());
        if (stage == Stage::MainCode && code.empty()) {
            Queue(flashOk, kFlashOk);
            stage = Stage::Done;
        }
        cv.notify_all();
    }

    void Expect(uint8_t got, uint8_t want) {
        if (got == want) return;
        char buf[96];
        std::snprintf(buf, sizeof buf, "%s byte %zu: 0x%02X, expected 0x%02X", StageName(stage),
                      index, got, want);
        Fault(buf);
    }

    void Take(uint8_t b) {
        switch (stage) {
        case Stage::Command:
            Expect(b, uint8_t(kCommand[index]));
            if (++index == kCommand.size()) Enter(Stage::BootLoader);
            break;
        case Stage::BootLoader:
            Expect(b, boot[index]);
            if (++index == boot.size()) Enter(Stage::BootLength);
            break;
        case Stage::BootLength:
            Expect(b, uint8_t(expected[index]));
            if (++index == expected.size()) {
                Queue(fatStub, kFatStub);
                Enter(Stage::CodeLength);
            }
            break;
        case Stage::CodeLength:
            Expect(b, uint8_t(expected[index]));
            if (++index == expected.size()) Enter(Stage::MainCode);
            break;
        case Stage::MainCode:
            Expect(b, code[index]);
            if (++index == code.size()) {
                Queue(flashOk, kFlashOk);
                Enter(Stage::Done);
            }
            break;
        case Stage::Done: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "byte 0x%02X after the main code", b);
            Fault(buf);
            break;
        }
        }
    }

    void SendDue(Clock::time_point now) {
        while (!out.empty() && out.front().due <= now) {
            const std::string& bytes = out.front().bytes;
            std::size_t done = 0;
            while (done < bytes.size()) {
                ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
                if (n > 0) {
                    done += std::size_t(n);
                } else if (n < 0 && errno == EAGAIN) {
                    pollfd p{master, POLLOUT, 0};
                    poll(&p, 1, 10);
                } else if (!(n < 0 && errno == EINTR)) {
                    break;
                }
            }
            sent += int64_t(done);
            out.pop_front();
        }
    }

    // How many bytes the line lets through now; 0 with wait set when the next is not due.
    std::size_t Allowance(Clock::time_point now, std::chrono::microseconds& wait) {
        int avail = 0;
        if (ioctl(master, FIONREAD, &avail) != 0 || avail <= 0) {
            lineBusy = false;
            return 0;
        }
        if (!paced) return std::size_t(avail);
        if (!lineBusy) {
            lineBusy = true;
            lineStart = now;
            lineTaken = 0;
            const int baud = std::atoi(LineNow().c_str());
            rate = baud > 0 ? baud / 10.0 : 1920.0;
        }
        const double elapsed = std::chrono::duration<double>(now - lineStart).count();
        const int64_t allowed = int64_t(elapsed * rate) - lineTaken;
        if (allowed <= 0) {
            const double next = double(lineTaken + 1) / rate - elapsed;
            wait = std::chrono::microseconds(int64_t(next * 1e6) + 1);
            return 0;
        }
        return std::size_t(std::min<int64_t>(allowed, avail));
    }

    void Run() {
        std::unique_lock<std::mutex> lock(mu);
        while (!stopping) {
            const Clock::time_point now = Clock::now();
            SendDue(now);
            std::chrono::microseconds wait{-1};
            std::size_t take = Allowance(now, wait);
            if (take > 0) {
                const std::string line = LineNow();
                std::string buf(std::min<std::size_t>(take, 65536), '\0');
                ssize_t n = read(master, buf.data(), buf.size());
                if (n > 0) {
                    lineTaken += n;
                    consumed += n;
                    received.append(buf.data(), std::size_t(n));
                    for (ssize_t i = 0; i < n; ++i) {
                        settings[stage].insert(line);
                        Take(uint8_t(buf[std::size_t(i)]));
                    }
                }
                cv.notify_all();
                continue;
            }
            // Sleep until input, a due reply, the next paced byte or Stop.
            int timeoutMs = 50;
            if (!out.empty()) {
                auto until = std::chrono::duration_cast<std::chrono::microseconds>(
                    out.front().due - now);
                timeoutMs = int(std::max<int64_t>(0, (until.count() + 999) / 1000));
            }
            pollfd fds[2] = {{wakeRead, POLLIN, 0}, {master, POLLIN, 0}};
            nfds_t count = 2;
            if (wait.count() >= 0) {   // input waits for its pace: do not wake on it
                count = 1;
                timeoutMs = std::min<int>(timeoutMs, int((wait.count() + 999) / 1000));
            }
            lock.unlock();
            poll(fds, count, timeoutMs);
            if (fds[0].revents & POLLIN) {
                char drain[16];
                while (read(wakeRead, drain, sizeof drain) > 0) {
                }
            }
            lock.lock();
        }
    }
};

BootSim::BootSim() : d_(std::make_unique<Impl>()) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) throw SysError("pty");
    char name[256];
    if (ptsname_r(m, name, sizeof name) != 0) throw SysError("ptsname");
    int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) throw SysError("pty slave");
    MakeRaw(m);
    MakeRaw(s);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) throw SysError("pipe");
    d_->master = m;
    d_->slave = s;
    d_->slavePath = name;
    d_->wakeRead = pipeFds[0];
    d_->wakeWrite = pipeFds[1];
}

BootSim::~BootSim() {
    Stop();
    for (int fd : {d_->master, d_->slave, d_->wakeRead, d_->wakeWrite})
        if (fd >= 0) close(fd);
}

const std::string& BootSim::SlavePath() const { return d_->slavePath; }

void BootSim::LinkAsCom(const std::string& portsFolder, int n) const {
    namespace fs = std::filesystem;
    fs::create_directories(portsFolder);
    const fs::path link = fs::path(portsFolder) / ("com" + std::to_string(n));
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(d_->slavePath, link);
}

void BootSim::SetImages(std::vector<uint8_t> bootLoader, std::vector<uint8_t> mainCode) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->boot = std::move(bootLoader);
    d_->code = std::move(mainCode);
}

void BootSim::SetFatStubReply(Reply reply) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->fatStub = reply;
}

void BootSim::SetFlashOkReply(Reply reply) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->flashOk = reply;
}

void BootSim::SetPaced(bool paced) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->paced = paced;
}

void BootSim::SetReplyDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->replyDelay = delay;
}

void BootSim::SetPieceGap(std::chrono::milliseconds gap) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->pieceGap = gap;
}

void BootSim::Start() {
    std::lock_guard<std::mutex> lock(d_->mu);
    if (d_->io.joinable()) return;
    d_->stopping = false;
    d_->io = std::thread([this] { d_->Run(); });
}

void BootSim::Stop() {
    {
        std::lock_guard<std::mutex> lock(d_->mu);
        if (!d_->io.joinable()) return;
        d_->stopping = true;
    }
    char c = 1;
    (void)!write(d_->wakeWrite, &c, 1);
    d_->io.join();
}

BootSim::Status BootSim::State() const {
    std::lock_guard<std::mutex> lock(d_->mu);
    return {d_->consumed, d_->sent, !d_->out.empty(), d_->stage};
}

bool BootSim::WaitForStage(Stage stage, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(d_->mu);
    return d_->cv.wait_for(lock, timeout, [&] { return d_->stage >= stage; });
}

std::string BootSim::Received() const {
    std::lock_guard<std::mutex> lock(d_->mu);
    return d_->received;
}

std::vector<std::string> BootSim::Faults() const {
    std::lock_guard<std::mutex> lock(d_->mu);
    std::vector<std::string> faults = d_->faults;
    if (d_->faultCount > faults.size())
        faults.push_back("... " + std::to_string(d_->faultCount - faults.size()) + " more");
    return faults;
}

std::map<BootSim::Stage, std::set<std::string>> BootSim::LineSettings() const {
    std::lock_guard<std::mutex> lock(d_->mu);
    return d_->settings;
}

} // namespace sim
