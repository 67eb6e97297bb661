// Start-up of the main window (construction and creation handler) with a large Inbox and
// the unit answering on the saved port: the time until the program sits in the tray, and
// that time less what was spent waiting on the line.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "client/mainunit.h"
#include "client/msgframe.h"
#include "engine/globals.h"
#include "engine/serparse.h"
#include "engine/settings.h"
#include "platform/boxes.h"
#include "platform/clock.h"
#include "tests/sim/modemsim.h"
#include "bench/bench_world.h"

namespace {

constexpr int kMessages = 10000;
constexpr int kRuns = 5;

// The steady clock, counting the time the engine sleeps while it waits for the unit.
class WireClock : public platform::Clock {
public:
    explicit WireClock(platform::Clock& real) : real_(real) {}
    int64_t NowMs() override { return real_.NowMs(); }
    void SleepMs(int64_t ms) override {
        slept += ms;
        real_.SleepMs(ms);
    }
    int64_t slept = 0;

private:
    platform::Clock& real_;
};

void WriteInbox(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < kMessages; ++i) {
        if (i) out << "\r\n";
        out << "\"\"\"+4477009" << 10000 + i << "\"\"\",Message%20number%20" << i
            << "%20about%20nothing%20much,\"2024/05/" << 10 + i % 20 << " 12:"
            << 10 + i % 50 << ":00\"," << (i % 3 ? "Old" : "New");
    }
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const std::string root = MakeBenchWorld();
    int boxes = 0;
    platform::SetBoxHandler([&](const platform::BoxRequest&) {
        ++boxes;
        return int(platform::IDOK);
    });

    sim::ModemSim unit;
    unit.LinkAsCom(root + "/ports", 1);
    unit.Start();
    Settings.Port = 1;
    SaveSettings();

    platform::Clock& real = platform::clock();
    WireClock wire(real);
    platform::SetClock(&wire);

    std::printf("start-up with %d messages in the Inbox, unit on the saved port\n", kMessages);
    std::printf("%-4s %10s %10s %12s %8s\n", "run", "total ms", "wire ms", "beyond ms", "inbox");
    int64_t best = -1;
    for (int run = 1; run <= kRuns; ++run) {
        WriteInbox(root + "/data/inbox.csv");
        unit.Store("+447700900999", "one waiting message");   // filed: the Inbox is rewritten
        Settings = SettingsRecord{};
        ModemFound = MailWaiting = ModemBusy = false;
        ReceiveBuffer.clear();

        wire.slept = 0;
        const int64_t t0 = real.NowMs();
        auto* window = new TMainForm;
        window->FormCreate();
        const int64_t total = real.NowMs() - t0;
        const int64_t beyond = total - wire.slept;
        std::printf("%-4d %10lld %10lld %12lld %8d\n", run, (long long)total,
                    (long long)wire.slept, (long long)beyond, window->MSGFrame11->Count());
        if (best < 0 || beyond < best) best = beyond;
        delete window;
        QCoreApplication::processEvents();
    }
    platform::SetClock(nullptr);
    std::printf("best time beyond the wire: %lld ms (target < 1000 ms); boxes shown: %d\n",
                (long long)best, boxes);
    std::filesystem::remove_all(root);
    return 0;
}
