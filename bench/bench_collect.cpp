// Collecting the messages that wait on the simulated unit at 2400 baud, as the poll after a
// search for the unit does: its wall time against the wire time of everything the unit sent
// until the poll returned.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/globals.h"
#include "engine/serparse.h"
#include "tests/engine/port_window.h"
#include "tests/sim/modemsim.h"
#include "bench/bench_world.h"

namespace {

constexpr int kBaud = 2400;
constexpr int kMessages = 5;
constexpr int kRuns = 5;

double WireMs(std::size_t bytes) { return bytes * 10.0 * 1000.0 / kBaud; }

} // namespace

int main() {
    const std::string root = MakeBenchWorld();
    enginetest::MapNoPorts(root + "/ports");

    sim::ModemSim unit;
    unit.LinkAsCom(root + "/ports", 3);
    unit.SetBaud(kBaud);
    unit.Start();

    enginetest::PortWindow win;
    SetMainWindow(&win);
    BuildLineEnds();
    Settings.Port = 3;

    std::vector<double> wall, ratio;
    std::size_t bytes = 0;
    for (int run = 0; run < kRuns; ++run) {
        if (!FindModem() || !win.OpenPort(0)) {
            std::fprintf(stderr, "unit not found\n");
            return 1;
        }
        for (int k = 0; k < kMessages; ++k)
            unit.Store("+4477009001" + std::to_string(10 + k),
                       "Message " + std::to_string(k) + " of the run, about nothing much at all",
                       "24/05/12,14:2" + std::to_string(k) + ":11+04");
        win.inbox.clear();
        win.receivedBytes = 0;
        const auto start = std::chrono::steady_clock::now();
        PollUnread();
        const auto end = std::chrono::steady_clock::now();
        if (win.inbox.size() != std::size_t(kMessages) || !unit.Messages().empty()) {
            std::fprintf(stderr, "run %d: %zu filed, %zu left on the unit\n", run + 1,
                         win.inbox.size(), unit.Messages().size());
            return 1;
        }
        wall.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        bytes = win.receivedBytes;
        ratio.push_back(wall.back() / WireMs(bytes));
        std::printf("run %d: %.1f ms, %zu bytes from the unit (%.1f ms on the wire), %.3fx\n",
                    run + 1, wall.back(), bytes, WireMs(bytes), ratio.back());
        // The deletes' last answers, when the poll did not wait for them.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        win.ClosePort();
    }
    std::sort(wall.begin(), wall.end());
    std::sort(ratio.begin(), ratio.end());
    std::printf("%d messages collected after a search, median %.1f ms, %.3fx the unit's wire "
                "time (target: 1.10x at most)\n",
                kMessages, wall[wall.size() / 2], ratio[ratio.size() / 2]);

    SetMainWindow(nullptr);
    unit.Stop();
    std::filesystem::remove_all(root);
    return 0;
}
