// CPU use of the idle program: the main window started with the unit found, the port open
// and the 250 ms check running, for about three seconds of the event loop.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>

#include "client/mainunit.h"
#include "engine/globals.h"
#include "engine/settings.h"
#include "platform/boxes.h"
#include "platform/clock.h"
#include "tests/sim/modemsim.h"
#include "bench/bench_world.h"

namespace {

constexpr int kIdleMs = 3000;

double CpuMs(int who) {
    rusage use{};
    getrusage(who, &use);
    return use.ru_utime.tv_sec * 1e3 + use.ru_utime.tv_usec / 1e3 + use.ru_stime.tv_sec * 1e3 +
           use.ru_stime.tv_usec / 1e3;
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const std::string root = MakeBenchWorld();
    platform::SetBoxHandler([](const platform::BoxRequest& box) {
        std::printf("unexpected box: %s\n", box.text.c_str());
        return int(platform::IDOK);
    });

    sim::ModemSim unit;
    unit.LinkAsCom(root + "/ports", 1);
    unit.Start();
    Settings.Port = 1;
    SaveSettings();

    auto* window = new TMainForm;
    window->FormCreate();
    int ticks = 0;
    QObject::connect(window->Timer1, &QTimer::timeout, [&] { ++ticks; });

    const int64_t t0 = platform::clock().NowMs();
    const double gui0 = CpuMs(RUSAGE_THREAD);
    const double all0 = CpuMs(RUSAGE_SELF);
    QTimer::singleShot(kIdleMs, [] { QCoreApplication::exit(0); });
    QApplication::exec();
    const double gui = CpuMs(RUSAGE_THREAD) - gui0;
    const double all = CpuMs(RUSAGE_SELF) - all0;
    const double wall = double(platform::clock().NowMs() - t0);

    std::printf("idle for %.0f ms with the port %s: %d ticks of the 250 ms check\n", wall,
                window->MSComm1.PortOpen() ? "open" : "closed", ticks);
    std::printf("GUI thread: %.1f ms CPU = %.3f%% of a core (target < 1%%)\n", gui,
                100.0 * gui / wall);
    std::printf("whole process (with the simulated unit's thread): %.1f ms = %.3f%%\n", all,
                100.0 * all / wall);
    delete window;
    std::filesystem::remove_all(root);
    return 0;
}
