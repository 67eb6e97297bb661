// A scripted main window for engine tests: input comes in chunks, one per ReadInput call;
// writes are recorded; a unit per COM number may answer each write with a chunk.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "engine/serparse.h"
#include "platform/clock.h"
#include "platform/serial.h"

namespace enginetest {

class FakeMainWindow : public IMainWindow {
public:
    // Answer of the unit on one port to one write ("" answers nothing; "|" splits the
    // answer into chunks that come one per read).
    using Unit = std::function<std::string(const std::string& written)>;

    struct Chunk {
        std::string text;
        bool fail = false;   // the read raises a serial error
    };

    std::map<int, Unit> units;
    std::set<int> unopenable;     // ports that refuse to open
    std::deque<Chunk> input;
    int commPort = 1;
    bool open = true;
    bool suspended = false;

    int writeAttempts = 0;
    std::vector<std::string> writes;
    std::vector<int> writePorts;
    std::vector<std::string> calls;   // "Open n", "SetPort n", "Close", "CommPort n"
    int reads = 0;
    std::string traced;               // text traced as received
    std::vector<SMSMessage> inbox;
    std::vector<bool> readBefore;     // per filed message
    std::vector<int> icons;

    void Push(const std::string& text) { input.push_back({text, false}); }
    void PushError() { input.push_back({"", true}); }
    std::string AllWritten() const {
        std::string all;
        for (const std::string& w : writes) all += w;
        return all;
    }

    int WriteToModem(const std::string& text) override {
        ++writeAttempts;
        if (suspended || !OpenPort(0)) return 2;
        writes.push_back(text);
        writePorts.push_back(commPort);
        auto unit = units.find(commPort);
        if (unit != units.end()) {
            std::string answer = unit->second(text);
            for (std::size_t from = 0; from < answer.size();) {
                std::size_t bar = std::min(answer.find('|', from), answer.size());
                Push(answer.substr(from, bar - from));
                from = bar + 1;
            }
        }
        return 1;
    }
    bool OpenPort(int n) override {
        calls.push_back("Open " + std::to_string(n));
        if (!open && !suspended) {
            if (n != 0) commPort = n;
            open = unopenable.count(commPort) == 0;
        }
        return open;
    }
    void SetPort(int n) override {
        calls.push_back("SetPort " + std::to_string(n));
        if (open) ClosePort();
        if (n != 0) commPort = n;
    }
    bool ClosePort() override {
        calls.push_back("Close");
        open = false;
        input.clear();
        ReceiveBuffer.clear();
        PendingDeleteAnswers = 0;
        ReadListOwed = false;
        return false;
    }
    std::string ReadInput() override {
        ++reads;
        if (!open) throw platform::SerialError("port is closed");
        if (input.empty()) return "";
        Chunk c = input.front();
        input.pop_front();
        if (c.fail) throw platform::SerialError("line hung up");
        return c.text;
    }
    void SetCommPort(int n) override {
        calls.push_back("CommPort " + std::to_string(n));
        if (open) throw platform::SerialError("port is open");
        commPort = n;
    }
    void AddTrace(const std::string& text, bool received) override {
        if (received) traced += text;
    }
    InboxFiling AddInboxMessage(const std::string& number, const std::string& text,
                                const std::string& date, bool old, bool before) override {
        EXPECT_FALSE(old);
        inbox.push_back({number, text, date});
        readBefore.push_back(before);
        return {};
    }
    void ModifyIcon(int kind) override { icons.push_back(kind); }
};

// A unit that answers every command line by a table of prefixes (first match wins).
inline FakeMainWindow::Unit Answering(std::vector<std::pair<std::string, std::string>> table) {
    return [table](const std::string& written) -> std::string {
        for (const auto& [prefix, answer] : table)
            if (written.rfind(prefix, 0) == 0) return answer;
        return "";
    };
}

inline void ResetEngine() {
    Settings = SettingsRecord{};
    ReceiveBuffer.clear();
    LastResponse.clear();
    PendingDeleteAnswers = 0;
    ReadListOwed = false;
    ModemBusy = MailWaiting = ModemFound = Suspended = false;
    BuildLineEnds();
}

// Fresh engine state, a fake window and a fake clock for each test.
class EngineTest : public ::testing::Test {
protected:
    EngineTest() : scoped_(&clock) {
        ResetEngine();
        SetMainWindow(&win);
    }
    ~EngineTest() override { SetMainWindow(nullptr); }

    platform::FakeClock clock;
    FakeMainWindow win;

private:
    platform::ScopedClock scoped_;
};

} // namespace enginetest
