// The reply matcher, the receive buffer's cap and the initialisation.
#include <gtest/gtest.h>

#include "tests/engine/fake_mainwindow.h"

namespace enginetest {
namespace {

using MatcherTest = EngineTest;

struct WaitCase {
    const char* name;
    std::string before;                  // ReceiveBuffer before the call
    std::vector<std::string> chunks;     // one per read
    int timeout;
    std::string r1, r2, r3, r4;
    int result;
    std::string last;                    // LastResponse after ("<old>" = unchanged)
    std::string rest;                    // ReceiveBuffer after
    int reads;                           // reads made (0 = not checked)
};

TEST_F(MatcherTest, ReplyTable) {
    const std::vector<WaitCase> cases = {
        {"worked example", "AT\r\r\nOK\r\n", {}, 500, "OK", "", "", "", 1,
         "AT\r\r\nOK\r", "\r\n", 1},
        {"first occurrence wins", "OK\r\nOK", {}, 500, "OK", "", "", "", 1, "OK\r", "\r\nOK", 1},
        {"priority by argument order", "ERROR\r\nOK", {}, 500, "OK", "ERROR", "", "", 1,
         "ERROR\r\nOK", "", 1},
        {"second reply", "xxERRORyy", {}, 500, "OK", "ERROR", "", "", 2, "xxERRORy", "yy", 1},
        {"fourth reply", "..D..C", {}, 500, "A", "B", "", "D", 4, "..D.", "..C", 1},
        {"case matters", "Error\r\n", {}, 30, "OK", "ERROR", "", "", 0, "<old>", "Error\r\n", 2},
        {"reply split over reads", "", {"", "O", "K\r\n"}, 500, "OK", "", "", "", 1, "OK\r",
         "\r\n", 3},
        {"late first reply wins", "", {"", "", "OK"}, 60, "OK", "ERROR", "", "", 1, "OK", "", 3},
        {"late second reply loses", "", {"", "", "ERROR"}, 60, "OK", "ERROR", "", "", 0, "<old>",
         "ERROR", 3},
        {"time-out 0 makes one pass", "", {"x", "OK"}, 0, "OK", "", "", "", 0, "<old>", "x", 1},
        {"time-out 0 finds a buffered reply", "OK", {}, 0, "OK", "", "", "", 1, "OK", "", 1},
        {"empty replies never match", "OK", {"ab", "cd"}, 90, "", "", "", "", 0, "<old>",
         "OKabcd", 4},
    };
    for (const WaitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetEngine();
        win = FakeMainWindow{};
        LastResponse = "<old>";
        ReceiveBuffer = c.before;
        for (const std::string& chunk : c.chunks) win.Push(chunk);
        const int64_t slept = clock.sleptMs();
        EXPECT_EQ(WaitFor(c.timeout, c.r1, c.r2, c.r3, c.r4), c.result);
        EXPECT_EQ(LastResponse, c.last);
        EXPECT_EQ(ReceiveBuffer, c.rest);
        EXPECT_EQ(win.reads, c.reads);
        EXPECT_EQ(clock.sleptMs() - slept, 30 * c.reads);   // one 30 ms sleep per pass
        std::string read;   // what the reads took, traced as received
        for (std::size_t i = 0; i < c.chunks.size() && int(i) < c.reads; ++i) read += c.chunks[i];
        EXPECT_EQ(win.traced, read);
    }
}

TEST_F(MatcherTest, TimeOutCountsOnTheInjectedClock) {
    EXPECT_EQ(WaitFor(5000, "OK", "ERROR"), 0);
    // Passes at 0, 30, ... 5010 ms: the pass that sees 5000 gone is the last.
    EXPECT_EQ(win.reads, 168);
    EXPECT_EQ(clock.NowMs(), 168 * 30);
}

TEST_F(MatcherTest, InputErrorReachesTheCaller) {
    win.Push("partial");
    win.PushError();
    EXPECT_THROW(WaitFor(5000, "OK"), platform::SerialError);
    EXPECT_EQ(ReceiveBuffer, "partial");
}

TEST_F(MatcherTest, BufferKeepsTheNewest64KiB) {
    ReceiveBuffer = std::string(60000, 'a');
    AppendReceived(std::string(10000, 'b'));
    ASSERT_EQ(ReceiveBuffer.size(), ReceiveBufferCap);
    EXPECT_EQ(ReceiveBuffer.find('b'), ReceiveBufferCap - 10000);

    win.Push(std::string(ReceiveBufferCap, 'c') + "OK!");
    EXPECT_EQ(WaitFor(0, "OK"), 1);
    EXPECT_EQ(LastResponse.size(), ReceiveBufferCap);
    EXPECT_EQ(LastResponse.find('b'), std::string::npos);
    EXPECT_EQ(ReceiveBuffer, "!");
}

struct InitCase {
    const char* name;
    std::string init;
    std::vector<std::pair<std::string, std::string>> unit;
    bool suspended;
    bool result;
    std::vector<std::string> writes;
    int attempts;
};

TEST_F(MatcherTest, InitModemSequence) {
    const std::string ok = "\r\nOK\r\n";
    const std::vector<InitCase> cases = {
        {"plain", "", {{"AT", ok}}, false, true, {"\r\n", "AT\r\n", "AT+CMGF=1\r\n"}, 3},
        {"with init string", "ATE0 ", {{"AT", ok}}, false, true,
         {"\r\n", "AT\r\n", "AT+CMGF=1\r\n", "ATE0 \r\n"}, 4},
        {"init string not answered", "AT&F", {{"AT&F", ""}, {"AT", ok}}, false, false,
         {"\r\n", "AT\r\n", "AT+CMGF=1\r\n", "AT&F\r\n"}, 4},
        {"ERROR to AT", "ATE0", {{"AT\r", "\r\nERROR\r\n"}, {"AT", ok}}, false, false,
         {"\r\n", "AT\r\n"}, 2},
        {"silent unit", "", {}, false, false, {"\r\n", "AT\r\n"}, 2},
        {"suspended", "", {{"AT", ok}}, true, false, {}, 1},
    };
    for (const InitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetEngine();
        win = FakeMainWindow{};
        ReceiveBuffer = "OK stale";
        Settings.Init = c.init;
        win.suspended = c.suspended;
        win.units[1] = Answering(c.unit);
        EXPECT_EQ(InitModem(), c.result);
        EXPECT_EQ(win.writes, c.writes);
        EXPECT_EQ(win.writeAttempts, c.attempts);
    }
}

} // namespace
} // namespace enginetest
