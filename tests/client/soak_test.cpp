// Soak of the receiving road: hundreds of messages through notices and polls, replies in
// pieces, line noise and a unit that vanishes and comes back, with every delete checked on
// the unit's own thread against the Inbox file on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/datafile.h"
#include "client/msgfile.h"
#include "engine/settings.h"
#include "platform/datadir.h"
#include "tests/client/soak_window.h"
#include "tests/sim/modemsim.h"
#include "tests/support/testenv.h"

namespace {

using namespace std::chrono_literals;

constexpr int kPort = 3;

// The same sequence on every standard library.
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint32_t Next() {
        s_ = s_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(s_ >> 33);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
    bool Chance(int percent) { return Below(100) < percent; }
private:
    uint64_t s_;
};

// Message k: a unique body, sender and time stamp.
std::string Body(int k) { return "m" + std::to_string(k); }
std::string Sender(int k) {
    char s[32];
    std::snprintf(s, sizeof s, "+44770%06d", k);
    return s;
}
std::string Stamp(int k) {
    char s[32];
    std::snprintf(s, sizeof s, "24/%02d/%02d,%02d:%02d:%02d+04", 1 + k % 12, 1 + k % 28,
                  k % 24, k % 60, (k * 7) % 60);
    return s;
}
std::string Date(int k) {
    char s[32];
    std::snprintf(s, sizeof s, "2024/%02d/%02d %02d:%02d:%02d", 1 + k % 12, 1 + k % 28,
                  k % 24, k % 60, (k * 7) % 60);
    return s;
}

std::vector<msgfile::Record> ReadInbox(const std::string& path) {
    std::string bytes;
    if (!datafile::ReadFile(path, bytes)) return {};
    return msgfile::ParseFile(bytes).records;
}

// Hands out message numbers 0 .. total-1 to the test thread and the unit's thread alike.
class Bodies {
public:
    explicit Bodies(int total) : total_(total) {}
    std::optional<int> Take() {
        std::lock_guard<std::mutex> lock(mu_);
        if (next_ >= total_) return std::nullopt;
        return next_++;
    }
    int taken() const {
        std::lock_guard<std::mutex> lock(mu_);
        return next_;
    }
private:
    mutable std::mutex mu_;
    int total_;
    int next_ = 0;
};

// The unit's side, run on its thread for every command line: at each AT+CMGD the message
// in that slot must already be in the Inbox file; optionally new messages arrive, with
// their notices, while the unit is being read or listed.
class UnitWatch {
public:
    UnitWatch(sim::ModemSim& unit, std::string inboxPath)
        : unit_(unit), inboxPath_(std::move(inboxPath)) {}

    Bodies* bodies = nullptr;
    int arriveEveryRead = 0;   // a new message with every n-th AT+CMGR (0: none)
    int arriveEveryList = 0;   // ... with every n-th AT+CMGL

    void Install() {
        unit_.SetHandler([this](const std::string& line) { return OnLine(line); });
    }

    std::vector<std::string> violations() const {
        std::lock_guard<std::mutex> lock(mu_);
        return violations_;
    }
    int checked() const {
        std::lock_guard<std::mutex> lock(mu_);
        return checked_;
    }
    int arrived() const {
        std::lock_guard<std::mutex> lock(mu_);
        return arrived_;
    }

private:
    std::optional<std::string> OnLine(const std::string& line) {
        if (line.rfind("AT+CMGD=", 0) == 0) CheckDelete(line);
        if (line.rfind("AT+CMGR=", 0) == 0 && arriveEveryRead > 0 && ++reads_ % arriveEveryRead == 0)
            Arrive();
        if (line.rfind("AT+CMGL=", 0) == 0 && arriveEveryList > 0 && ++lists_ % arriveEveryList == 0)
            Arrive();
        return std::nullopt;
    }

    void CheckDelete(const std::string& line) {
        const int index = std::atoi(line.c_str() + 8);
        std::string body;
        for (const sim::StoredMessage& m : unit_.Messages())
            if (m.index == index) body = m.body;
        const std::vector<msgfile::Record> filed = ReadInbox(inboxPath_);
        const bool inFile = std::any_of(filed.begin(), filed.end(),
                                        [&](const msgfile::Record& r) { return r.text == body; });
        std::lock_guard<std::mutex> lock(mu_);
        ++checked_;
        if (body.empty())
            violations_.push_back(line + ": no message in that slot");
        else if (!inFile)
            violations_.push_back(line + ": " + body + " deleted before it was in the file");
    }

    void Arrive() {
        std::optional<int> k = bodies ? bodies->Take() : std::nullopt;
        if (!k) return;
        unit_.Store(Sender(*k), Body(*k), Stamp(*k), true);
        std::lock_guard<std::mutex> lock(mu_);
        ++arrived_;
    }

    sim::ModemSim& unit_;
    const std::string inboxPath_;
    mutable std::mutex mu_;
    std::vector<std::string> violations_;
    int checked_ = 0;
    int arrived_ = 0;
    int reads_ = 0;     // the unit's thread only
    int lists_ = 0;
};

// Line noise. Soft noise holds nothing that the read of a pending notice could take for its
// own reply ("ERROR", "+CMGR: "), but may hold "OK" lines, parts of every token and notices
// that name no message. Hard noise may hold those replies too; it goes on the line only
// while no notice waits in ReceiveBuffer, so every notice after it drops it unread. (Behind
// a pending notice an "ERROR" fails that notice's read after the unit has marked the message
// read, and the poll of unread messages never lists it again.)
std::string Noise(Rng& rng, bool hard) {
    static const char* const kSoft[] = {
        "+CM", "+CMT", "+CMT:", "+CMG", "+CMGR", "+CMGL:", "O", "K", "OK", "\r\nOK\r\n",
        "ERR", "ERRO", "Erro", "Error", "\r\n", "\r", "\n", "> ", "RING", ",", "\"",
        "+CMT: garbage\r\n", "+CMT: \"SM\"x9\r\n", "+CMT: \"SM\",\r\n", "+CMT: \"SM\",9999\r\n",
        "\r\n+CMS ERR", "\r\nOK", "OK\r"};
    static const char* const kHard[] = {
        "ERROR", "\r\nERROR\r\n", "+CMGL: 77,", "\r\n+CMGL: x\r\n",
        "+CMGR: \"REC UNREAD\",\"+1\",,\"24/01/01,00:00:00+00\"\r\n"};
    std::string out;
    const int parts = 1 + rng.Below(6);
    for (int i = 0; i < parts; ++i) {
        const int kind = rng.Below(hard ? 3 : 2);
        if (kind == 0) {
            const int n = 1 + rng.Below(12);
            for (int j = 0; j < n; ++j) out += static_cast<char>(rng.Below(256));
        } else if (kind == 1) {
            out += kSoft[rng.Below(int(std::size(kSoft)))];
        } else {
            out += kHard[rng.Below(int(std::size(kHard)))];
        }
    }
    if (!hard) {
        // Random bytes that spell a reply by chance lose a letter.
        for (const char* token : {"ERROR", "+CMGR: "})
            for (std::size_t p; (p = out.find(token)) != std::string::npos;) out[p + 1] = '_';
    }
    return out;
}

class SoakTest : public ::testing::Test {
protected:
    SoakTest() {
        ResetGlobals();
        unit.LinkAsCom(env.ports(), kPort);
        unit.Start();
        boxes.AnswerAll();
        SetMainWindow(&w);
        Settings.Port = kPort;
        w.SetPort(kPort);
    }
    ~SoakTest() override {
        unit.Stop();
        SetMainWindow(nullptr);
        ResetGlobals();
    }

    static void ResetGlobals() {
        Settings = SettingsRecord{};
        ModemBusy = MailWaiting = ModemFound = Polling = Sending = Suspended = false;
        ReceiveBuffer.clear();
        LastResponse.clear();
        PendingDeleteAnswers = 0;
        ReadListOwed = false;
        BuildLineEnds();
    }

    // Lets the line go quiet, as it is between two real ticks: the unit has run every
    // command written so far, and the receive event has taken in everything it queued in
    // answer (a mark sent behind it has come back).
    bool Settle() {
        const auto limit = std::chrono::steady_clock::now() + 10s;
        while (static_cast<int>(unit.Commands().size()) < w.lines) {
            if (std::chrono::steady_clock::now() > limit) {
                ADD_FAILURE() << "the unit ran " << unit.Commands().size() << " of " << w.lines
                              << " lines";
                return false;
            }
            std::this_thread::sleep_for(100us);
        }
        const std::string mark = "\x16" "s" + std::to_string(++marks) + "\r\n";
        unit.SendRaw(mark);
        while (w.ReceiveEvent(), ReceiveBuffer.find(mark) == std::string::npos) {
            if (std::chrono::steady_clock::now() > limit) {
                ADD_FAILURE() << "mark " << marks << " never came back";
                return false;
            }
            std::this_thread::sleep_for(100us);
        }
        return true;
    }

    // The program's start: find the unit, open the port, poll.
    void StartUp() {
        ASSERT_TRUE(FindModem());
        ASSERT_TRUE(w.OpenPort(0));
        PollUnread();
        ASSERT_TRUE(Settle());
    }

    testing_support::TestEnv env;
    testing_support::BoxScript boxes;
    const std::string inboxPath = platform::DataPath("inbox.csv");
    soak::SoakWindow w;
    sim::ModemSim unit;   // stopped first of all: its handler uses watch
    UnitWatch watch{unit, inboxPath};
    int marks = 0;
};

// Messages m0 .. m(n-1) with their senders and dates, each exactly once, in any order.
void ExpectEachFiledOnce(const std::vector<msgfile::Record>& filed, int n) {
    std::map<std::string, int> seen;
    for (const msgfile::Record& r : filed) {
        ++seen[r.text];
        ASSERT_GE(r.text.size(), 2u);
        const int k = std::atoi(r.text.c_str() + 1);
        EXPECT_EQ(r.text, Body(k));
        EXPECT_EQ(r.number, "\"" + Sender(k) + "\"") << r.text;
        EXPECT_EQ(r.date, Date(k)) << r.text;
        EXPECT_EQ(r.status, "New") << r.text;
    }
    for (int k = 0; k < n; ++k) EXPECT_EQ(seen[Body(k)], 1) << Body(k);
    EXPECT_EQ(filed.size(), static_cast<std::size_t>(n));
}

TEST_F(SoakTest, ANoticeEndsAsALineOfTheInboxFileAndADeleteAtTheUnit) {
    watch.Install();
    ASSERT_NO_FATAL_FAILURE(StartUp());
    const int index = unit.Store("+447700900123", "Hello there", "24/05/12,14:23:11+04", true);
    ASSERT_TRUE(Settle());
    ASSERT_NE(ReceiveBuffer.find("+CMT: \"SM\"," + std::to_string(index) + "\r\n"),
              std::string::npos);
    w.Timer1Timer();
    ASSERT_TRUE(Settle());

    EXPECT_EQ(env.ReadData("inbox.csv"),
              "\"\"\"+447700900123\"\"\",Hello%20there,\"2024/05/12 14:23:11\",New");
    EXPECT_EQ(unit.Deleted(), std::vector<int>({index}));
    EXPECT_TRUE(unit.Messages().empty());
    EXPECT_EQ(watch.checked(), 1);
    EXPECT_EQ(watch.violations(), std::vector<std::string>());
    ASSERT_EQ(w.inbox.Count(), 1);
    EXPECT_EQ(w.inbox.ItemStatus(0), "New");
    EXPECT_EQ(w.icons, std::vector<int>({2}));
    EXPECT_TRUE(MailWaiting);
    EXPECT_FALSE(ModemBusy);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(SoakTest, APollRightAfterANoticeReadTakesNoDeleteAnswerForTheEndOfItsList) {
    ASSERT_NO_FATAL_FAILURE(StartUp());
    const int a = unit.Store(Sender(0), Body(0), Stamp(0), true);
    ASSERT_TRUE(Settle());
    const int b = unit.Store(Sender(1), Body(1), Stamp(1), false);
    unit.SetBaud(2400);   // the answer to the notice's delete comes late
    w.Timer1Timer();
    w.RXPollTimerTimer();
    ASSERT_TRUE(Settle());

    ExpectEachFiledOnce(ReadInbox(inboxPath), 2);
    EXPECT_TRUE(unit.Messages().empty());
    const std::vector<std::string> commands = unit.Commands();
    ASSERT_GE(commands.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 5, commands.end()),
              std::vector<std::string>({"AT+CMGR=" + std::to_string(a),
                                        "AT+CMGD=" + std::to_string(a),
                                        "AT+CMGL=\"REC UNREAD\"",
                                        "AT+CMGR=" + std::to_string(b),
                                        "AT+CMGD=" + std::to_string(b)}));
    EXPECT_TRUE(boxes.shown().empty());
}

// Every save of the Inbox file fails while it lives (a full disk, a read-only folder).
class FailingSaves {
public:
    FailingSaves()
        : previous_(datafile::SetWriteHook([](int, const char*, std::size_t) -> long {
              errno = EROFS;
              return -1;
          })) {}
    ~FailingSaves() { datafile::SetWriteHook(std::move(previous_)); }
private:
    datafile::WriteHook previous_;
};

TEST_F(SoakTest, AMessageWhoseSaveFailedStaysOnTheUnitUntilSavingWorksAgain) {
    watch.Install();
    ASSERT_NO_FATAL_FAILURE(StartUp());
    {
        FailingSaves failing;
        unit.Store(Sender(0), Body(0), Stamp(0), true);
        ASSERT_TRUE(Settle());
        w.Timer1Timer();
        unit.Store(Sender(1), Body(1), Stamp(1));
        unit.Store(Sender(2), Body(2), Stamp(2));
        for (int poll = 0; poll < 2; ++poll) {
            w.RXPollTimerTimer();
            ASSERT_TRUE(Settle());
        }
        EXPECT_TRUE(unit.Deleted().empty());
        EXPECT_EQ(unit.Messages().size(), 3u);
        EXPECT_EQ(w.inbox.Count(), 3);
        ASSERT_EQ(boxes.shown().size(), 1u);
        EXPECT_EQ(boxes.shown()[0].caption, "Error");
    }
    w.RXPollTimerTimer();
    ASSERT_TRUE(Settle());

    ExpectEachFiledOnce(ReadInbox(inboxPath), 3);
    EXPECT_EQ(w.inbox.Count(), 3);
    EXPECT_TRUE(unit.Messages().empty());
    EXPECT_EQ(watch.checked(), 3);
    EXPECT_EQ(watch.violations(), std::vector<std::string>());
    EXPECT_EQ(w.icons, std::vector<int>(3, 2));
    EXPECT_EQ(boxes.shown().size(), 1u);
}

// Left behind by an end of the program between the save and the delete (m0, in the Inbox
// file already) or between the read and the save (m1): both are held by the unit as read.
TEST_F(SoakTest, AtStartUpReadMessagesAreCollectedAndNoneIsFiledTwice) {
    env.WriteData("inbox.csv", msgfile::FormatRecord({"\"" + Sender(0) + "\"", Body(0),
                                                      Date(0), "New"}));
    w.inbox.LoadFromFile("inbox.csv", true);
    for (int k : {0, 1}) unit.StoreMessage({0, "REC READ", Sender(k), "", Stamp(k), Body(k)});
    unit.Store(Sender(2), Body(2), Stamp(2));
    watch.Install();
    ASSERT_NO_FATAL_FAILURE(StartUp());

    ExpectEachFiledOnce(ReadInbox(inboxPath), 3);
    EXPECT_EQ(w.inbox.Count(), 3);
    EXPECT_TRUE(unit.Messages().empty());
    EXPECT_EQ(watch.violations(), std::vector<std::string>());
    EXPECT_EQ(w.icons, std::vector<int>(2, 2));
    const std::vector<std::string> commands = unit.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+CMGL=\"REC READ\""), 1);
}

TEST_F(SoakTest, HundredsOfMessagesArriveOnceThroughNoiseSplitsAndAVanishedUnit) {
    constexpr int kTotal = 360;
    constexpr int kSplitFrom = 100, kSplitTo = 240, kVanishAt = 270;
    constexpr int kPollEvery = 12;   // Timer1 ticks per poll tick
    const auto began = std::chrono::steady_clock::now();

    Rng rng(20261209);
    Bodies bodies(kTotal);
    watch.bodies = &bodies;
    watch.arriveEveryRead = 9;
    watch.arriveEveryList = 4;
    watch.Install();
    ASSERT_NO_FATAL_FAILURE(StartUp());

    struct {
        int notified = 0, silent = 0, repeats = 0, bursts = 0, hardBursts = 0;
        std::size_t noiseBytes = 0;
        int splitSteps = 0, splitCommands = 0, polls = 0, vanishBoxes = 0, steps = 0;
    } fig;
    std::vector<int> recent;   // slots used lately, for repeated notices
    bool vanished = false;

    auto arrive = [&](int k, bool notify) {
        recent.push_back(unit.Store(Sender(k), Body(k), Stamp(k), notify));
        (notify ? fig.notified : fig.silent)++;
    };

    while (bodies.taken() < kTotal) {
        ++fig.steps;
        const int taken = bodies.taken();
        const bool split = taken >= kSplitFrom && taken < kSplitTo;
        if (split) {
            unit.SetSplit(2 + rng.Below(4), std::chrono::milliseconds(rng.Below(3)));
            ++fig.splitSteps;
        } else {
            unit.SetSplit(1, 0ms);
        }
        const std::size_t commandsBefore = unit.Commands().size();

        if (rng.Chance(50)) {
            const bool hard = ReceiveBuffer.find("+CMT: ") == std::string::npos && rng.Chance(50);
            const std::string noise = Noise(rng, hard);
            unit.SendRaw(noise);
            ++fig.bursts;
            fig.hardBursts += hard;
            fig.noiseBytes += noise.size();
        }
        for (int n = rng.Below(3); n > 0; --n)
            if (std::optional<int> k = bodies.Take()) arrive(*k, rng.Chance(60));
        if (!recent.empty() && rng.Chance(8)) {
            unit.Notify(recent[static_cast<std::size_t>(rng.Below(int(recent.size())))]);
            ++fig.repeats;
        }
        ASSERT_TRUE(Settle());
        w.Timer1Timer();
        ASSERT_TRUE(Settle());
        if (fig.steps % kPollEvery == 0) {
            w.RXPollTimerTimer();
            ++fig.polls;
            ASSERT_TRUE(Settle());
        }
        if (split) fig.splitCommands += static_cast<int>(unit.Commands().size() - commandsBefore);
        // Boxes come only while the unit is away.
        ASSERT_EQ(boxes.shown().size(), static_cast<std::size_t>(fig.vanishBoxes))
            << boxes.shown().back().text;

        if (!vanished && bodies.taken() >= kVanishAt) {
            // A notice is on its way in when the unit goes; more messages come while it is
            // away, their notices lost with the line.
            unit.SetSplit(1, 0ms);
            if (std::optional<int> k = bodies.Take()) arrive(*k, true);
            ASSERT_TRUE(Settle());
            unit.Vanish();
            vanished = true;
            for (int i = 0; i < 3; ++i)
                if (std::optional<int> k = bodies.Take()) arrive(*k, true);
            // The pending notice's check finds the line dead: one box, the port closed;
            // later ticks and receive events while the unit is away show nothing more.
            for (int i = 0; i < 3; ++i) {
                w.Timer1Timer();
                w.ReceiveEvent();
                w.RXPollTimerTimer();
            }
            fig.vanishBoxes = static_cast<int>(boxes.shown().size());
            ASSERT_EQ(fig.vanishBoxes, 1);
            EXPECT_EQ(boxes.shown()[0].caption, "Error");
            EXPECT_TRUE(w.LineIsLost());
            EXPECT_FALSE(w.MSComm1.PortOpen());
            EXPECT_FALSE(ModemBusy);
            EXPECT_FALSE(Polling);
            // Back on a new device behind the same COM link: the next tick reopens the port
            // and polls, with no suspend and resume.
            unit.Reappear();
            w.Timer1Timer();
            EXPECT_FALSE(w.LineIsLost());
            EXPECT_TRUE(w.MSComm1.PortOpen());
            ASSERT_TRUE(Settle());
        }
    }
    // Whatever the notices missed comes with the next polls.
    unit.SetSplit(1, 0ms);
    for (int i = 0; i < 10 && !unit.Messages().empty(); ++i) {
        w.RXPollTimerTimer();
        ++fig.polls;
        ASSERT_TRUE(Settle());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    EXPECT_TRUE(vanished);
    EXPECT_EQ(watch.violations(), std::vector<std::string>());
    EXPECT_EQ(watch.checked(), kTotal);
    EXPECT_TRUE(unit.Messages().empty()) << unit.Messages().size() << " left on the unit";
    ExpectEachFiledOnce(ReadInbox(inboxPath), kTotal);
    EXPECT_EQ(w.inbox.Count(), kTotal);
    EXPECT_EQ(w.icons, std::vector<int>(kTotal, 2));
    EXPECT_TRUE(MailWaiting);
    EXPECT_FALSE(ModemBusy);
    EXPECT_FALSE(Polling);

    std::printf("soak: %d messages in %.1f s, %d steps: %d announced, %d silent, %d arrived "
                "during reads and lists, %d repeated notices\n"
                "soak: filed %d from notices, %d from %d polls\n"
                "soak: %d noise bursts (%d hard), %zu bytes; %d steps with replies in pieces "
                "(%d commands); vanish: %d Error box, reopened by the next tick\n",
                kTotal, seconds, fig.steps, fig.notified, fig.silent, watch.arrived(),
                fig.repeats, w.filedByNotice, w.filedByPoll, fig.polls, fig.bursts,
                fig.hardBursts, fig.noiseBytes, fig.splitSteps, fig.splitCommands,
                fig.vanishBoxes);
}

} // namespace
