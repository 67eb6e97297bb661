// corvane-sim: the simulated unit as a program, for trying Corvane and the updater without
// the hardware. Links com<N> in the ports folder to its pty, prints the device and "ready",
// logs what it does to stderr and runs until SIGINT or SIGTERM. As a modem it logs each
// command line it runs; with --bootloader it takes the firmware the updater sends from the
// given folder's images and logs each stage of the upload.
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

#include "tests/sim/bootsim.h"
#include "tests/sim/modemsim.h"
#include "upgrade/hexfile.h"

namespace {

void Usage() {
    std::cerr << "usage: corvane-sim [--ports DIR] [--com N] [--version TEXT] [--init TEXT]\n"
                 "                   [--message NUMBER:TEXT]... [--notify-every SECONDS]"
                 " [--baud N]\n"
                 "                   [--prompt-delay MS] [--delete-delay MS]\n"
                 "       corvane-sim --bootloader --firmware DIR [--ports DIR] [--com N]\n";
}

std::string DefaultPorts() {
    if (const char* p = std::getenv("CORVANE_PORTS"); p && *p)
        return p;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        return std::string(x) + "/corvane/ports";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.config/corvane/ports";
}

bool ToInt(const std::string& s, int& out) {
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < 0 || v > 10'000'000)
        return false;
    out = static_cast<int>(v);
    return true;
}

// Unit time stamp of the current local time: yy/MM/dd,hh:mm:ss+zz (zone in quarter hours).
std::string Timestamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%y/%m/%d,%H:%M:%S", &tm);
    int quarters = static_cast<int>(tm.tm_gmtoff / 900) % 100;
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02d", quarters < 0 ? '-' : '+',
                  quarters < 0 ? -quarters : quarters);
    return std::string(buf) + zone;
}

const char kBootLoaderFile[] = "W39L512.dat";

// The image the updater sends of a firmware file.
std::vector<uint8_t> ReadImage(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    upgrade::HexImage image;
    const upgrade::HexResult result = upgrade::ParseHexText(text, image);
    if (result.outcome != upgrade::HexOutcome::Read || image.data.empty())
        throw std::runtime_error(path.string() + " is no usable Intel HEX image" +
                                 (result.message.empty() ? "" : ": " + result.message));
    return image.data;
}

// The folder's one main-code file (*.hex, any case), as the updater picks it.
std::filesystem::path MainCodeFile(const std::string& dir) {
    namespace fs = std::filesystem;
    std::vector<fs::path> found;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        if (ext == ".hex" && e.is_regular_file())
            found.push_back(e.path());
    }
    if (found.size() != 1)
        throw std::runtime_error(dir + " must hold exactly one *.hex file, it holds " +
                                 std::to_string(found.size()));
    return found.front();
}

// One boot loader on the pty, expecting the given images; it drains at the line's rate.
std::unique_ptr<sim::BootSim> ArmBootLoader(const std::vector<uint8_t>& boot,
                                            const std::vector<uint8_t>& code,
                                            const std::string& ports, int com) {
    auto unit = std::make_unique<sim::BootSim>();
    unit->SetImages(boot, code);
    unit->SetPaced(true);
    unit->LinkAsCom(ports, com);
    unit->Start();
    return unit;
}

int RunBootLoader(const std::string& firmware, const std::string& ports, int com,
                  const sigset_t& stopSignals) {
    using Stage = sim::BootSim::Stage;
    const std::vector<uint8_t> boot = ReadImage(std::filesystem::path(firmware) / kBootLoaderFile);
    const std::filesystem::path codeFile = MainCodeFile(firmware);
    const std::vector<uint8_t> code = ReadImage(codeFile);
    const int64_t kReplyBytes = 10;   // "FAT STUB" or "FLASH OK" with CR LF

    std::unique_ptr<sim::BootSim> unit = ArmBootLoader(boot, code, ports, com);
    std::unique_ptr<sim::BootSim> finished;   // kept open until the updater has let go
    std::cout << unit->SlavePath() << "\nready" << std::endl;
    std::cerr << "corvane-sim: boot loader on com" << com << " in " << ports << " -> "
              << unit->SlavePath() << ", expecting " << kBootLoaderFile << " (" << boot.size()
              << " bytes) and " << codeFile.filename().string() << " (" << code.size()
              << " bytes)\n";

    const timespec tick{0, 100'000'000};
    int logged = 0;   // stages logged so far
    std::size_t faultsSeen = 0;
    for (;;) {
        int sig = sigtimedwait(&stopSignals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM)
            break;
        const sim::BootSim::Status st = unit->State();
        if (logged == 0 && st.stage >= Stage::BootLoader) {
            std::fprintf(stderr, "upgrade command received\n");
            ++logged;
        }
        if (logged == 1 && st.stage >= Stage::BootLength) {
            std::fprintf(stderr, "boot loader received (%zu bytes)\n", boot.size());
            ++logged;
        }
        if (logged == 2 && st.stage >= Stage::CodeLength && st.sent >= kReplyBytes) {
            std::fprintf(stderr, "FAT STUB sent\n");
            ++logged;
        }
        if (logged == 3 && st.stage >= Stage::Done) {
            std::fprintf(stderr, "main code received (%zu bytes)\n", code.size());
            ++logged;
        }
        // Each departure from the expected bytes, after the stage it belongs to.
        const std::vector<std::string> faults = unit->Faults();
        for (; faultsSeen < faults.size() && faults[faultsSeen].rfind("... ", 0) != 0;
             ++faultsSeen)
            std::fprintf(stderr, "fault: %s\n", faults[faultsSeen].c_str());
        if (logged == 4 && st.sent >= 2 * kReplyBytes) {
            std::fprintf(stderr, "FLASH OK sent\n");
            // A flashed unit takes the next upgrade again: a fresh boot loader on the link.
            finished = std::move(unit);
            unit = ArmBootLoader(boot, code, ports, com);
            logged = 0;
            faultsSeen = 0;
            std::fprintf(stderr, "ready for another upload on %s\n", unit->SlavePath().c_str());
        }
    }
    unit->Stop();
    if (finished)
        finished->Stop();
    std::cerr << "corvane-sim: stopped\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string ports = DefaultPorts();
    int com = 1;
    int notifyEvery = 0;
    int baud = 0;
    int promptDelay = 0;
    int deleteDelay = 0;
    std::string version, init;
    std::vector<std::pair<std::string, std::string>> messages;
    bool bootLoader = false;
    std::string firmware;

    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            Usage();
            return 0;
        }
        if (opt == "--bootloader") {
            bootLoader = true;
            continue;
        }
        if (i + 1 >= argc) {
            Usage();
            return 2;
        }
        std::string val = argv[++i];
        bool ok = true;
        if (opt == "--ports") {
            ports = val;
        } else if (opt == "--com") {
            ok = ToInt(val, com) && com > 0;
        } else if (opt == "--version") {
            version = val;
        } else if (opt == "--init") {
            init = val;
        } else if (opt == "--message") {
            auto colon = val.find(':');
            ok = colon != std::string::npos && colon > 0;
            if (ok)
                messages.emplace_back(val.substr(0, colon), val.substr(colon + 1));
        } else if (opt == "--notify-every") {
            ok = ToInt(val, notifyEvery);
        } else if (opt == "--baud") {
            ok = ToInt(val, baud);
        } else if (opt == "--prompt-delay") {
            ok = ToInt(val, promptDelay);
        } else if (opt == "--delete-delay") {
            ok = ToInt(val, deleteDelay);
        } else if (opt == "--firmware") {
            firmware = val;
        } else {
            ok = false;
        }
        if (!ok) {
            std::cerr << "corvane-sim: bad option " << opt << " " << val << "\n";
            Usage();
            return 2;
        }
    }

    // Block the stop signals before any thread starts; the main loop takes them with
    // sigtimedwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (bootLoader) {
        if (firmware.empty()) {
            std::cerr << "corvane-sim: --bootloader needs --firmware DIR\n";
            Usage();
            return 2;
        }
        try {
            return RunBootLoader(firmware, ports, com, stopSignals);
        } catch (const std::exception& e) {
            std::cerr << "corvane-sim: " << e.what() << "\n";
            return 1;
        }
    }

    try {
        sim::ModemSim unit;
        if (!version.empty())
            unit.SetVersion(version);
        unit.SetExpectedInit(init);
        unit.SetBaud(baud);
        unit.SetPromptDelay(std::chrono::milliseconds(promptDelay));
        unit.SetDeleteDelay(std::chrono::milliseconds(deleteDelay));
        for (const auto& [number, text] : messages)
            unit.Store(number, text, Timestamp());
        unit.SetHandler([](const std::string& line) -> std::optional<std::string> {
            std::fprintf(stderr, "command: %s\n", line.c_str());
            return std::nullopt;
        });
        unit.LinkAsCom(ports, com);
        unit.Start();

        std::cout << unit.SlavePath() << "\nready" << std::endl;
        std::cerr << "corvane-sim: com" << com << " in " << ports << " -> " << unit.SlavePath()
                  << "\n";

        const timespec tick{0, 200'000'000};
        std::size_t sentSeen = 0;
        int demo = 0;
        using Steady = std::chrono::steady_clock;
        const auto period = std::chrono::seconds(notifyEvery);
        auto nextNotice = Steady::now() + period;
        for (;;) {
            int sig = sigtimedwait(&stopSignals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM)
                break;
            auto sent = unit.Sent();
            for (; sentSeen < sent.size(); ++sentSeen)
                std::fprintf(stderr, "sent to %s: %s\n", sent[sentSeen].number.c_str(),
                             sent[sentSeen].text.c_str());
            if (notifyEvery > 0 && Steady::now() >= nextNotice) {
                nextNotice += period;
                if (unit.Messages().size() < 30) {
                    ++demo;
                    int index = unit.Store("+15550100", "Demo message " + std::to_string(demo) +
                                           " from the simulated unit", Timestamp(), true);
                    std::fprintf(stderr, "stored and announced message %d\n", index);
                }
            }
        }
        unit.Stop();
        std::cerr << "corvane-sim: stopped\n";
    } catch (const std::exception& e) {
        std::cerr << "corvane-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
