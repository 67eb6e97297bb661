// corvane-sim: the simulated unit as a program, for trying Corvane without the hardware.
// Links com<N> in the ports folder to its pty, prints the device and "ready", logs each
// command line it runs to stderr and runs until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <ctime>
#include <iostream>
#include <string>

#include "tests/sim/modemsim.h"

namespace {

void Usage() {
    std::cerr << "usage: corvane-sim [--ports DIR] [--com N] [--version TEXT] [--init TEXT]\n"
                 "                   [--message NUMBER:TEXT]... [--notify-every SECONDS]"
                 " [--baud N]\n";
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

} // namespace

int main(int argc, char** argv) {
    std::string ports = DefaultPorts();
    int com = 1;
    int notifyEvery = 0;
    int baud = 0;
    std::string version, init;
    std::vector<std::pair<std::string, std::string>> messages;

    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            Usage();
            return 0;
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

    try {
        sim::ModemSim unit;
        if (!version.empty())
            unit.SetVersion(version);
        unit.SetExpectedInit(init);
        unit.SetBaud(baud);
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
