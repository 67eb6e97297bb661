#include "platform/serial.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/comports.h"

namespace platform {
namespace {

struct LineSettings {
    speed_t speed = B2400;
    tcflag_t csize = CS8;
    tcflag_t parity = 0;   // PARENB / PARODD / CMSPAR bits
    bool twoStop = false;
};

[[noreturn]] void Fail(const std::string& what, int err) {
    throw SerialError(what + ": " + std::strerror(err));
}

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

speed_t SpeedOf(const std::string& text) {
    static const struct { const char* text; speed_t speed; } kSpeeds[] = {
        {"110", B110},     {"300", B300},       {"600", B600},       {"1200", B1200},
        {"2400", B2400},   {"4800", B4800},     {"9600", B9600},     {"19200", B19200},
        {"38400", B38400}, {"57600", B57600},   {"115200", B115200}, {"230400", B230400},
    };
    for (const auto& s : kSpeeds)
        if (text == s.text) return s.speed;
    throw SerialError("unsupported baud rate \"" + text + "\"");
}

LineSettings ParseSettings(const std::string& settings) {
    std::string parts[4];
    std::size_t count = 0, start = 0;
    while (true) {
        std::size_t comma = settings.find(',', start);
        if (count == 4) throw SerialError("invalid line settings \"" + settings + "\"");
        parts[count++] = Trim(settings.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (count != 4) throw SerialError("invalid line settings \"" + settings + "\"");
    LineSettings ls;
    ls.speed = SpeedOf(parts[0]);
    if (parts[1].size() != 1) throw SerialError("invalid parity \"" + parts[1] + "\"");
    switch (std::tolower(static_cast<unsigned char>(parts[1][0]))) {
    case 'n': ls.parity = 0; break;
    case 'e': ls.parity = PARENB; break;
    case 'o': ls.parity = PARENB | PARODD; break;
    case 'm': ls.parity = PARENB | PARODD | CMSPAR; break;
    case 's': ls.parity = PARENB | CMSPAR; break;
    default: throw SerialError("invalid parity \"" + parts[1] + "\"");
    }
    if (parts[2] == "5") ls.csize = CS5;
    else if (parts[2] == "6") ls.csize = CS6;
    else if (parts[2] == "7") ls.csize = CS7;
    else if (parts[2] == "8") ls.csize = CS8;
    else throw SerialError("invalid data bits \"" + parts[2] + "\"");
    if (parts[3] == "1") ls.twoStop = false;
    else if (parts[3] == "1.5" || parts[3] == "2") ls.twoStop = true;
    else throw SerialError("invalid stop bits \"" + parts[3] + "\"");
    return ls;
}

// Seconds without progress after which Output gives up on a line that takes nothing.
constexpr int kWriteStallPolls = 5;
constexpr int kWritePollMs = 1000;

} // namespace

struct CommControl::Impl {
    int port = 1;
    std::string settings = "2400,n,8,1";
    LineSettings line;
    int fd = -1;
    std::string path;
    std::string received;   // bytes read from the line, not yet handed out by Input
    bool dead = false;      // the peer hung up or the line failed
    int deadErrno = 0;
    int event = comEvNone;
    int dispatchDepth = 0;
    bool redispatch = false;
    bool queued = false;    // Output keeps what the line does not take at once
    std::string waiting;    // queued bytes not yet handed to the line
    int writeErrno = 0;     // the line failed while waiting bytes were fed

    void RequireOpen(const char* what) const {
        if (fd < 0) throw SerialError(std::string(what) + ": the port is not open");
    }

    // Moves whatever the line holds into `received`; notes a hang-up or failure in `dead`.
    void Drain() {
        if (fd < 0 || dead) return;
        char buf[4096];
        while (true) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                received.append(buf, std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                dead = true;
                deadErrno = errno;
            }
            break;
        }
        if (!dead) {
            // A read of 0 means "nothing now" in raw mode; a hang-up shows in poll.
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                dead = true;
                deadErrno = EIO;
            }
        }
    }

    // Hands the line what it takes now of `waiting`; a failure is kept in writeErrno.
    void Feed() {
        while (fd >= 0 && !waiting.empty()) {
            ssize_t n = write(fd, waiting.data(), waiting.size());
            if (n > 0) {
                waiting.erase(0, std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                writeErrno = errno;
                waiting.clear();
            }
            break;
        }
    }

    void Close() {
        // Queued output is dropped, also from the driver, so the close does not wait for it.
        if (fd >= 0 && queued) tcflush(fd, TCOFLUSH);
        if (fd >= 0) close(fd);   // also drops the lock
        fd = -1;
        path.clear();
        received.clear();
        dead = false;
        deadErrno = 0;
        waiting.clear();
        writeErrno = 0;
    }
};

CommControl::CommControl() : d_(new Impl) { d_->line = ParseSettings(d_->settings); }

CommControl::~CommControl() {
    d_->Close();
    delete d_;
}

void CommControl::SetCommPort(int n) {
    if (d_->fd >= 0) throw SerialError("the port number cannot change while the port is open");
    if (n < 0 || n > 255) throw SerialError("invalid port number " + std::to_string(n));
    d_->port = n;
}

int CommControl::CommPort() const { return d_->port; }

void CommControl::SetSettings(const std::string& settings) {
    if (d_->fd >= 0) throw SerialError("the line settings cannot change while the port is open");
    d_->line = ParseSettings(settings);
    d_->settings = settings;
}

std::string CommControl::Settings() const { return d_->settings; }

void CommControl::SetPortOpen(bool open) {
    if (!open) {
        if (d_->fd < 0) return;
        d_->Close();
        if (OnPortStateChanged) OnPortStateChanged();
        return;
    }
    if (d_->fd >= 0) throw SerialError("the port is already open");
    const std::string name = "COM" + std::to_string(d_->port);
    std::string path = ResolveComPort(d_->port);
    if (path.empty()) Fail(name, ENOENT);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Fail(name + " (" + path + ")", errno);
    auto fail = [&](const std::string& what, int err) {
        close(fd);
        Fail(name + " (" + path + ")" + what, err);
    };
    // The lock keeps out other programs, root among them (TIOCEXCL alone does not).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        fail(err == EWOULDBLOCK ? ": in use by another program" : "", err);
    }
    termios tio;
    if (tcgetattr(fd, &tio) != 0) fail("", errno);
    ioctl(fd, TIOCEXCL);
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR);
    tio.c_iflag |= IGNBRK;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | d_->line.csize | d_->line.parity;
    if (d_->line.twoStop) tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, d_->line.speed);
    cfsetospeed(&tio, d_->line.speed);
    if (OnLineSet) OnLineSet(tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) fail("", errno);
    tcflush(fd, TCIFLUSH);   // bytes from before the open are not ours
    d_->fd = fd;
    d_->path = path;
    d_->received.clear();
    d_->dead = false;
    if (OnPortStateChanged) OnPortStateChanged();
}

bool CommControl::PortOpen() const { return d_->fd >= 0; }

void CommControl::Output(const std::string& bytes) {
    d_->RequireOpen("Output");
    if (d_->queued) {
        if (d_->writeErrno) Fail("Output", d_->writeErrno);
        d_->waiting += bytes;
        d_->Feed();
        if (d_->writeErrno) Fail("Output", d_->writeErrno);
        if (!d_->waiting.empty() && OnOutputWaiting) OnOutputWaiting();
        return;
    }
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    int stalls = 0;
    while (left > 0) {
        ssize_t n = write(d_->fd, p, left);
        if (n > 0) {
            p += n;
            left -= std::size_t(n);
            stalls = 0;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) Fail("Output", errno);
        pollfd pfd{d_->fd, POLLOUT, 0};
        int r = poll(&pfd, 1, kWritePollMs);
        if (r < 0 && errno != EINTR) Fail("Output", errno);
        if (r > 0 && (pfd.revents & (POLLERR | POLLNVAL | POLLHUP)) && !(pfd.revents & POLLOUT))
            Fail("Output", EIO);
        if (r == 0 && ++stalls >= kWriteStallPolls) Fail("Output", ETIMEDOUT);
    }
}

void CommControl::Output(const std::vector<uint8_t>& bytes) {
    Output(std::string(bytes.begin(), bytes.end()));
}

std::string CommControl::Input() {
    d_->RequireOpen("Input");
    d_->Drain();
    if (d_->received.empty() && d_->dead) Fail("Input", d_->deadErrno ? d_->deadErrno : EIO);
    std::string out;
    out.swap(d_->received);
    return out;
}

void CommControl::SetOutputQueued(bool queued) { d_->queued = queued; }

bool CommControl::FeedOutput() {
    d_->Feed();
    return !d_->waiting.empty();
}

int CommControl::CommEvent() const { return d_->event; }

int CommControl::OutBufferCount() const {
    d_->RequireOpen("OutBufferCount");
    d_->Feed();
    if (d_->writeErrno) Fail("OutBufferCount", d_->writeErrno);
    int queued = 0;
    if (ioctl(d_->fd, TIOCOUTQ, &queued) != 0) Fail("OutBufferCount", errno);
    return queued + int(d_->waiting.size());
}

bool CommControl::CTSHolding() const {
    d_->RequireOpen("CTSHolding");
    int lines = 0;
    if (ioctl(d_->fd, TIOCMGET, &lines) != 0) {
        // No modem-control lines (a pseudo-terminal): nothing ever holds CTS back.
        if (errno == ENOTTY || errno == EINVAL) return true;
        Fail("CTSHolding", errno);
    }
    return (lines & TIOCM_CTS) != 0;
}

int CommControl::fd() const { return d_->fd; }

bool CommControl::DispatchReadable() {
    if (d_->fd < 0) return false;
    d_->Drain();
    if (d_->dispatchDepth > 0) {
        // Readable again inside our own handler (a modal loop): raise it once more after.
        d_->redispatch = !d_->received.empty();
        return !d_->dead;
    }
    while (d_->fd >= 0 && !d_->received.empty()) {
        d_->redispatch = false;
        d_->event = comEvReceive;
        if (!OnComm) break;
        ++d_->dispatchDepth;
        try {
            OnComm();
        } catch (...) {
            --d_->dispatchDepth;
            throw;
        }
        --d_->dispatchDepth;
        if (!d_->redispatch) break;
    }
    return d_->fd >= 0 && !d_->dead;
}

} // namespace platform
