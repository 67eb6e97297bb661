// The engine against whatever the unit may send. The input is a script:
//
//   <flags><text>|<chunk>|<chunk>|...
//
// The first byte chooses the course (see Flag), the rest of the first segment is the text of
// the message to send. Every further segment is what one read of the serial input returns,
// in order, across all operations; "||" is a read that finds nothing, a segment of just "~"
// is a read that fails. When the chunks run out, reads find nothing and the waits time out
// on the fake clock.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <string>
#include <string_view>

#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "engine/serparse.h"
#include "fuzz/fuzz_tempdir.h"
#include "platform/boxes.h"
#include "platform/clock.h"
#include "platform/serial.h"

namespace {

enum Flag : uint8_t {
    kNoticeFirst = 1 << 0,    // put a "+CMT: " notice in front of the first chunk
    kFlood = 1 << 1,          // reads bring more than the buffer's cap
    kInitString = 1 << 2,     // the user has an initialisation string
    kNotFound = 1 << 3,       // send with ModemFound false (a search that finds nothing)
    kBusy = 1 << 4,           // send while ModemBusy stays set
    kDelete = 1 << 5,         // ReadMessage deletes what it read
    kSuspended = 1 << 6,      // writes are refused
    kReadAgain = 1 << 7,      // the reply set for the last waits comes from the text
};

constexpr std::size_t kFloodRead = 16 * 1024;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "engine invariant broken: %s\n", what);
    std::abort();
}

// A window that serves scripted chunks and refuses nothing it need not.
class ScriptWindow : public IMainWindow {
public:
    std::deque<std::string> chunks;
    std::deque<std::string> flood;   // served before the chunks
    std::size_t largestRead = 0;
    bool open = true;
    bool suspended = false;
    int filed = 0;

    int WriteToModem(const std::string&) override {
        if (suspended || !OpenPort(0)) return 2;
        return 1;
    }
    bool OpenPort(int) override {
        if (!suspended) open = true;
        return open;
    }
    void SetPort(int) override { ClosePort(); }
    bool ClosePort() override {
        open = false;
        ReceiveBuffer.clear();
        return false;
    }
    std::string ReadInput() override {
        CheckBuffer();
        if (!open) throw platform::SerialError("port is closed");
        std::string text;
        if (!flood.empty()) {
            text = std::move(flood.front());
            flood.pop_front();
        } else if (!chunks.empty()) {
            text = std::move(chunks.front());
            chunks.pop_front();
            if (text == "~") throw platform::SerialError("line hung up");
        }
        if (text.size() > largestRead) largestRead = text.size();
        return text;
    }
    void SetCommPort(int) override {
        if (open) throw platform::SerialError("port is open");
    }
    void AddTrace(const std::string&, bool) override {}
    InboxFiling AddInboxMessage(const std::string&, const std::string&, const std::string& date,
                                bool old, bool) override {
        if (old) Fail("a received message filed as old");
        if (date.size() > 19) Fail("a date longer than yyyy/mm/dd hh:mm:ss");
        ++filed;
        return {true, filed % 3 != 0};   // every third save fails: the message stays
    }
    void ModifyIcon(int kind) override {
        if (kind != 1 && kind != 2) Fail("unknown icon");
    }

    // The buffer keeps at most its cap, plus what one read brought before it was cut.
    void CheckBuffer() const {
        if (ReceiveBuffer.size() > ReceiveBufferCap + largestRead)
            Fail("ReceiveBuffer grew past its cap");
    }
};

void ResetEngine() {
    Settings = SettingsRecord{};
    ReceiveBuffer.clear();
    LastResponse.clear();
    ModemBusy = MailWaiting = ModemFound = Polling = Sending = Suspended = false;
    ReadListOwed = false;
    BuildLineEnds();
}

// Runs one engine operation; only a failure of the serial control may come out of it.
template <class Op>
void Run(ScriptWindow& w, Op op) {
    try {
        op();
    } catch (const platform::SerialError&) {
    } catch (const std::exception& e) {
        std::fprintf(stderr, "engine let through: %s\n", e.what());
        std::abort();
    } catch (...) {
        Fail("an exception of no known type escaped");
    }
    w.CheckBuffer();
}

// Reply sets for the closing waits, as the engine's callers use them.
struct Replies {
    int timeoutMs;
    const char* r[4];
};
const Replies kReplySets[] = {
    {5000, {"OK", "ERROR", "", ""}},
    {500, {"6B71", "ERROR", "", ""}},
    {5000, {">", "ERROR", "", ""}},
    {5000, {"+CMGS: ", "ERROR", "", ""}},
    {10000, {"+CMGL: ", "OK", "ERROR", ""}},
    {5000, {"+CMGL: ", "\r\nOK\r\n", "\r\nError\r\n", "\r\nERROR\r\n"}},
    {5000, {"\r", "ERROR", "", ""}},
    {0, {"", "", "", ""}},
};

void CheckWait(ScriptWindow& w, int timeoutMs, const std::string r[4]) {
    const std::string before = LastResponse;
    int result = -1;
    Run(w, [&] { result = WaitFor(timeoutMs, r[0], r[1], r[2], r[3]); });
    if (result == -1) return;   // the read failed
    if (result < 0 || result > 4) Fail("WaitFor result out of range");
    if (result == 0) {
        if (LastResponse != before) Fail("a timed-out wait changed LastResponse");
        return;
    }
    const std::string& reply = r[result - 1];
    if (reply.empty()) Fail("WaitFor matched an empty reply");
    std::size_t at = LastResponse.rfind(reply);
    if (at == std::string::npos || LastResponse.size() - (at + reply.size()) > 1)
        Fail("LastResponse does not end with the matched reply and at most one character");
    if (LastResponse.size() > at + reply.size() &&
        (ReceiveBuffer.empty() || ReceiveBuffer[0] != LastResponse.back()))
        Fail("the character after the reply did not stay in ReceiveBuffer");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Nothing the engine does may reach the machine's own ports, registry or data.
    const std::string base = fuzzsupport::MakeTempDir("engine");
    setenv("CORVANE_PORTS", (base + "/ports").c_str(), 1);
    setenv("CORVANE_DEVICES", (base + "/devices").c_str(), 1);
    setenv("CORVANE_REGISTRY", (base + "/registry.reg").c_str(), 1);
    setenv("CORVANE_DATA", (base + "/data").c_str(), 1);
    platform::SetBoxHandler([](const platform::BoxRequest&) { return 1; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

    ScriptWindow w;
    platform::FakeClock clock;
    platform::ScopedClock scoped(&clock);
    ResetEngine();
    SetMainWindow(&w);

    std::size_t bar = rest.find('|');
    const std::string smsText(rest.substr(0, bar));
    while (bar != std::string_view::npos) {
        std::size_t next = rest.find('|', bar + 1);
        w.chunks.emplace_back(rest.substr(bar + 1, next == std::string_view::npos
                                                        ? std::string_view::npos
                                                        : next - bar - 1));
        bar = next;
    }
    if (flags & kInitString) Settings.Init = "ATE0V1";
    w.suspended = flags & kSuspended;
    Suspended = w.suspended;

    // The receive event files the first chunk, then the 250 ms tick looks for a notice.
    ModemFound = true;
    std::string first;
    if (!w.chunks.empty()) {
        first = std::move(w.chunks.front());
        w.chunks.pop_front();
    }
    if (flags & kNoticeFirst) first.insert(0, "+CMT: \"SM\",");
    if (first.size() > w.largestRead) w.largestRead = first.size();
    AppendReceived(first);
    if (flags & kFlood) {
        // Reads of filler that add up to twice the cap, then the first chunk once more:
        // only the newest bytes may stay.
        for (std::size_t sum = 0; sum < 2 * ReceiveBufferCap; sum += kFloodRead)
            w.flood.emplace_back(kFloodRead, '.');
        w.flood.push_back(first);
    }

    ModemBusy = true;
    Run(w, [] { CheckUnsolicited(); });
    if (ModemBusy) Fail("ModemBusy still set after CheckUnsolicited");
    if (!ModemFound) Fail("ModemFound was reset");

    Run(w, [] { PollUnread(); });
    if (ModemBusy) Fail("ModemBusy still set after PollUnread");

    SMSMessage message;
    Run(w, [&] {
        int r = ReadMessage(static_cast<int>(flags >> 4), flags & kDelete, message);
        if (r != 1 && r != SMS_ERROR && r != SMS_TIMEOUT) Fail("ReadMessage result");
    });
    if (message.Date.size() > 19) Fail("a date longer than yyyy/mm/dd hh:mm:ss");

    if (flags & kNotFound) ModemFound = false;
    ModemBusy = flags & kBusy;
    Run(w, [&] {
        int r = SendSms(smsText, "\"+4917012345\"");
        if (r < SMS_SENT || r > SMS_TIMEOUT) Fail("SendSms result");
        if ((flags & kBusy) && !(flags & kNotFound) && r != SMS_BUSY)
            Fail("a send went ahead while ModemBusy stayed set");
    });
    ModemBusy = false;

    Run(w, [] { ProbePort(1); });
    if (w.open) Fail("ProbePort left the port open");

    w.OpenPort(0);
    for (const Replies& set : kReplySets) {
        std::string r[4] = {set.r[0], set.r[1], set.r[2], set.r[3]};
        if ((flags & kReadAgain) && !smsText.empty()) r[1] = smsText;
        CheckWait(w, set.timeoutMs, r);
    }

    SetMainWindow(nullptr);
    return 0;
}
