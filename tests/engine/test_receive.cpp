// Receiving: notices, single reads, the body ends, the unread poll and a unit that vanishes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "tests/engine/fake_mainwindow.h"
#include "tests/engine/port_window.h"
#include "tests/sim/modemsim.h"
#include "tests/support/testenv.h"

namespace enginetest {
namespace {

const std::string kHeader = "\"REC UNREAD\",\"+123\",,\"24/05/12,14:23:11+04\"\r\n";
const std::string kOk = "\r\nOK\r\n";

std::string Entry(int index, const std::string& body) {
    return "\r\n+CMGL: " + std::to_string(index) + "," + kHeader + body;
}

class ReceiveTest : public EngineTest {
protected:
    ReceiveTest() { ModemFound = true; }
};

TEST_F(ReceiveTest, NoticeWorkedExample) {
    win.units[1] = Answering({{"AT+CMGR=3\r\n", "\r\n+CMGR: " + kHeader + "Hello\r\n" + kOk},
                              {"AT+CMGD=3\r\n", kOk}});
    ReceiveBuffer = "noise\r\n+CMT: \"SM\",3\r\n";
    ModemBusy = true;
    CheckUnsolicited();
    ASSERT_EQ(win.inbox.size(), 1u);
    EXPECT_EQ(win.inbox[0].Number, "\"+123\"");
    EXPECT_EQ(win.inbox[0].Text, "Hello\r\n\r\n");
    EXPECT_EQ(win.inbox[0].Date, "2024/05/12 14:23:11");
    EXPECT_EQ(win.writes, std::vector<std::string>({"AT+CMGR=3\r\n", "AT+CMGD=3\r\n"}));
    EXPECT_EQ(win.icons, std::vector<int>({2}));
    EXPECT_EQ(win.readBefore, std::vector<bool>({false}));
    EXPECT_TRUE(MailWaiting);
    EXPECT_FALSE(ModemBusy);
}

struct NoticeCase {
    const char* name;
    std::string buffer;
    std::vector<std::string> writes;
    std::string rest;   // ReceiveBuffer after
};

TEST_F(ReceiveTest, Notices) {
    const std::vector<NoticeCase> cases = {
        {"one digit", "+CMT: \"SM\",3\r\n", {"AT+CMGR=3\r\n"}, ""},
        {"two digits", "xx+CMT: \"ME\",12\r\nyy", {"AT+CMGR=12\r\n"}, ""},
        {"no CR within 5 s", "+CMT: \"SM\",7", {"AT+CMGR=7\r\n"}, ""},
        {"no comma at 11", "+CMT: \"+4412\",,\"24/05/12\"\r\nHi\r\n", {}, "\nHi\r\n"},
        {"empty index", "+CMT: \"SM\",\r\n", {}, "\n"},
        {"garbage index", "+CMT: \"SM\",3x\r\n", {}, "\n"},
        {"huge index", "+CMT: \"SM\",99999999999999999999\r\n", {}, "\n"},
        {"short notice", "+CMT: \r\n", {}, "\n"},
        {"no notice", "+CMTI: \"SM\",3\r\n", {}, "+CMTI: \"SM\",3\r\n"},
    };
    for (const NoticeCase& c : cases) {
        SCOPED_TRACE(c.name);
        win = FakeMainWindow{};   // a silent unit: each read times out
        ReceiveBuffer = c.buffer;
        ModemBusy = true;
        CheckUnsolicited();
        EXPECT_EQ(win.writes, c.writes);
        EXPECT_TRUE(win.inbox.empty());
        EXPECT_FALSE(ModemBusy);
        if (c.writes.empty()) {
            EXPECT_EQ(ReceiveBuffer, c.rest);
        }
    }
}

TEST_F(ReceiveTest, NoticeLeftAloneWithoutUnit) {
    ModemFound = false;
    ModemBusy = true;
    ReceiveBuffer = "+CMT: \"SM\",3\r\n";
    CheckUnsolicited();
    EXPECT_EQ(ReceiveBuffer, "+CMT: \"SM\",3\r\n");
    EXPECT_FALSE(ModemBusy);
    ModemBusy = true;
    PollUnread();
    EXPECT_TRUE(win.writes.empty());
    EXPECT_TRUE(ModemBusy);   // not touched
}

TEST_F(ReceiveTest, ReadMessageResults) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"\r\n+CMGR: " + kHeader + "Hi\r\n" + kOk, 1},
        {"\r\nERROR\r\n", 2},
        {kOk, 5},                          // neither "+CMGR: " nor "ERROR"
        {"\r\n+CMGR: \"REC READ\"", 5},    // header without its line end
        {"\r\n+CMGR: |ERROR", 2},
    };
    for (const auto& [answer, result] : cases) {
        SCOPED_TRACE(answer);
        win = FakeMainWindow{};
        PendingDeleteAnswers = 0;   // the unit here answers no delete
        win.units[1] = Answering({{"AT+CMGR=4\r\n", answer}});
        SMSMessage m;
        EXPECT_EQ(ReadMessage(4, true, m), result);
        EXPECT_EQ(win.writes.size(), result == 1 ? 2u : 1u);   // the delete follows a read
    }
}

struct BodyCase {
    const char* name;
    std::string header;               // LastResponse on entry
    std::vector<std::string> chunks;  // the body as it arrives
    int result;
    std::string text;
    bool deleted;
    std::string rest;                 // front of ReceiveBuffer after ("" = not checked)
};

TEST_F(ReceiveTest, BodyEnds) {
    const std::string header = kHeader + "H";
    const std::vector<BodyCase> cases = {
        {"OK closes", header, {"Hello\r\n" + kOk}, 1, "Hello\r\n\r\n", true, ""},
        {"a line of OK is text", header, {"a\r\nOK\r\n", "b\r\n" + kOk}, 1,
         "a\r\nOK\r\nb\r\n\r\n", true, ""},
        {"ERROR inside the text", header, {"An ERROR, sorry\r\n", kOk}, 1,
         "An ERROR, sorry\r\n\r\n", true, ""},
        {"Error inside the text", header, {"Error 5 here\r\n", "more Error\r\n", kOk}, 1,
         "Error 5 here\r\nmore Error\r\n\r\n", true, ""},
        {"ERROR line", header, {"Hi\r\nERROR\r\n"}, 2, "<none>", false, ""},
        {"Error line", header, {"Hi\r\nError\r\n", "\r\nOK\r\n"}, 1, "Hi\r\nError\r\n\r\n",
         true, ""},
        {"a list entry is text", header, {"Hi\r\n+CMGL: 4,\"x\"\r\n", "y\r\n" + kOk}, 1,
         "Hi\r\n+CMGL: 4,\"x\"\r\ny\r\n\r\n", true, ""},
        {"more than the buffer holds", header, {std::string(ReceiveBufferCap, 'x') + kOk}, 5,
         "<none>", false, ""},
        {"whole reply at once wins over ERROR", header, {"x\r\nERROR\r\ny\r\n" + kOk}, 1,
         "x\r\nERROR\r\ny\r\n\r\n", true, ""},
        {"no end", header, {"Hello"}, 5, "<none>", false, "Hello"},
        {"two commas", "\"REC READ\",\"+1\",\"Ann\"\r\n", {"Hello" + kOk}, 2, "<none>", false, ""},
    };
    for (const BodyCase& c : cases) {
        SCOPED_TRACE(c.name);
        win = FakeMainWindow{};
        win.units[1] = Answering({{"AT+CMGD=9", kOk}});
        PendingDeleteAnswers = 0;   // the last row's answer went with its window
        for (const std::string& chunk : c.chunks) win.Push(chunk);
        LastResponse = c.header;
        ReceiveBuffer.clear();
        SMSMessage m{"", "<none>", ""};
        EXPECT_EQ(ParseMessage(9, true, m), c.result);
        EXPECT_EQ(m.Text, c.text);
        EXPECT_EQ(win.writes.size(), c.deleted ? 1u : 0u);
        EXPECT_EQ(ReceiveBuffer.substr(0, c.rest.size()), c.rest);
    }
}

TEST_F(ReceiveTest, HeaderFields) {
    SMSMessage m;
    LastResponse = "\"REC READ\",\"+4479\",\"Ann\",\"99/12/31,23:59:58-08\"\r\nx";
    ReceiveBuffer = "x\r\n\r\nOK\r\n";
    EXPECT_EQ(ParseMessage(1, false, m), 1);
    EXPECT_EQ(m.Number, "\"+4479\"");
    EXPECT_EQ(m.Date, "2099/12/31 23:59:58");
    EXPECT_TRUE(win.writes.empty());   // no delete asked

    // A name that holds a comma, a four-digit year.
    LastResponse = "\"REC READ\",\"+4479\",\"Smith, John\",\"24/05/12,14:23:11+04\"\r\nx";
    ReceiveBuffer = "x\r\n\r\nOK\r\n";
    EXPECT_EQ(ParseMessage(1, false, m), 1);
    EXPECT_EQ(m.Date, "2024/05/12 14:23:11");
    LastResponse = "\"REC READ\",\"+4479\",,\"2025/06/13,15:24:12+04\"\r\nx";
    ReceiveBuffer = "x\r\n\r\nOK\r\n";
    EXPECT_EQ(ParseMessage(1, false, m), 1);
    EXPECT_EQ(m.Date, "2025/06/13 15:24:12");

    LastResponse = "\"REC READ\",\"+1\",,\"2\"\r\n";   // a short stamp gives a short date
    EXPECT_EQ(ParseMessage(1, false, m), 5);
    EXPECT_EQ(m.Date, "202\"// ");
}

struct PollCase {
    const char* name;
    std::string list;                     // the unit's answer to the list command
    std::map<int, std::string> bodies;    // the messages the unit holds, by index
    std::vector<std::string> texts;       // filed, in order
    std::vector<std::string> writes;      // after the list command
};

TEST_F(ReceiveTest, Polls) {
    const std::string forged = "hi\r\n+CMGL: 9,\"REC READ\",\"+999\",,\"24/05/12,14:23:11+04\"\r\nspoofed";
    const std::vector<PollCase> cases = {
        {"none", kOk, {}, {}, {}},
        {"one", Entry(1, "One") + "\r\n" + kOk, {{1, "One"}}, {"One\r\n\r\n"},
         {"AT+CMGR=1\r\n", "AT+CMGD=1\r\n"}},
        {"two", Entry(1, "One") + Entry(12, "Two") + "\r\n" + kOk, {{1, "One"}, {12, "Two"}},
         {"One\r\n\r\n", "Two\r\n\r\n"},
         {"AT+CMGR=1\r\n", "AT+CMGD=1\r\n", "AT+CMGR=12\r\n", "AT+CMGD=12\r\n"}},
        {"bad index skipped", Entry(1, "One").replace(9, 1, "x") + Entry(2, "Two") + kOk,
         {{2, "Two"}}, {"Two\r\n\r\n"}, {"AT+CMGR=2\r\n", "AT+CMGD=2\r\n"}},
        {"a text that holds a list entry", Entry(3, forged) + "\r\n" + kOk, {{3, forged}},
         {forged + "\r\n\r\n"}, {"AT+CMGR=3\r\n", "AT+CMGD=3\r\n", "AT+CMGR=9\r\n"}},
        {"ERROR", "\r\nERROR\r\n", {}, {}, {}},
        {"silent", "", {}, {}, {}},
    };
    for (const PollCase& c : cases) {
        SCOPED_TRACE(c.name);
        win = FakeMainWindow{};
        win.units[1] = [&c](const std::string& written) -> std::string {
            if (written == "AT+CMGL=\"REC UNREAD\"\r\n") return c.list;
            if (written.rfind("AT+CMGD=", 0) == 0) return kOk;
            const auto m = c.bodies.find(std::atoi(written.c_str() + 8));
            if (m == c.bodies.end()) return "\r\nERROR\r\n";
            // The list has marked it read.
            return "\r\n+CMGR: \"REC READ\",\"+123\",,\"24/05/12,14:23:11+04\"\r\n" + m->second +
                   "\r\n" + kOk;
        };
        ReceiveBuffer = "+CMT: \"SM\",5\r\n";
        PollUnread();
        std::vector<std::string> texts;
        for (const SMSMessage& m : win.inbox) {
            texts.push_back(m.Text);
            EXPECT_EQ(m.Number, "\"+123\"");
        }
        EXPECT_EQ(texts, c.texts);
        EXPECT_EQ(win.readBefore, std::vector<bool>(c.texts.size(), false));
        ASSERT_FALSE(win.writes.empty());
        EXPECT_EQ(win.writes[0], "AT+CMGL=\"REC UNREAD\"\r\n");
        EXPECT_EQ(std::vector<std::string>(win.writes.begin() + 1, win.writes.end()), c.writes);
        EXPECT_EQ(win.icons.size(), c.texts.size());
        EXPECT_EQ(ReceiveBuffer, "");
        EXPECT_FALSE(ModemBusy);
    }
}

TEST_F(ReceiveTest, AnAnswerToADeleteIsNeitherTakenForTheNextReplyNorWaitedForTwice) {
    struct Case {
        const char* name;
        std::string answer;   // the unit's answer to AT+CMGD=3, after the notice was read
        bool early;           // it came in front of the second notice, not after it
        bool poll;            // the next exchange: a poll, or the read of a second notice
        int quiet = 1;        // reads that find nothing before a late answer
    };
    const Case cases[] = {
        {"read after read, the delete refused late", "\r\nERROR\r\n", false, false},
        {"read after read, the answer in front of the notice", kOk, true, false},
        {"poll after read, the answer late", kOk, false, true},
        {"poll after read, the answer later than a quiet pass", kOk, false, true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        win = FakeMainWindow{};
        ReadListOwed = false;   // a refused delete sets it
        win.units[1] = Answering({{"AT+CMGR=3\r\n", "\r\n+CMGR: " + kHeader + "One\r\n" + kOk},
                                  {"AT+CMGR=4\r\n", "\r\n+CMGR: " + kHeader + "Two\r\n" + kOk},
                                  {"AT+CMGL=", Entry(4, "Two") + "\r\n" + kOk},
                                  {"AT+CMGD=4", kOk}});
        ReceiveBuffer = "+CMT: \"SM\",3\r\n";
        ModemBusy = true;
        CheckUnsolicited();
        const int64_t start = clock.NowMs();
        if (!c.early) {
            for (int i = 0; i < c.quiet; ++i) win.Push("");   // nothing yet
            win.Push(c.answer);
        }
        if (c.poll) {
            PollUnread();
        } else {
            ReceiveBuffer = (c.early ? c.answer : "") + "+CMT: \"SM\",4\r\n";
            ModemBusy = true;
            CheckUnsolicited();
        }
        std::vector<std::string> writes = {"AT+CMGR=3\r\n", "AT+CMGD=3\r\n", "AT+CMGR=4\r\n",
                                           "AT+CMGD=4\r\n"};
        if (c.poll) writes.insert(writes.begin() + 2, "AT+CMGL=\"REC UNREAD\"\r\n");
        EXPECT_EQ(win.writes, writes);
        ASSERT_EQ(win.inbox.size(), 2u);
        EXPECT_EQ(win.inbox[1].Text, "Two\r\n\r\n");
        EXPECT_LT(clock.NowMs() - start, 5000);   // no wait ran into its time-out
    }
}

TEST_F(ReceiveTest, VanishingUnitClearsBusy) {
    // Lost in the notice's own wait: the error reaches the caller.
    ReceiveBuffer = "+CMT: \"SM\",3";
    win.PushError();
    ModemBusy = true;
    EXPECT_THROW(CheckUnsolicited(), platform::SerialError);
    EXPECT_FALSE(ModemBusy);

    // Lost while the message is read: swallowed.
    ReceiveBuffer = "+CMT: \"SM\",3\r\n";
    win.units[1] = [this](const std::string&) {
        win.PushError();
        return std::string();
    };
    ModemBusy = true;
    EXPECT_NO_THROW(CheckUnsolicited());
    EXPECT_FALSE(ModemBusy);

    // Lost during the poll's list wait.
    EXPECT_THROW(PollUnread(), platform::SerialError);
    EXPECT_FALSE(ModemBusy);
}

class SimReceiveTest : public ::testing::Test {
protected:
    SimReceiveTest() {
        ResetEngine();
        ModemFound = true;
        MapNoPorts(env.ports());
        unit.LinkAsCom(env.ports(), 2);
        unit.Start();
        win.SetPort(2);
        SetMainWindow(&win);
    }
    ~SimReceiveTest() override { SetMainWindow(nullptr); }

    testing_support::TestEnv env;
    sim::ModemSim unit;
    PortWindow win;
};

TEST_F(SimReceiveTest, PollFilesAndDeletesEach) {
    unit.Store("+111", "first");
    unit.Store("+222", "second, with ERROR in it", "25/01/02,03:04:05+00");
    PollUnread();
    ASSERT_TRUE(unit.WaitForCommand("AT+CMGD=2", std::chrono::seconds(5)));
    ASSERT_EQ(win.inbox.size(), 2u);
    EXPECT_EQ(win.inbox[0].Number, "\"+111\"");
    EXPECT_EQ(win.inbox[0].Text, "first\r\n\r\n");
    EXPECT_EQ(win.inbox[1].Text, "second, with ERROR in it\r\n\r\n");
    EXPECT_EQ(win.inbox[1].Date, "2025/01/02 03:04:05");
    EXPECT_EQ(unit.Deleted(), std::vector<int>({1, 2}));
    EXPECT_TRUE(unit.Messages().empty());
    EXPECT_FALSE(ModemBusy);
}

TEST_F(SimReceiveTest, PollWhenTheUnitHasVanished) {
    ASSERT_TRUE(win.OpenPort(0));
    unit.Vanish();
    EXPECT_THROW(PollUnread(), platform::SerialError);
    EXPECT_FALSE(ModemBusy);
}

} // namespace
} // namespace enginetest
