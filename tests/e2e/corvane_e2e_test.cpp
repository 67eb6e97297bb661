// corvane as a separate process on a private X server, against the simulated unit on a
// pseudo-terminal. Everything is checked through what a user or the unit would see: the
// serial traffic, the data files, the registry file and the window on the screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

#include "client/msgfile.h"
#include "platform/registry.h"
#include "tests/e2e/e2e_support.h"
#include "tests/sim/modemsim.h"
#include "tests/support/testenv.h"

namespace {

using namespace std::chrono_literals;
using e2e::XDisplay;

constexpr int kStartMs = 20000;   // start-up: Qt, the X connection, the port scan
constexpr int kFileMs = 10000;    // a data file showing what the program did
constexpr char kMainTitle[] = "^Corvane - Inbox";
constexpr char kComposeTitle[] = "^Compose";
constexpr char kKey[] = "Software\\Hobrin\\Corvane\\1.0";
constexpr char kSignature[] = " -- Bob";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::ptrdiff_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
    auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : it - lines.begin();
}

class CorvaneRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = XDisplay::MissingTools(); !missing.empty())
            GTEST_SKIP() << "needs " << missing << " (scripts/setup-deps.sh installs them)";
        program_ = e2e::BuiltProgram("client/corvane");
        ASSERT_FALSE(program_.empty()) << "the corvane program is not built beside the tests";
        env_ = std::make_unique<testing_support::TestEnv>();
        sim_ = std::make_unique<sim::ModemSim>();
        sim_->LinkAsCom(env_->ports(), 3);
        display_ = std::make_unique<XDisplay>(env_->root() + "/x");
    }

    void TearDown() override {
        if (HasFailure() && app_.pid() > 0) {
            std::ostringstream sent;
            for (const std::string& c : sim_->Commands()) sent << "  " << c << "\n";
            ADD_FAILURE() << "corvane's output:\n" << app_.Log() << "\nthe unit ran:\n"
                          << sent.str();
        }
        app_.Stop();
        display_.reset();
        if (sim_) sim_->Stop();
        sim_.reset();
        env_.reset();
    }

    void StartCorvane() {
        sim_->Start();
        app_.Start({program_}, display_->Environment(), env_->root() + "/corvane.log",
                   env_->root());
    }

    std::vector<msgfile::Record> Messages(const std::string& file) const {
        return msgfile::ParseFile(env_->ReadData(file)).records;
    }

    // Waits until the file holds at least count records; returns them.
    std::vector<msgfile::Record> WaitForMessages(const std::string& file, std::size_t count) {
        std::vector<msgfile::Record> records;
        e2e::WaitUntil(
            [&] {
                records = Messages(file);
                return records.size() >= count;
            },
            kFileMs);
        return records;
    }

    bool Deleted(int index) const {
        const std::vector<int> deleted = sim_->Deleted();
        return std::find(deleted.begin(), deleted.end(), index) != deleted.end();
    }

    std::string program_;
    std::unique_ptr<testing_support::TestEnv> env_;
    std::unique_ptr<sim::ModemSim> sim_;
    std::unique_ptr<XDisplay> display_;
    e2e::Process app_;
};

// No saved port: the scan finds the unit on COM3, probes it, polls what waits unread, files
// it, saves the port, and the main window comes up painted. SIGTERM ends the program cleanly.
TEST_F(CorvaneRun, StartUpFindsTheUnitCollectsUnreadMessagesAndSavesThePort) {
    const int waiting = sim_->Store("+447700900111", "Waiting since yesterday",
                                    "24/05/11,09:30:00+04", false);
    StartCorvane();

    ASSERT_TRUE(sim_->WaitForCommand("AT+CMGL", std::chrono::milliseconds(kStartMs)));
    const std::vector<std::string> commands = sim_->Commands();
    const std::ptrdiff_t probe = IndexOf(commands, "ATI9");
    const std::ptrdiff_t poll = IndexOf(commands, "AT+CMGL=\"REC UNREAD\"");
    ASSERT_GE(probe, 0);
    ASSERT_GE(poll, 0);
    EXPECT_LT(probe, poll);

    const auto inbox = WaitForMessages("inbox.csv", 1);
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_EQ(inbox[0].number, "\"+447700900111\"");
    EXPECT_EQ(inbox[0].text, "Waiting since yesterday");
    EXPECT_EQ(inbox[0].date, "2024/05/11 09:30:00");
    EXPECT_EQ(inbox[0].status, "New");
    EXPECT_TRUE(e2e::WaitUntil([&] { return Deleted(waiting); }, kFileMs));

    std::string registry;
    EXPECT_TRUE(e2e::WaitUntil(
        [&] {
            registry = ReadFile(env_->registry());
            return registry.find("\"port\"=dword:00000003") != std::string::npos;
        },
        kFileMs))
        << registry;
    EXPECT_NE(registry.find("[HKEY_CURRENT_USER\\Software\\Hobrin\\Corvane\\1.0]"),
              std::string::npos)
        << registry;

    // Without a tray the main window is shown at start-up. A painted window has the many
    // colours of its menus, icons and lists, not the server's black background.
    const std::string window = display_->WaitForWindow(kMainTitle, kStartMs);
    ASSERT_FALSE(window.empty()) << "no main window came up";
    const auto where = display_->WindowGeometry(window);
    ASSERT_TRUE(where);
    EXPECT_GE(where->width, 200);
    EXPECT_GE(where->height, 150);
    std::size_t colours = 0;
    double black = 1.0;
    const bool painted = e2e::WaitUntil(
        [&] {
            const e2e::Image shot = display_->Screenshot();
            colours = shot.DistinctColours(where->x, where->y, where->width, where->height);
            black = shot.Share(0x000000, where->x, where->y, where->width, where->height);
            return colours > 16 && black < 0.2;
        },
        kFileMs, 250);
    EXPECT_TRUE(painted) << colours << " colours, " << black * 100 << "% black";

    app_.Signal(SIGTERM);
    const std::optional<int> code = app_.WaitExit(kFileMs);
    ASSERT_TRUE(code) << "corvane did not end on SIGTERM";
    EXPECT_EQ(*code, 0);
}

// Each "+CMT" notice is read, deleted at the unit and filed in the inbox, in order, with the
// text intact through the file's escaping.
TEST_F(CorvaneRun, NoticesFromTheUnitEndInTheInboxAndAreDeletedAtTheUnit) {
    struct Case {
        const char* number;
        const char* body;
        const char* stamp;
        const char* date;
    };
    const Case cases[] = {
        {"+447700900222", "Plain text", "24/06/01,08:00:05+04", "2024/06/01 08:00:05"},
        {"+15550100", "50% off, \"today\" only <3 #deal *now*", "24/12/31,23:59:59-20",
         "2024/12/31 23:59:59"},
        {"07700900333", "Line one and a comma, here", "25/01/02,03:04:05+00",
         "2025/01/02 03:04:05"},
    };

    StartCorvane();
    // A notice during the start-up poll would be taken in with a reply and left to the next
    // poll: wait for the poll's last listing and a quiet line before the first notice.
    ASSERT_FALSE(display_->WaitForWindow(kMainTitle, kStartMs).empty());
    ASSERT_TRUE(e2e::WaitUntil([&] {
        return IndexOf(sim_->Commands(), "AT+CMGL=\"REC READ\"") >= 0;
    }, kFileMs));
    std::size_t ran = 0;
    ASSERT_TRUE(e2e::WaitUntil([&] {
        const std::size_t now = sim_->Commands().size();
        return std::exchange(ran, now) == now;
    }, kFileMs, 500));

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.body);
        const int index = sim_->Store(c.number, c.body, c.stamp, true);
        const auto inbox = WaitForMessages("inbox.csv", i + 1);
        ASSERT_EQ(inbox.size(), i + 1);
        EXPECT_EQ(inbox[i].number, std::string("\"") + c.number + "\"");
        EXPECT_EQ(inbox[i].text, c.body);
        EXPECT_EQ(inbox[i].date, c.date);
        EXPECT_EQ(inbox[i].status, "New");
        EXPECT_TRUE(e2e::WaitUntil([&] { return Deleted(index); }, kFileMs));
        const auto commands = sim_->Commands();
        const auto read = IndexOf(commands, "AT+CMGR=" + std::to_string(index));
        const auto erase = IndexOf(commands, "AT+CMGD=" + std::to_string(index));
        EXPECT_GE(read, 0);
        EXPECT_LT(read, erase);
    }
    EXPECT_TRUE(sim_->Messages().empty());
}

// Messages typed into the compose window reach the unit and the Sent file: once to a typed
// number, once to a phonebook name written in other letter case. The window opens with the
// signature and the cursor before it, so the typed text goes in front.
TEST_F(CorvaneRun, ComposedMessagesReachTheUnitAndTheSentFile) {
    {
        auto key = platform::RegKey::Open(kKey, true);
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->Set("SetVer", platform::RegValue::Dword(1)));
        ASSERT_TRUE(key->Set("port", platform::RegValue::Dword(3)));
        ASSERT_TRUE(key->Set("ClearCompose", platform::RegValue::Dword(1)));
        ASSERT_TRUE(key->Set("sig", platform::RegValue::String(kSignature)));
    }
    env_->WriteData("phonebook.csv", "\"Alice Brown\",447700900789");

    struct Case {
        const char* recipient;   // as typed
        const char* text;
        const char* number;      // what the unit must be given
    };
    const Case cases[] = {
        {"+44 7700 900456", "Hello from the compose window", "447700900456"},
        {"alice brown", "Dinner at 8? Bring 2 chairs, please!", "447700900789"},
    };

    StartCorvane();
    ASSERT_TRUE(sim_->WaitForCommand("AT+CMGL", std::chrono::milliseconds(kStartMs)));
    const std::string main = display_->WaitForWindow(kMainTitle, kStartMs);
    ASSERT_FALSE(main.empty()) << "no main window came up";

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.recipient);
        // SMS > New SMS; the compose window opens with the cursor in the message box.
        ASSERT_TRUE(display_->Focus(main));
        ASSERT_TRUE(display_->Keys({"alt+s", "n"}));
        const std::string compose = display_->WaitForWindow(kComposeTitle, kFileMs);
        ASSERT_FALSE(compose.empty()) << "the compose window did not open";
        ASSERT_TRUE(display_->Focus(compose));
        ASSERT_TRUE(display_->Type(c.text));
        ASSERT_TRUE(display_->Keys({"shift+Tab"}));
        ASSERT_TRUE(display_->Type(c.recipient));
        ASSERT_TRUE(display_->Keys({"alt+f", "s"}));   // File > Send

        ASSERT_TRUE(e2e::WaitUntil([&] { return sim_->Sent().size() == i + 1; }, kFileMs))
            << "the unit got no message";
        const sim::SentSms sent = sim_->Sent()[i];
        EXPECT_EQ(sent.number, c.number);
        EXPECT_EQ(sent.text, std::string(c.text) + kSignature);

        const auto records = WaitForMessages("sent.csv", i + 1);
        ASSERT_EQ(records.size(), i + 1);
        EXPECT_EQ(records[i].number, c.number);
        EXPECT_EQ(records[i].text, std::string(c.text) + kSignature);
        EXPECT_EQ(records[i].status, "Old");
        EXPECT_EQ(records[i].date.size(), 19u) << records[i].date;
        EXPECT_TRUE(display_->WaitWindowGone(kComposeTitle, kFileMs))
            << "the compose window stayed open after the send";
    }
    EXPECT_FALSE(env_->DataExists("unsent.csv") && !Messages("unsent.csv").empty());
}

// The debug pane as a terminal on a fresh X server, whose clipboard is empty: pasting there
// does nothing, Ctrl+C goes to the unit while nothing is selected and copies once something
// is, and the program still ends cleanly with the focus in the pane.
TEST_F(CorvaneRun, TheDebugPanePastesNothingFromAnEmptyClipboardAndTheProgramEndsCleanly) {
    {
        auto key = platform::RegKey::Open(kKey, true);
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->Set("SetVer", platform::RegValue::Dword(1)));
        ASSERT_TRUE(key->Set("port", platform::RegValue::Dword(3)));
        ASSERT_TRUE(key->Set("VardelDebug", platform::RegValue::Dword(1)));
    }
    StartCorvane();
    ASSERT_TRUE(sim_->WaitForCommand("AT+CMGL", std::chrono::milliseconds(kStartMs)));
    const std::string main = display_->WaitForWindow(kMainTitle, kStartMs);
    ASSERT_FALSE(main.empty()) << "no main window came up";
    ASSERT_TRUE(display_->Focus(main));
    ASSERT_TRUE(display_->Keys({"End", "Tab"}));   // the Debug folder, then its pane
    sim_->ClearLog();

    // With nothing to paste, Ctrl+V only sends its character; Shift+Insert types none.
    ASSERT_TRUE(display_->Keys({"ctrl+v", "shift+Insert"}));
    ASSERT_TRUE(display_->Type("\rAT\r"));
    ASSERT_TRUE(sim_->WaitForCommand("AT", std::chrono::milliseconds(kFileMs)))
        << "the typed command did not reach the unit";
    ASSERT_TRUE(app_.Running());
    // Ctrl+C with nothing selected goes out; Ctrl+A then selects the trace and Ctrl+C copies
    // it, and neither of those is sent.
    ASSERT_TRUE(display_->Keys({"ctrl+c", "ctrl+a", "ctrl+c"}));
    ASSERT_TRUE(display_->Type("AT\r"));
    ASSERT_TRUE(e2e::WaitUntil([&] { return sim_->Commands().size() == 3; }, kFileMs));
    EXPECT_EQ(sim_->Received(), "\x16\rAT\r\x03" "AT\r");

    app_.Signal(SIGTERM);
    const std::optional<int> code = app_.WaitExit(kFileMs);
    ASSERT_TRUE(code) << "corvane did not end on SIGTERM";
    EXPECT_EQ(*code, 0) << app_.Log();
    EXPECT_EQ(app_.Log().find("QObject"), std::string::npos) << app_.Log();
}

// A second start for the same data folder writes nothing and ends at once; the first runs
// on. Once the first has gone, even by SIGKILL, the next start runs.
TEST_F(CorvaneRun, ASecondStartForTheSameDataEndsWithoutWritingAndTheFirstRunsOn) {
    sim_->Store("+447700900111", "First", "24/05/11,09:30:00+04", false);
    StartCorvane();
    ASSERT_EQ(WaitForMessages("inbox.csv", 1).size(), 1u);
    ASSERT_FALSE(display_->WaitForWindow(kMainTitle, kStartMs).empty());
    // A message the second start would file if it ran.
    sim_->Store("+447700900222", "Second", "24/05/11,09:31:00+04", false);
    auto listing = [&] {
        std::ostringstream out;
        for (const auto& entry : std::filesystem::directory_iterator(env_->data()))
            out << entry.path().filename().string() << "=" << ReadFile(entry.path().string())
                << "\n";
        return out.str() + ReadFile(env_->registry());
    };
    const std::string before = listing();
    sim_->ClearLog();

    e2e::Process second;
    second.Start({program_}, display_->Environment(), env_->root() + "/second.log", env_->root());
    const std::optional<int> code = second.WaitExit(kFileMs);
    ASSERT_TRUE(code) << "the second start did not end";
    EXPECT_EQ(*code, 0) << second.Log();
    EXPECT_TRUE(sim_->Commands().empty());
    EXPECT_EQ(listing(), before);
    EXPECT_TRUE(app_.Running());

    app_.Signal(SIGKILL);
    ASSERT_TRUE(app_.WaitExit(kFileMs));
    app_.Start({program_}, display_->Environment(), env_->root() + "/third.log", env_->root());
    EXPECT_EQ(WaitForMessages("inbox.csv", 2).size(), 2u);
}

} // namespace
