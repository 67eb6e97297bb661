// A full upload to the simulated boot loader draining its line at 1920 bytes a second
// (19200 baud; the command at 2400 baud goes at 240): the total time against the wire time
// of every byte plus the 3.1 s of pauses the exchange prescribes. What is left is the
// program's own overhead (target: under 5% of the wire time).
#include <QApplication>
#include <QLabel>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "platform/comports.h"
#include "platform/settingsstore.h"
#include "tests/sim/bootsim.h"
#include "tests/upgrade/simlink.h"
#include "upgrade/form1.h"
#include "bench/bench_world.h"

namespace fs = std::filesystem;

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One upload; returns false when it did not end in "Programming OK".
bool Run(const std::string& root, int bootData, int codeData) {
    const std::string firmware = root + "/firmware";
    fs::remove_all(firmware);
    fs::create_directories(firmware);
    using namespace testing_support;
    const auto boot = Pattern(bootData, 1), code = Pattern(codeData, 2);
    std::ofstream(firmware + "/W39L512.dat", std::ios::binary) << HexText(boot);
    std::ofstream(firmware + "/main.hex", std::ios::binary) << HexText(code);
    const std::vector<uint8_t> bootImage = ImageOf(boot), codeImage = ImageOf(code);

    sim::BootSim unit;
    unit.SetImages(bootImage, codeImage);
    unit.SetPaced(true);
    unit.SetReplyDelay(std::chrono::milliseconds(0));
    unit.LinkAsCom(platform::PortsFolder(), 4);
    unit.Start();
    testing_support::SimLink link(unit);
    upgrade::Form1 form("", &link);
    form.Beep = [] {};
    form.EndProgram = [] {};

    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    form.Command1_Click();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - t0;
    const double total = elapsed.count();
    const double cpu = CpuSeconds() - cpu0;

    const double toUnit = double(bootImage.size() + 2 + 4 + codeImage.size());
    const double wire = 10 / 240.0 + (toUnit + 20) / 1920.0;   // command, images, both replies
    const double pauses = 3.1;
    const double rest = total - wire - pauses;
    const bool ok = form.Label1->text() == "Programming OK" && unit.Faults().empty();
    std::printf("%-6s boot %5zu B  main %5zu B  total %7.3f s  wire %7.3f s  pauses %.1f s  "
                "rest %6.3f s = %5.2f%% of wire  cpu %5.2f s  blocks %zu\n",
                ok ? "ok" : "FAILED", bootImage.size(), codeImage.size(), total, wire, pauses,
                rest, 100.0 * rest / wire, cpu, (codeImage.size() + 99) / 100);
    for (const auto& fault : unit.Faults()) std::printf("  unit: %s\n", fault.c_str());
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string root = MakeBenchWorld();
    setenv("CORVANE_FIRMWARE_DIR", (root + "/firmware").c_str(), 1);
    QApplication app(argc, argv);
    platform::SaveSetting("VardelUPG", "Port", "COMport", "4");

    std::printf("upload to the simulated boot loader at 1920 bytes/s "
                "(target: rest < 5%% of wire)\n");
    bool ok = Run(root, 1023, 32767);   // 1 KiB boot loader, 32 KiB main code
    // 64 KiB of main code is one byte more than its length field carries: the largest image.
    ok = Run(root, 1023, 65534) && ok;
    fs::remove_all(root);
    return ok ? 0 : 1;
}
