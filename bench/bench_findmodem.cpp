// FindModem with the unit on COM3 behind one silent port on COM1 (the saved port is gone).
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
    const std::string ports = root + "/ports";
    enginetest::MapNoPorts(ports);

    sim::ModemSim silent;
    silent.SetSilent(true);
    silent.LinkAsCom(ports, 1);
    silent.Start();
    sim::ModemSim unit;
    unit.LinkAsCom(ports, 3);
    unit.Start();

    enginetest::PortWindow win;
    SetMainWindow(&win);
    BuildLineEnds();

    const int kRuns = 3;
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        Settings.Port = 9;   // saved port without a device
        auto start = std::chrono::steady_clock::now();
        bool found = FindModem();
        auto end = std::chrono::steady_clock::now();
        if (!found || Settings.Port != 3) {
            std::fprintf(stderr, "unit not found on COM3\n");
            return 1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("FindModem, unit on COM3 behind silent COM1: min %.1f ms, median %.1f ms, "
                "max %.1f ms over %d runs\n",
                times.front(), times[times.size() / 2], times.back(), kRuns);
    std::printf("floor: one silent probe 500 ms + the last 30 ms pass, then two waits on "
                "COM3 (>= 60 ms)\n");

    SetMainWindow(nullptr);
    fs::remove_all(root);
    return 0;
}
