// Loading large registry files: one of 1 MB whose keys are nested 500 levels deep, and one of
// 500,000 keys, each with the client's settings key first. For each: the client's start-up
// read of its settings, the updater's read of the port, the whole store as a write reads it,
// and a save of the settings. Prints the best time of a few runs and the peak memory above
// what the program held before. Asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <string>

#include "bench/bench_world.h"
#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "engine/settings.h"
#include "platform/registry.h"
#include "tests/support/null_mainwindow.h"
#include "upgrade/registry.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 5;

using QuietWindow = NullMainWindow;

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
    return -1;
}

// Runs work and gives its time in ms and its peak resident memory above what was resident
// before, in MB (the peak is reset through /proc/self/clear_refs first).
void Measure(const char* label, const std::function<void()>& work) {
    double best = 1e30, peak = 0;
    for (int run = 0; run < kRuns; ++run) {
        malloc_trim(0);   // what earlier runs freed counts as the program's own no more
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = StatusKb("VmRSS:");
        const auto t0 = Clock::now();
        work();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        best = std::min(best, ms);
        peak = std::max(peak, (StatusKb("VmHWM:") - before) / 1024.0);
    }
    std::printf("  %-34s %9.1f ms %9.1f MB\n", label, best, peak);
}

std::string SettingsKey() {
    Settings = SettingsRecord{};
    Settings.Port = 3;
    Settings.Signature = "- Sent using Corvane";
    Settings.UsePass = true;
    Settings.Password = "secret";
    SaveSettings();
    std::ifstream in(platform::RegistryPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Run(const char* title, const std::string& text) {
    const std::string path = platform::RegistryPath();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    std::printf("%s: %.2f MB\n", title, text.size() / 1048576.0);
    std::printf("  %-34s %12s %12s\n", "", "best time", "peak memory");
    Measure("client start-up (LoadSettings)", [] {
        Settings = SettingsRecord{};
        LoadSettings();
    });
    const bool read = Settings.Port == 3 && Settings.UsePass && Settings.Password == "secret";
    Measure("updater's read of \"Port\"", [] {
        upgrade::ReadRegistryValue(upgrade::HKEY_CURRENT_USER, "Software\\Hobrin\\corvane\\1.0",
                                   "Port");
    });
    std::size_t keys = 0;
    Measure("whole store (as a write reads it)", [&] { keys = platform::LoadRegistry().keys.size(); });
    Measure("a save of the settings", [&] {
        SaveSettings();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    });
    std::printf("  settings read back: %s; keys in the store: %zu\n\n", read ? "yes" : "NO", keys);
}

} // namespace

int main() {
    const std::string root = MakeBenchWorld();
    QuietWindow window;
    SetMainWindow(&window);
    const std::string settings = SettingsKey();

    std::string deep = settings;
    for (int i = 0; deep.size() < (1u << 20); ++i) {
        deep += "\n[HKEY_CURRENT_USER\\Software\\Deep" + std::to_string(i);
        for (int level = 2; level < 500; ++level) deep += "\\a";
        deep += "]\n\"v\"=dword:00000001\n";
    }
    std::string many = settings;
    for (int i = 0; i < 500000; ++i) many += "[HKEY_CURRENT_USER\\S\\k" + std::to_string(i) + "]\n";

    std::printf("targets: each load under 100 ms and under 50 MB above the program's own\n\n");
    Run("keys nested 500 levels deep", deep);
    Run("500,000 keys", many);
    SetMainWindow(nullptr);
    std::filesystem::remove_all(root);
    return 0;
}
