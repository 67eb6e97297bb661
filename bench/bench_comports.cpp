// ComPortExists over COM1..COM49: nothing mapped (the machine's own devices only), and a
// folder with a few ptys linked in. Prints times; asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/comports.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Scan(const char* label, int rounds) {
    double total = 0, worst = 0;
    int found = 0;
    for (int r = 0; r < rounds; ++r) {
        auto start = Clock::now();
        found = 0;
        for (int n = 1; n <= 49; ++n) {
            auto t = Clock::now();
            found += platform::ComPortExists(n);
            worst = std::max(worst, Ms(Clock::now() - t));
        }
        total += Ms(Clock::now() - start);
    }
    std::printf("%-34s %8.3f ms per scan of 49  (%6.1f us per port, slowest port %.3f ms, "
                "%d exist)\n",
                label, total / rounds, total / rounds / 49 * 1000, worst, found);
}

} // namespace

int main() {
    std::string root = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
    if (!mkdtemp(root.data())) return 1;
    fs::create_directories(root + "/ports");
    setenv("CORVANE_PORTS", (root + "/ports").c_str(), 1);
    unsetenv("CORVANE_DEVICES");

    std::printf("ComPortExists, COM1..COM49 (target: < 50 ms per scan)\n");
    Scan("nothing mapped, first scan", 1);
    Scan("nothing mapped, 20 scans", 20);

    fs::create_directories(root + "/nodev");
    setenv("CORVANE_DEVICES", (root + "/nodev").c_str(), 1);
    Scan("no devices at all, 20 scans", 20);

    std::vector<int> masters;
    for (int n : {3, 11, 27}) {
        int m = posix_openpt(O_RDWR | O_NOCTTY);
        if (m < 0 || grantpt(m) || unlockpt(m)) continue;
        masters.push_back(m);
        fs::create_symlink(ptsname(m), root + "/ports/com" + std::to_string(n));
    }
    Scan("three ptys linked, 20 scans", 20);

    for (int m : masters) close(m);
    fs::remove_all(root);
    return 0;
}
