// One SMS sent to the simulated unit answering at 2400 baud: wall time against the time
// the bytes need on the wire plus the matcher's 30 ms per wait; and the same send right
// after a poll whose deletes the unit answered late, or never.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/globals.h"
#include "engine/serparse.h"
#include "tests/engine/port_window.h"
#include "tests/sim/modemsim.h"
#include "bench/bench_world.h"

namespace fs = std::filesystem;

int main() {
    const std::string root = MakeBenchWorld();
    enginetest::MapNoPorts(root + "/ports");

    sim::ModemSim unit;
    unit.LinkAsCom(root + "/ports", 3);
    unit.SetBaud(2400);
    unit.Start();

    enginetest::PortWindow win;
    SetMainWindow(&win);
    BuildLineEnds();
    Settings.Port = 3;
    if (!FindModem()) {
        std::fprintf(stderr, "unit not found\n");
        return 1;
    }

    const std::string text(160, 'x');
    const int kWaits = 4;   // "AT", "AT+CMGF=1", the prompt and "+CMGS: "
    const int kRuns = 5;
    std::size_t sent = 0, received = 0;
    // One send's wall time in ms, or a negative number when it failed.
    auto timedSend = [&] {
        unit.ClearLog();
        win.sent.clear();
        win.receivedBytes = 0;
        auto start = std::chrono::steady_clock::now();
        int result = SendSms(text, "5551234");
        auto end = std::chrono::steady_clock::now();
        if (result != SMS_SENT) {
            std::fprintf(stderr, "send failed: %d\n", result);
            return -1.0;
        }
        sent = win.sent.size();
        received = win.receivedBytes;
        return std::chrono::duration<double, std::milli>(end - start).count();
    };
    std::vector<double> wall;
    for (int i = 0; i < kRuns; ++i) {
        wall.push_back(timedSend());
        if (wall.back() < 0) return 1;
    }
    std::sort(wall.begin(), wall.end());
    const std::size_t plainSent = sent, plainReceived = received;

    // The same send right after a poll that owes answers: its deletes answered 60 ms late,
    // and (the old case) never answered at all.
    auto afterPoll = [&](std::vector<double>& walls, bool deleted) {
        for (int i = 0; i < 3; ++i) {
            unit.Store("+4477", "listed, then read " + std::to_string(i));
            PollUnread();
            if (deleted && !unit.Messages().empty()) {
                std::fprintf(stderr, "the poll left a message on the unit\n");
                return false;
            }
            walls.push_back(timedSend());
            if (walls.back() < 0) return false;
        }
        std::sort(walls.begin(), walls.end());
        return true;
    };
    std::vector<double> lateWall, owedWall;
    unit.SetDeleteDelay(std::chrono::milliseconds(60));
    if (!afterPoll(lateWall, true)) return 1;
    unit.SetDeleteDelay(std::chrono::milliseconds(0));
    unit.SetHandler([](const std::string& line) -> std::optional<std::string> {
        if (line.rfind("AT+CMGD=", 0) == 0) return std::string();
        return std::nullopt;
    });
    if (!afterPoll(owedWall, false)) return 1;
    sent = plainSent;
    received = plainReceived;
    auto wire = [](std::size_t bytes) { return bytes * 10.0 * 1000.0 / 2400.0; };
    const double waits = kWaits * 30.0;
    std::printf("bytes exchanged: %zu sent, %zu read before the confirmation\n", sent, received);
    std::printf("wire time, both directions at 2400 baud + %d x 30 ms: %8.1f ms\n", kWaits,
                wire(sent + received) + waits);
    std::printf("floor here (only the unit's answers are paced) + %d x 30 ms: %8.1f ms\n",
                kWaits, wire(received) + waits);
    std::printf("wall time (min / median / max): %.1f / %.1f / %.1f ms over %d sends\n",
                wall.front(), wall[wall.size() / 2], wall.back(), kRuns);
    std::printf("median over the paced floor: %.1f ms\n",
                wall[wall.size() / 2] - wire(received) - waits);
    auto report = [&](const char* what, const std::vector<double>& w) {
        std::printf("%s (min / median / max): %.1f / %.1f / %.1f ms over %zu sends; median over "
                    "the plain send's: %.1f ms (target: 50 ms at most)\n",
                    what, w.front(), w[w.size() / 2], w.back(), w.size(),
                    w[w.size() / 2] - wall[wall.size() / 2]);
    };
    report("right after a poll whose deletes were answered 60 ms late", lateWall);
    report("right after a poll whose deletes were never answered", owedWall);

    SetMainWindow(nullptr);
    unit.Stop();
    fs::remove_all(root);
    return 0;
}
