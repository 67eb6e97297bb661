// The registry file reader. Whatever the file holds, reading it must not fail, every key and
// value it gives must be unique by name, and writing what was read and reading that again
// must give the same store (a saved store survives the next load unchanged). The updater's
// reader of the same file agrees with it and gives a stored port back as its number.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry.h"
#include "upgrade/registry.h"

namespace {

using platform::RegistryData;
using platform::RegKeyData;

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "registry invariant broken: %s\n--- text ---\n%s\n--- end ---\n", what,
                 text.c_str());
    std::abort();
}

// The root key without values is not written out; it means the same as no root key.
bool Skipped(const RegKeyData& k) { return k.path.empty() && k.values.empty(); }

bool SameStore(const RegistryData& a, const RegistryData& b) {
    std::size_t i = 0, j = 0;
    for (;;) {
        while (i < a.keys.size() && Skipped(a.keys[i])) ++i;
        while (j < b.keys.size() && Skipped(b.keys[j])) ++j;
        if (i == a.keys.size() || j == b.keys.size())
            return i == a.keys.size() && j == b.keys.size();
        const RegKeyData& x = a.keys[i++];
        const RegKeyData& y = b.keys[j++];
        if (x.path != y.path || x.values.size() != y.values.size()) return false;
        for (std::size_t v = 0; v < x.values.size(); ++v) {
            if (x.values[v].name != y.values[v].name ||
                x.values[v].value.type != y.values[v].value.type ||
                x.values[v].value.data != y.values[v].value.data)
                return false;
        }
    }
}

void CheckShape(RegistryData& data, const std::string& text) {
    for (RegKeyData& k : data.keys) {
        if (platform::NormalizeKeyPath(k.path) != k.path) Fail("a key path not normalised", text);
        if (data.Find(k.path) != &k) Fail("two keys of one name", text);
        for (platform::RegEntry& e : k.values)
            if (k.Find(e.name) != &e) Fail("two values of one name in a key", text);
    }
}

void WriteFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Fail("cannot write the registry file", path);
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) Fail("cannot write the registry file", path);
        done += std::size_t(n);
    }
    close(fd);
}

// The updater reads "Port" through the file; what it gives must match the store as parsed.
void CheckUpdaterReader(const RegistryData& data, const std::string& text) {
    static const char kKey[] = "Software\\Hobrin\\corvane\\1.0";
    WriteFile(platform::RegistryPath(), text);
    const std::string read =
        upgrade::ReadRegistryValue(upgrade::HKEY_CURRENT_USER, kKey, "Port");

    const RegKeyData* key = data.Find(kKey);
    const platform::RegEntry* port = key ? key->Find("Port") : nullptr;
    if (!port) {
        if (!read.empty()) Fail("the updater read a value that is not there", text);
        return;
    }
    const platform::RegValue& v = port->value;
    if (v.type == platform::REG_DWORD && v.data.size() == 4) {
        const uint32_t n = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 |
                           uint32_t(v.data[2]) << 16 | uint32_t(v.data[3]) << 24;
        // Highest byte first, a highest byte of 0 left out.
        char expected[16];
        std::snprintf(expected, sizeof expected, v.data[3] == 0 ? "&h%06X" : "&h%08X", n);
        if (read != expected) Fail("the updater's text of a stored port", text);
        if (upgrade::ValueNumber(read, -7) != int32_t(n))
            Fail("a stored port read back as another number", text);
    } else if (v.type == platform::REG_SZ && !v.data.empty() &&
               v.data.size() <= upgrade::kRegValueLimit) {
        std::string expected(v.data.begin(), v.data.end());
        if (expected.back() == '\0') expected.pop_back();
        if (read != expected) Fail("the updater's text of a string port", text);
    }
    upgrade::ValueNumber(read, 1);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A private registry file, in memory where the machine has it.
    char dir[] = "/dev/shm/corvane-fuzz-registry-XXXXXX";
    char fallback[] = "/tmp/corvane-fuzz-registry-XXXXXX";
    const char* made = mkdtemp(dir);
    if (!made) made = mkdtemp(fallback);
    if (!made) return 0;
    setenv("CORVANE_REGISTRY", (std::string(made) + "/registry.reg").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    RegistryData first = platform::ParseRegistryText(text);
    CheckShape(first, text);
    CheckUpdaterReader(first, text);
    upgrade::ValueNumber(text, 0);

    const std::string written = platform::FormatRegistryText(first);
    RegistryData second = platform::ParseRegistryText(written);
    if (!SameStore(first, second)) Fail("the store changed on its way through the file", text);
    if (platform::FormatRegistryText(second) != written)
        Fail("writing the store again gave another file", text);

    // Creating a key that was read finds it, whatever the letter case or backslashes.
    for (const RegKeyData& k : first.keys) {
        if (Skipped(k)) continue;
        std::string path = "\\" + k.path + "\\";
        for (char& c : path)
            if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        const std::size_t before = second.keys.size();
        RegKeyData& created = second.Create(path);
        if (!platform::RegNameEquals(created.path, k.path) || second.keys.size() != before)
            Fail("Create made a key that was there already", text);
    }
    return 0;
}
