// Sending one SMS: result codes, the bytes on the wire, the prompt cancel and the text rules.
#include <gtest/gtest.h>

#include "tests/engine/fake_mainwindow.h"
#include "tests/engine/port_window.h"
#include "tests/sim/modemsim.h"
#include "tests/support/testenv.h"

namespace enginetest {
namespace {

// Real clock: the simulated unit answers at once, so only success paths run here.
class SimSendTest : public ::testing::Test {
protected:
    SimSendTest() {
        ResetEngine();
        MapNoPorts(env.ports());
        unit.LinkAsCom(env.ports(), 3);
        unit.Start();
        Settings.Port = 3;
        win.SetPort(3);
        SetMainWindow(&win);
    }
    ~SimSendTest() override { SetMainWindow(nullptr); }

    testing_support::TestEnv env;
    sim::ModemSim unit;
    PortWindow win;
};

TEST_F(SimSendTest, SentWithExactBytes) {
    EXPECT_EQ(SendSms("Hello", "123"), SMS_SENT);   // finds the unit on the saved port first
    EXPECT_EQ(unit.Received(), "ATI9\r\n\r\nAT\r\nAT+CMGF=1\r\nAT+CMGS=123\r\nHello\x1A");
    ASSERT_EQ(unit.Sent().size(), 1u);
    EXPECT_EQ(unit.Sent()[0].number, "123");
    EXPECT_TRUE(win.MSComm1.PortOpen());   // the first write opened it and it stays open
}

TEST_F(SimSendTest, TextRules) {
    ModemFound = true;
    const std::string x160(160, 'x');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {x160, x160},
        {x160 + "y", x160},
        {"A\x1A" "B\x1B" + x160, "AB" + x160.substr(2)},
        {"\x1B\x1B", ""},
    };
    for (const auto& [text, sent] : cases) {
        unit.ClearLog();
        EXPECT_EQ(SendSms(text, "5"), SMS_SENT);
        ASSERT_EQ(unit.Sent().size(), 1u);
        EXPECT_EQ(unit.Sent()[0].text, sent);
        EXPECT_EQ(unit.Received(), "\r\nAT\r\nAT+CMGF=1\r\nAT+CMGS=5\r\n" + sent + "\x1A");
    }
}

TEST_F(SimSendTest, UnitErrors) {
    ModemFound = true;
    EXPECT_EQ(SendSms("Hi", ""), SMS_ERROR);   // "AT+CMGS=" alone
    EXPECT_EQ(unit.Commands().back(), "AT+CMGS=");

    unit.SetErrorFor("AT+CMGS", true);
    unit.ClearLog();
    EXPECT_EQ(SendSms("Hi", "123"), SMS_ERROR);
    EXPECT_EQ(unit.Received(), "\r\nAT\r\nAT+CMGF=1\r\nAT+CMGS=123\r\n");

    unit.SetErrorFor("AT+CMGS", false);
    unit.SetErrorFor("AT+CMGF", true);
    unit.ClearLog();
    EXPECT_EQ(SendSms("Hi", "123"), SMS_NOT_FOUND);   // the initialisation fails
    EXPECT_EQ(unit.Received(), "\r\nAT\r\nAT+CMGF=1\r\n");
    EXPECT_TRUE(unit.Sent().empty());
}

TEST_F(SimSendTest, NotFoundShowsTheBox) {
    unit.Stop();
    Settings.Port = 5;
    env.MapCom(3, env.root() + "/no-device");
    testing_support::BoxScript boxes;
    boxes.Expect("The Corvane modem unit was not found.");
    EXPECT_EQ(SendSms("Hi", "123"), SMS_NOT_FOUND);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text, "The Corvane modem unit was not found.");
    EXPECT_EQ(boxes.shown()[0].caption, "Error");
    EXPECT_EQ(unit.Received(), "");
}

// Fake clock and fake unit: the waits that run out.
class FakeSendTest : public EngineTest {
protected:
    FakeSendTest() { ModemFound = true; }
};

// Clears ModemBusy after a number of sleeps, as another exchange ending would.
class ClearingClock : public platform::FakeClock {
public:
    int clearAfter = 0;
    void SleepMs(int64_t ms) override {
        FakeClock::SleepMs(ms);
        if (sleepCalls() == clearAfter) ModemBusy = false;
    }
};

TEST_F(FakeSendTest, BusyWait) {
    ModemBusy = true;
    win.units[1] = Answering({{"AT", "\r\nOK\r\n"}});
    EXPECT_EQ(SendSms("Hi", "1"), SMS_BUSY);
    EXPECT_EQ(clock.sleepCalls(), 300);
    EXPECT_EQ(clock.sleptMs(), 30000);
    EXPECT_EQ(win.writeAttempts, 0);

    ClearingClock clearing;
    clearing.clearAfter = 5;
    platform::ScopedClock scoped(&clearing);
    win.units[1] = Answering({{"AT+CMGS=", "\r\n> "}, {"AT", "\r\nOK\r\n"},
                              {"Hi", "\r\n+CMGS: 1\r\n"}});
    EXPECT_EQ(SendSms("Hi", "1"), SMS_SENT);   // goes on once the flag has cleared
    EXPECT_FALSE(ModemBusy);
    EXPECT_EQ(win.writes.front(), "\r\n");
}

struct ExchangeCase {
    const char* name;
    std::string prompt;      // answer to AT+CMGS
    std::string afterText;   // answer to the text
    int result;
    std::vector<std::string> tail;   // writes after the initialisation
};

TEST_F(FakeSendTest, ExchangeResults) {
    const std::vector<ExchangeCase> cases = {
        {"sent", "\r\n> ", "\r\n+CMGS: 7\r\n\r\nOK\r\n", SMS_SENT,
         {"AT+CMGS=123\r\n", "Hi\x1A"}},
        {"prompt split", "\r|\n|>| ", "+CM|GS: 1", SMS_SENT, {"AT+CMGS=123\r\n", "Hi\x1A"}},
        {"prompt wins over ERROR", "\r\nERROR\r\n> ", "\r\n+CMGS: 7\r\n", SMS_SENT,
         {"AT+CMGS=123\r\n", "Hi\x1A"}},
        {"no prompt: cancelled with ESC", "", "", SMS_TIMEOUT, {"AT+CMGS=123\r\n", "\x1B"}},
        {"garbage instead of prompt", "\r\n+CME: 3\r\n", "", SMS_TIMEOUT,
         {"AT+CMGS=123\r\n", "\x1B"}},
        {"no +CMGS", "\r\n> ", "", SMS_TIMEOUT, {"AT+CMGS=123\r\n", "Hi\x1A"}},
        {"ERROR after the text", "\r\n> ", "\r\nERROR\r\n", SMS_ERROR,
         {"AT+CMGS=123\r\n", "Hi\x1A"}},
    };
    for (const ExchangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        win = FakeMainWindow{};
        win.units[1] = Answering({{"AT+CMGS=", c.prompt}, {"AT", "\r\nOK\r\n"},
                                  {"Hi", c.afterText}});
        const int64_t start = clock.NowMs();
        EXPECT_EQ(SendSms("Hi", "123"), c.result);
        std::vector<std::string> tail(win.writes.begin() + 3, win.writes.end());
        EXPECT_EQ(tail, c.tail);
        EXPECT_LE(clock.NowMs() - start, 10500);   // two 5 s waits at most, nothing longer
    }
}

TEST_F(FakeSendTest, AnOwedDeleteAnswerThatNeverComesCostsOnePassAtMost) {
    struct Case {
        const char* name;
        bool closed;   // the port closed and not to be opened again
        int result;
    };
    const Case cases[] = {
        {"after a poll that timed out", false, SMS_SENT},
        {"with the port closed", true, SMS_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto send = [&](int owed) {
            win = FakeMainWindow{};
            win.units[1] = Answering({{"AT+CMGS=", "\r\n> "}, {"AT", "\r\nOK\r\n"},
                                      {"Hi", "\r\n+CMGS: 1\r\n"}});
            if (c.closed) {
                win.open = false;
                win.unopenable.insert(1);
            }
            PendingDeleteAnswers = owed;
            PendingDeleteSentMs = clock.NowMs() - 10000;   // the poll's last wait ran out
            const int64_t start = clock.NowMs();
            EXPECT_EQ(SendSms("Hi", "1"), c.result);
            EXPECT_EQ(PendingDeleteAnswers, 0);
            return clock.NowMs() - start;
        };
        const int64_t plain = send(0);
        EXPECT_LE(send(2), plain + 30);
    }
}

TEST_F(FakeSendTest, VanishingUnitReachesTheCaller) {
    win.units[1] = [this](const std::string& w) -> std::string {
        if (w.rfind("AT+CMGS", 0) != 0) return "\r\nOK\r\n";
        win.PushError();
        return "";
    };
    EXPECT_THROW(SendSms("Hi", "1"), platform::SerialError);
}

} // namespace
} // namespace enginetest
