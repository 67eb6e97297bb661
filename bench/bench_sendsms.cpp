// One SMS sent to the simulated unit answering at 2400 baud: wall time against the time
// the bytes need on the wire plus the matcher's 30 ms per wait.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
    std::vector<double> wall;
    std::size_t sent = 0, received = 0;
    for (int i = 0; i < kRuns; ++i) {
        unit.ClearLog();
        win.sent.clear();
        win.receivedBytes = 0;
        auto start = std::chrono::steady_clock::now();
        int result = SendSms(text, "5551234");
        auto end = std::chrono::steady_clock::now();
        if (result != SMS_SENT) {
            std::fprintf(stderr, "send failed: %d\n", result);
            return 1;
        }
        wall.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        sent = win.sent.size();
        received = win.receivedBytes;
    }
    std::sort(wall.begin(), wall.end());
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

    SetMainWindow(nullptr);
    unit.Stop();
    fs::remove_all(root);
    return 0;
}
