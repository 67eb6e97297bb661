// The settings readers of both programs over whatever the registry file holds: the client's
// settings record, the updater's port setting and its reader of the client's port. Loading
// never fails and applies the port; saving what was loaded and loading again gives the same
// record; a file not read whole is kept aside before the save, and what is saved reads back
// whole; the updater gets a stored port back as its number.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "engine/settings.h"
#include "fuzz/fuzz_tempdir.h"
#include "platform/registry.h"
#include "platform/settingsstore.h"
#include "tests/support/null_mainwindow.h"
#include "upgrade/registry.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "settings invariant broken: %s\n", what);
    std::abort();
}

// Only the port calls matter here.
class PortWindow : public NullMainWindow {
public:
    int setPortCalls = 0;
    int lastPort = -1;

    void SetPort(int n) override {
        ++setPortCalls;
        lastPort = n;
    }
};

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Fail("cannot write the registry file");
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) Fail("cannot write the registry file");
        done += size_t(n);
    }
    close(fd);
}

bool SameStored(const SettingsRecord& a, const SettingsRecord& b, bool debugToo) {
    return a.Init == b.Init && a.Signature == b.Signature && a.Password == b.Password &&
           a.PduMode == b.PduMode && a.ClearCompose == b.ClearCompose &&
           a.UsePass == b.UsePass && a.Port == b.Port &&
           (!debugToo || a.DebugMode == b.DebugMode);
}

// The updater reads "Port" through the file; what it gives must match the store as parsed.
void CheckUpdaterReader(const platform::RegistryData& data) {
    static const char kKey[] = "Software\\Hobrin\\corvane\\1.0";
    const std::string read =
        upgrade::ReadRegistryValue(upgrade::HKEY_CURRENT_USER, kKey, "Port");

    const platform::RegKeyData* key = data.Find(kKey);
    const platform::RegEntry* port = key ? key->Find("Port") : nullptr;
    if (!port) {
        if (!read.empty()) Fail("the updater read a value that is not there");
        return;
    }
    const platform::RegValue& v = port->value;
    if (v.type == platform::REG_DWORD && v.data.size() == 4) {
        const uint32_t n = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 |
                           uint32_t(v.data[2]) << 16 | uint32_t(v.data[3]) << 24;
        // Highest byte first, a highest byte of 0 left out.
        char expected[16];
        std::snprintf(expected, sizeof expected, v.data[3] == 0 ? "&h%06X" : "&h%08X", n);
        if (read != expected) Fail("the updater's text of a stored port");
        if (upgrade::ValueNumber(read, -7) != int32_t(n))
            Fail("a stored port read back as another number");
    } else if (v.type == platform::REG_SZ && !v.data.empty() &&
               v.data.size() <= upgrade::kRegValueLimit) {
        std::string expected(v.data.begin(), v.data.end());
        if (expected.back() == '\0') expected.pop_back();
        if (read != expected) Fail("the updater's text of a string port");
    }
    upgrade::ValueNumber(read, 1);
}

// The bytes of the copies kept beside the registry file, which are removed.
std::vector<std::string> TakeKeptCopies(const std::string& registry) {
    std::vector<std::string> copies;
    const std::filesystem::path file(registry);
    for (const auto& e : std::filesystem::directory_iterator(file.parent_path())) {
        if (e.path().filename().string().rfind(file.filename().string() + ".bad-", 0) != 0)
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        copies.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        std::filesystem::remove(e.path());
    }
    return copies;
}

// Loads with a fresh record; true when the key was there.
bool Load(PortWindow& w) {
    Settings = SettingsRecord{};
    w = PortWindow{};
    try {
        LoadSettings();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "LoadSettings let through: %s\n", e.what());
        std::abort();
    }
    const bool found = w.setPortCalls > 0;
    if (found && w.lastPort != Settings.Port) Fail("the loaded port was not applied");
    return found;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string dir = fuzzsupport::MakeTempDir("settings");
    setenv("CORVANE_REGISTRY", (dir + "/registry.reg").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = platform::RegistryPath();
    WriteFile(path, data, size);

    // The updater's own port setting: a number or the fallback, never a failure.
    const std::string updaterPort = platform::GetSetting("VardelUPG", "Port", "COMport", "-1");
    upgrade::ValueNumber(updaterPort, -1);

    PortWindow w;
    SetMainWindow(&w);
    const platform::RegistryData store = platform::ParseRegistryText(
        std::string(reinterpret_cast<const char*>(data), size));
    CheckUpdaterReader(store);
    const platform::RegKeyData* key = store.Find(RegistryKey);
    const platform::RegEntry* setVer = key ? key->Find("SetVer") : nullptr;
    // "SetVer" missing, of another form or 0 selects the defaults.
    bool defaults = true;
    if (setVer && setVer->value.type == platform::REG_DWORD && setVer->value.data.size() == 4)
        defaults = setVer->value.data == std::vector<uint8_t>(4, 0);

    const bool found = Load(w);
    if (found != (key != nullptr)) Fail("the key was found and missed at once");
    if (found && defaults && Settings.Signature != "- Sent using Corvane") Fail("SetVer 0 kept a value");
    const SettingsRecord first = Settings;

    // A file that was not read whole is kept aside, once and byte for byte, before the save.
    bool whole = false;
    platform::ParseRegistryText(std::string(reinterpret_cast<const char*>(data), size), &whole);
    SaveSettings();
    std::vector<std::string> kept = TakeKeptCopies(path);
    if (kept.size() != (whole ? 0u : 1u)) Fail("a file not read whole was not kept once");
    if (!whole && kept[0] != std::string(reinterpret_cast<const char*>(data), size))
        Fail("the kept copy is not the file as it was");
    std::ifstream saved(path, std::ios::binary);
    bool savedWhole = false;
    platform::ParseRegistryText(std::string(std::istreambuf_iterator<char>(saved), {}),
                                &savedWhole);
    if (!savedWhole) Fail("the saved file does not read back whole");
    if (!Load(w)) Fail("saved settings have no key");
    // Taking the defaults leaves the debug switch off whatever the file says; a saved
    // record then reads it from the file.
    if (!SameStored(first, Settings, !found || !defaults))
        Fail("saved settings load back as others");

    SetMainWindow(nullptr);
    return 0;
}
