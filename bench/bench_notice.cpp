// A "+CMT: " notice from the simulated unit at 2400 baud until its message is a line of
// "inbox.csv" on disk: latency against the time the exchange needs on the wire plus the
// matcher's 30 ms per wait. The loop ticks every ~1 ms where the program's timer ticks
// every 250 ms, so the program adds up to one tick period on top.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client/datafile.h"
#include "client/msgfile.h"
#include "client/msgframe.h"
#include "engine/globals.h"
#include "engine/portwindow.h"
#include "engine/serparse.h"
#include "platform/boxes.h"
#include "platform/clock.h"
#include "platform/datadir.h"
#include "tests/sim/modemsim.h"
#include "bench/bench_world.h"

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kPort = 3;
constexpr int kBaud = 2400;
constexpr int kRuns = 5;
constexpr int kWaits = 4;          // the notice's CR, "+CMGR: ", its CR LF, the closing "OK"
constexpr double kTickMs = 250.0;  // the receive timer's period
const char* const kNumber = "+447700900123";
const char* const kStamp = "24/05/12,14:23:11+04";

// The main window's port with a real Inbox pane bound to "inbox.csv"; notes the moment the
// filed message's body is in the file on disk.
class NoticeWindow : public PortWindow {
public:
    TMSGFrame1 inbox;
    std::string expectBody;            // the escaped body of the message on its way
    bool filed = false;
    Steady::time_point filedAt;
    std::size_t sent = 0;              // bytes written to the unit
    std::size_t received = 0;          // bytes read from it
    std::size_t sentAtFile = 0, receivedAtFile = 0;
    std::size_t unitReadAtFile = 0;    // bytes the unit had taken in when the file held it
    sim::ModemSim* unit = nullptr;

    NoticeWindow() {
        inbox.LoadFromFile("inbox.csv", true);
        MSComm1.OnComm = [this] { ReadReceived(); };
    }

    void AddTrace(const std::string& text, bool isReceived) override {
        (isReceived ? received : sent) += text.size();
    }
    InboxFiling AddInboxMessage(const std::string& number, const std::string& text,
                                const std::string& date, bool old, bool readBefore) override {
        const InboxFiling filing = inbox.AddReceived(number, text, date, old, readBefore);
        std::string bytes;
        if (datafile::ReadFile(platform::DataPath("inbox.csv"), bytes) &&
            bytes.find(expectBody) != std::string::npos) {
            filedAt = Steady::now();
            filed = true;
            sentAtFile = sent;
            receivedAtFile = received;
            unitReadAtFile = unit->Received().size();
        }
        return filing;
    }
    void ModifyIcon(int) override {}

    // The event pump's turn: bytes waiting on the line raise the receive event.
    void ReceiveEvent() { MSComm1.DispatchReadable(); }

    // The 250 ms tick's work.
    void Timer1Tick() {
        if (!MSComm1.PortOpen() || Sending || ModemBusy || Polling) return;
        ModemBusy = true;
        CheckUnsolicited();
        ModemBusy = false;
    }
};

double Ms(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double WireMs(std::size_t bytes) { return bytes * 10.0 * 1000.0 / kBaud; }

// Message k's body: 160 characters that the file keeps as they are.
std::string Body(int k) {
    std::string body = "notice" + std::to_string(k) + ":";
    while (body.size() < 160) body += static_cast<char>('a' + body.size() % 26);
    return body;
}

int Run(const std::string& root) {
    platform::SetBoxHandler([](const platform::BoxRequest& box) {
        std::fprintf(stderr, "box \"%s\": %s\n", box.caption.c_str(), box.text.c_str());
        return platform::IDOK;
    });

    sim::ModemSim unit;
    unit.LinkAsCom(root + "/ports", kPort);
    unit.SetBaud(kBaud);
    unit.Start();

    NoticeWindow win;
    win.unit = &unit;
    SetMainWindow(&win);
    BuildLineEnds();
    Settings.Port = kPort;
    if (!FindModem() || !win.OpenPort(0)) {
        std::fprintf(stderr, "unit not found\n");
        return 1;
    }

    std::vector<double> latency;
    std::size_t noticeBytes = 0, replyBytes = 0, commandBytes = 0;
    std::size_t tracedIn = 0, tracedOut = 0;
    for (int k = 0; k < kRuns; ++k) {
        const std::string body = Body(k);
        win.expectBody = EscapeText(body);
        win.filed = false;
        win.sent = win.received = 0;
        unit.ClearLog();

        // The unit queues the notice's first byte for now.
        const Steady::time_point start = Steady::now();
        const int index = unit.Store(kNumber, body, kStamp, true);
        const Steady::time_point limit = start + std::chrono::seconds(10);
        while (!win.filed) {
            if (Steady::now() > limit) {
                std::fprintf(stderr, "notice %d not filed\n", k);
                return 1;
            }
            win.ReceiveEvent();
            win.Timer1Tick();
            platform::clock().SleepMs(1);
        }
        latency.push_back(Ms(start, win.filedAt));

        const std::string i = std::to_string(index);
        noticeBytes = ("\r\n+CMT: \"SM\"," + i + "\r\n").size();
        replyBytes = ("\r\n+CMGR: \"REC UNREAD\",\"" + std::string(kNumber) + "\",,\"" + kStamp +
                      "\"\r\n" + body + "\r\n\r\nOK\r\n").size();
        commandBytes = win.unitReadAtFile;
        tracedIn = win.receivedAtFile;
        tracedOut = win.sentAtFile;

        // The delete that follows the filing and its answer, before the next notice.
        while (unit.Deleted().empty() && Steady::now() < limit) {
            win.ReceiveEvent();
            platform::clock().SleepMs(1);
        }
        const Steady::time_point drain = Steady::now() + std::chrono::milliseconds(
                                             static_cast<int>(WireMs(6)) + 50);
        while (Steady::now() < drain) {
            win.ReceiveEvent();
            platform::clock().SleepMs(1);
        }
        if (unit.Deleted() != std::vector<int>({index})) {
            std::fprintf(stderr, "notice %d: message %d not deleted at the unit\n", k, index);
            return 1;
        }
    }
    if (win.inbox.Count() != kRuns) {
        std::fprintf(stderr, "the Inbox holds %d messages, not %d\n", win.inbox.Count(), kRuns);
        return 1;
    }

    std::sort(latency.begin(), latency.end());
    const double median = latency[latency.size() / 2];
    const double paced = WireMs(noticeBytes + replyBytes);
    const double wire = WireMs(noticeBytes + replyBytes + commandBytes);
    const double waits = kWaits * 30.0;
    std::printf("notice to \"inbox.csv\" at %d baud, %zu-character body, %d notices\n", kBaud,
                Body(0).size(), kRuns);
    std::printf("bytes until filed: notice %zu + AT+CMGR %zu + reply %zu = %zu "
                "(the program read %zu, wrote %zu)\n",
                noticeBytes, commandBytes, replyBytes, noticeBytes + commandBytes + replyBytes,
                tracedIn, tracedOut);
    std::printf("wire time at 10 bits a byte: %.1f ms both ways, %.1f ms of it the unit's\n",
                wire, paced);
    std::printf("  (a pty does not pace the program's own writes, only the unit's answers)\n");
    std::printf("wire time + %d x 30 ms: %.1f ms; paced part + %d x 30 ms: %.1f ms\n", kWaits,
                wire + waits, kWaits, paced + waits);
    // The unit puts each byte out at the start of its slot, and the notice's read ends at
    // its CR: the last bytes the matcher needs come 2 + 1 byte times before the wire time ends.
    const double early = WireMs(3);
    std::printf("  (two waits end inside the reply and overlap its bytes; the notice's CR and\n"
                "   the closing \"OK\" each add 30..60 ms, and the unit writes each byte at the\n"
                "   start of its slot, %.1f ms early in all: paced floor %.1f .. %.1f ms)\n",
                early, paced - early + 60.0, paced - early + 120.0);
    std::printf("latency (min / median / max): %.1f / %.1f / %.1f ms, ticking every ~1 ms\n",
                latency.front(), median, latency.back());
    std::printf("median over the paced wire time: %.1f ms\n", median - paced);
    std::printf("with the 250 ms tick's phase: %.1f .. %.1f ms (median + 0 .. %.0f ms)\n",
                median, median + kTickMs, kTickMs);

    SetMainWindow(nullptr);
    unit.Stop();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string root = MakeBenchWorld();

    int result = 1;
    {
        QApplication app(argc, argv);
        result = Run(root);
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return result;
}
