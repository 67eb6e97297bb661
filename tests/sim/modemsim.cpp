// The simulated unit: a pty pair, an I/O thread that reads command lines from the master
// side and answers them in GSM text mode, and an output queue that can split and pace the
// answers. Every public method takes the one mutex; the handler runs without it.
#include "tests/sim/modemsim.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

const char kOk[] = "\r\nOK\r\n";
const char kError[] = "\r\nERROR\r\n";
constexpr char kCtrlZ = 26;
constexpr char kEsc = 27;
constexpr char kBackspace = 8;
constexpr std::size_t kMaxLine = 4096;

std::runtime_error SysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A decimal index in front of an optional ",<flag>"; nullopt when there is none.
std::optional<int> ParseIndex(const std::string& text) {
    std::string digits = text.substr(0, text.find(','));
    if (digits.empty() || digits.size() > 6 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoi(digits);
}

std::string Unquote(const std::string& s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        return s.substr(1, s.size() - 2);
    return s;
}

std::string MkdirAll(const std::string& dir) {
    std::string path;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (!path.empty())
            ::mkdir(path.c_str(), 0700);
    }
    return dir;
}

std::string ReadLink(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

} // namespace

struct ModemSim::Impl {
    struct Chunk {
        std::string bytes;
        Clock::time_point due;
    };
    struct Link {
        std::string path;
    };
    // Where a link points: the pty, or while vanished a path that is not there (a freed pty
    // number soon belongs to another process's pty, and must not be opened through it).
    std::string TargetOf(const Link& link) const {
        return vanished ? link.path + ".gone" : slavePath;
    }

    // Control (Start/Stop/Vanish/Reappear) is serialised apart from the data mutex so
    // the I/O thread never waits on a join.
    std::mutex ctl;
    mutable std::mutex mu;
    mutable std::condition_variable cv;

    int master = -1;
    int slave = -1;            // kept open so the program under test may reopen the path
    int wakeRead = -1;
    int wakeWrite = -1;
    std::string slavePath;
    std::vector<Link> links;

    std::thread io;
    bool wantRunning = false;
    bool vanished = false;
    bool stopping = false;     // read by the I/O thread under mu

    // Behaviour.
    std::string version = "0412";
    std::string expectedInit;
    bool echo = false;
    bool silent = false;
    std::vector<std::string> errorPrefixes;
    int splitPieces = 1;
    std::chrono::milliseconds splitGap{0};
    int baud = 0;
    bool noPrompt = false;
    std::chrono::milliseconds promptDelay{0};
    std::chrono::milliseconds deleteDelay{0};
    bool errorAfterText = false;
    std::function<std::optional<std::string>(const std::string&)> handler;

    // Line state.
    std::string line;
    bool inBody = false;
    bool afterCr = false;      // an LF right after the CR that ended a line is not data
    std::string bodyNumber;
    std::string body;
    int nextRef = 1;

    std::map<int, StoredMessage> store;

    // Log.
    std::string received;
    std::vector<std::string> commands;
    std::vector<SentSms> sent;
    std::vector<int> deleted;

    std::deque<Chunk> out;
    Clock::time_point tail = Clock::now();

    // --- pty -------------------------------------------------------------------------

    void OpenPty() {
        int m = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m < 0)
            throw SysError("posix_openpt");
        if (::grantpt(m) != 0 || ::unlockpt(m) != 0) {
            ::close(m);
            throw SysError("grantpt/unlockpt");
        }
        char name[256];
        if (::ptsname_r(m, name, sizeof name) != 0) {
            ::close(m);
            throw SysError("ptsname");
        }
        int s = ::open(name, O_RDWR | O_NOCTTY);
        if (s < 0) {
            ::close(m);
            throw SysError("open slave");
        }
        MakeRaw(m);
        MakeRaw(s);
        ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
        ::fcntl(m, F_SETFD, FD_CLOEXEC);
        ::fcntl(s, F_SETFD, FD_CLOEXEC);
        std::lock_guard<std::mutex> lock(mu);
        master = m;
        slave = s;
        slavePath = name;
    }

    void ClosePty() {
        std::lock_guard<std::mutex> lock(mu);
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
        master = slave = -1;
        out.clear();
        line.clear();
        inBody = false;
        body.clear();
    }

    static void PointLink(const std::string& link, const std::string& target) {
        std::string tmp = link + ".tmp" + std::to_string(::getpid());
        ::unlink(tmp.c_str());
        if (::symlink(target.c_str(), tmp.c_str()) != 0)
            throw SysError("symlink " + tmp);
        if (::rename(tmp.c_str(), link.c_str()) != 0) {
            ::unlink(tmp.c_str());
            throw SysError("rename " + link);
        }
    }

    // --- thread ----------------------------------------------------------------------

    void Wake() {
        if (wakeWrite >= 0) {
            char c = 1;
            [[maybe_unused]] ssize_t n = ::write(wakeWrite, &c, 1);
        }
    }

    void Spawn() {   // ctl held
        {
            std::lock_guard<std::mutex> lock(mu);
            stopping = false;
        }
        io = std::thread([this] { Run(); });
    }

    void Join() {    // ctl held
        if (!io.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mu);
            stopping = true;
        }
        Wake();
        io.join();
    }

    void Run() {
        bool backoff = false;
        for (;;) {
            int timeout = -1;
            bool writable = false;
            int fd;
            {
                std::lock_guard<std::mutex> lock(mu);
                if (stopping)
                    return;
                fd = master;
                if (!out.empty()) {
                    auto now = Clock::now();
                    if (out.front().due <= now) {
                        writable = true;
                    } else {
                        auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                            out.front().due - now).count();
                        timeout = static_cast<int>((us + 999) / 1000);
                    }
                }
            }
            if (backoff)
                timeout = timeout < 0 ? 50 : std::min(timeout, 50);
            pollfd fds[2] = {{fd, static_cast<short>((backoff ? 0 : POLLIN) |
                                                     (writable ? POLLOUT : 0)), 0},
                             {wakeRead, POLLIN, 0}};
            int r = ::poll(fds, 2, timeout);
            if (r < 0 && errno != EINTR)
                return;
            if (fds[1].revents & POLLIN) {
                char buf[64];
                while (::read(wakeRead, buf, sizeof buf) > 0) {
                }
            }
            backoff = false;
            if (fds[0].revents & POLLIN) {
                char buf[4096];
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0)
                    Feed(buf, static_cast<std::size_t>(n));
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    backoff = true;
            } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                backoff = true;
            }
            Flush();
        }
    }

    // Writes every queued byte that is due; keeps the rest for later.
    void Flush() {
        std::lock_guard<std::mutex> lock(mu);
        if (master < 0)
            return;
        auto now = Clock::now();
        std::string due;
        std::size_t chunks = 0;
        for (const Chunk& c : out) {
            if (c.due > now)
                break;
            due += c.bytes;
            ++chunks;
        }
        if (due.empty())
            return;
        ssize_t n = ::write(master, due.data(), due.size());
        if (n < 0)
            return;
        auto written = static_cast<std::size_t>(n);
        while (chunks > 0 && written >= out.front().bytes.size()) {
            written -= out.front().bytes.size();
            out.pop_front();
            --chunks;
        }
        if (written > 0)
            out.front().bytes.erase(0, written);
    }

    // Queues bytes for the line (mu held): split into pieces with gaps, paced at the baud.
    void Enqueue(const std::string& bytes, bool split = true) {
        if (bytes.empty() || master < 0)
            return;
        auto t = std::max(Clock::now(), tail);
        std::vector<std::string> pieces;
        int n = split ? std::min<int>(splitPieces, static_cast<int>(bytes.size())) : 1;
        if (n <= 1) {
            pieces.push_back(bytes);
        } else {
            std::size_t size = bytes.size() / n, extra = bytes.size() % n, pos = 0;
            for (int i = 0; i < n; ++i) {
                std::size_t len = size + (static_cast<std::size_t>(i) < extra ? 1 : 0);
                pieces.push_back(bytes.substr(pos, len));
                pos += len;
            }
        }
        auto byteTime = baud > 0 ? std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::microseconds(10'000'000LL / baud))
                                 : Clock::duration::zero();
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0)
                t += splitGap;
            if (baud > 0) {
                for (char c : pieces[i]) {
                    out.push_back({std::string(1, c), t});
                    t += byteTime;
                }
            } else {
                out.push_back({pieces[i], t});
            }
        }
        tail = t;
        Wake();
    }

    // --- the unit --------------------------------------------------------------------

    void Feed(const char* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            std::string done;
            bool complete = false;
            {
                std::lock_guard<std::mutex> lock(mu);
                char c = p[i];
                received += c;
                if (echo && !silent)
                    Enqueue(std::string(1, c), false);
                bool lineEndLf = afterCr && c == '\n';
                afterCr = c == '\r' && !inBody;
                if (lineEndLf)
                    continue;
                if (inBody) {
                    BodyByte(c);
                    continue;
                }
                if (c == '\r') {
                    complete = !line.empty();
                    done.swap(line);
                } else if (c == '\n' || c == kEsc || c == kCtrlZ) {
                    // Line feeds, and a cancel or end of text outside a prompt, are dropped.
                } else if (c == kBackspace) {
                    if (!line.empty())
                        line.pop_back();
                } else if (line.size() < kMaxLine) {
                    line += c;
                }
            }
            if (complete)
                RunLine(done);
        }
    }

    void BodyByte(char c) {   // mu held
        if (c == kEsc) {
            inBody = false;
            body.clear();
        } else if (c == kCtrlZ) {
            inBody = false;
            if (silent) {
                body.clear();
                return;
            }
            if (errorAfterText) {
                Enqueue(kError);
            } else {
                sent.push_back({bodyNumber, body});
                Enqueue("\r\n+CMGS: " + std::to_string(nextRef++) + "\r\n" + kOk);
            }
            body.clear();
            cv.notify_all();
        } else {
            body += c;
        }
    }

    void RunLine(const std::string& text) {
        std::function<std::optional<std::string>(const std::string&)> h;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (silent) {
                Log(text);
                return;
            }
            h = handler;
        }
        std::optional<std::string> answer;
        if (h)
            answer = h(text);
        std::lock_guard<std::mutex> lock(mu);
        if (answer)
            Enqueue(*answer);
        else
            Answer(text);
        Log(text);
    }

    void Log(const std::string& text) {   // mu held
        commands.push_back(text);
        cv.notify_all();
    }

    std::string Header(const StoredMessage& m) const {
        return "\"" + m.status + "\",\"" + m.number + "\"," +
               (m.name.empty() ? std::string() : "\"" + m.name + "\"") + ",\"" +
               m.timestamp + "\"";
    }

    void Answer(const std::string& text) {   // mu held
        for (const std::string& prefix : errorPrefixes)
            if (StartsWith(text, prefix))
                return Enqueue(kError);
        const std::string up = Upper(text);
        if (up == "AT")
            return Enqueue(kOk);
        if (up == "ATI9")
            return Enqueue("\r\n6B71" + version + "\r\n" + kOk);
        if (up == "AT+CMGF=1")
            return Enqueue(kOk);
        if (StartsWith(up, "AT+CMGS=")) {
            std::string number = text.substr(8);
            if (number.empty())
                return Enqueue(kError);
            if (noPrompt)
                return;
            bodyNumber = number;
            body.clear();
            inBody = true;
            tail = std::max(Clock::now(), tail) + promptDelay;
            return Enqueue("\r\n> ");
        }
        if (StartsWith(up, "AT+CMGR=")) {
            auto index = ParseIndex(text.substr(8));
            auto it = index ? store.find(*index) : store.end();
            if (it == store.end())
                return Enqueue(kError);
            std::string reply = "\r\n+CMGR: " + Header(it->second) + "\r\n" +
                                it->second.body + "\r\n" + kOk;
            it->second.status = "REC READ";
            return Enqueue(reply);
        }
        if (StartsWith(up, "AT+CMGL")) {
            std::string arg = up.size() > 8 && up[7] == '=' ? Unquote(up.substr(8))
                                                            : std::string("REC UNREAD");
            if (up.size() > 7 && up[7] != '=')
                return Enqueue(kError);
            std::string reply;
            for (auto& [index, m] : store) {
                if (arg != "ALL" && Upper(m.status) != arg)
                    continue;
                reply += "\r\n+CMGL: " + std::to_string(index) + "," + Header(m) + "\r\n" +
                         m.body;
                if (m.status == "REC UNREAD")
                    m.status = "REC READ";
            }
            return Enqueue(reply + "\r\n" + kOk);
        }
        if (StartsWith(up, "AT+CMGD=")) {
            auto index = ParseIndex(text.substr(8));
            if (!index)
                return Enqueue(kError);
            deleted.push_back(*index);
            tail = std::max(Clock::now(), tail) + deleteDelay;
            return Enqueue(store.erase(*index) ? kOk : kError);
        }
        if (!expectedInit.empty() && text == expectedInit)
            return Enqueue(kOk);
        Enqueue(kError);
    }

    int Put(StoredMessage m, bool notify) {   // mu held
        if (m.index <= 0) {
            m.index = 1;
            while (store.count(m.index))
                ++m.index;
        }
        int index = m.index;
        store[index] = std::move(m);
        if (notify)
            Enqueue("\r\n+CMT: \"SM\"," + std::to_string(index) + "\r\n");
        return index;
    }
};

ModemSim::ModemSim() : d_(std::make_unique<Impl>()) {
    int p[2];
    if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0)
        throw SysError("pipe");
    d_->wakeRead = p[0];
    d_->wakeWrite = p[1];
    try {
        d_->OpenPty();
    } catch (...) {
        ::close(p[0]);
        ::close(p[1]);
        throw;
    }
}

ModemSim::~ModemSim() {
    Stop();
    for (const auto& link : d_->links)
        if (ReadLink(link.path) == d_->TargetOf(link))
            ::unlink(link.path.c_str());
    d_->ClosePty();
    ::close(d_->wakeRead);
    ::close(d_->wakeWrite);
}

const std::string& ModemSim::SlavePath() const { return d_->slavePath; }

void ModemSim::LinkAsCom(const std::string& portsFolder, int n) const {
    MkdirAll(portsFolder);
    std::string link = portsFolder + "/com" + std::to_string(n);
    std::lock_guard<std::mutex> ctl(d_->ctl);
    Impl::PointLink(link, d_->TargetOf({link}));
    auto& links = d_->links;
    if (std::none_of(links.begin(), links.end(), [&](const Impl::Link& l) { return l.path == link; }))
        links.push_back({link});
}

void ModemSim::Start() {
    std::lock_guard<std::mutex> ctl(d_->ctl);
    d_->wantRunning = true;
    if (!d_->vanished && !d_->io.joinable())
        d_->Spawn();
}

void ModemSim::Stop() {
    std::lock_guard<std::mutex> ctl(d_->ctl);
    d_->wantRunning = false;
    d_->Join();
}

void ModemSim::SetVersion(const std::string& version) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->version = version;
}

void ModemSim::SetExpectedInit(const std::string& init) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->expectedInit = init;
}

void ModemSim::SetEcho(bool echo) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->echo = echo;
}

void ModemSim::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->silent = silent;
}

void ModemSim::SetErrorFor(const std::string& commandPrefix, bool error) {
    std::lock_guard<std::mutex> lock(d_->mu);
    auto& v = d_->errorPrefixes;
    v.erase(std::remove(v.begin(), v.end(), commandPrefix), v.end());
    if (error)
        v.push_back(commandPrefix);
}

void ModemSim::SetSplit(int pieces, std::chrono::milliseconds gap) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->splitPieces = std::max(1, pieces);
    d_->splitGap = gap;
}

void ModemSim::SetBaud(int baud) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->baud = std::max(0, baud);
}

void ModemSim::SetNoPromptFor(bool on) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->noPrompt = on;
}

void ModemSim::SetPromptDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->promptDelay = std::max(std::chrono::milliseconds(0), delay);
}

void ModemSim::SetDeleteDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->deleteDelay = std::max(std::chrono::milliseconds(0), delay);
}

void ModemSim::SetErrorAfterText(bool on) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->errorAfterText = on;
}

void ModemSim::SetHandler(std::function<std::optional<std::string>(const std::string& line)> h) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->handler = std::move(h);
}

void ModemSim::Vanish() {
    std::lock_guard<std::mutex> ctl(d_->ctl);
    if (d_->vanished)
        return;
    d_->Join();
    d_->vanished = true;
    for (const auto& link : d_->links)
        Impl::PointLink(link.path, d_->TargetOf(link));
    d_->ClosePty();
}

void ModemSim::Reappear() {
    std::lock_guard<std::mutex> ctl(d_->ctl);
    if (!d_->vanished)
        return;
    d_->OpenPty();
    d_->vanished = false;
    for (const auto& link : d_->links)
        Impl::PointLink(link.path, d_->slavePath);
    if (d_->wantRunning)
        d_->Spawn();
}

int ModemSim::Store(const std::string& number, const std::string& body,
                    const std::string& timestamp, bool notify) {
    StoredMessage m;
    m.number = number;
    m.body = body;
    m.timestamp = timestamp;
    return StoreMessage(std::move(m), notify);
}

int ModemSim::StoreMessage(StoredMessage message, bool notify) {
    std::lock_guard<std::mutex> lock(d_->mu);
    return d_->Put(std::move(message), notify);
}

void ModemSim::Notify(int index) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->Enqueue("\r\n+CMT: \"SM\"," + std::to_string(index) + "\r\n");
}

void ModemSim::SendRaw(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->Enqueue(bytes);
}

std::vector<StoredMessage> ModemSim::Messages() const {
    std::lock_guard<std::mutex> lock(d_->mu);
    std::vector<StoredMessage> v;
    for (const auto& [index, m] : d_->store)
        v.push_back(m);
    return v;
}

std::string ModemSim::Received() const {
    std::lock_guard<std::mutex> lock(d_->mu);
    return d_->received;
}

std::vector<std::string> ModemSim::Commands() const {
    std::lock_guard<std::mutex> lock(d_->mu);
    return d_->commands;
}

std::vector<SentSms> ModemSim::Sent() const {
    std::lock_guard<std::mutex> lock(d_->mu);
    return d_->sent;
}

std::vector<int> ModemSim::Deleted() const {
    std::lock_guard<std::mutex> lock(d_->mu);
    return d_->deleted;
}

void ModemSim::ClearLog() {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->received.clear();
    d_->commands.clear();
    d_->sent.clear();
    d_->deleted.clear();
}

bool ModemSim::WaitForCommand(const std::string& prefix, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(d_->mu);
    return d_->cv.wait_for(lock, timeout, [&] {
        return std::any_of(d_->commands.begin(), d_->commands.end(),
                           [&](const std::string& c) { return StartsWith(c, prefix); });
    });
}

} // namespace sim
