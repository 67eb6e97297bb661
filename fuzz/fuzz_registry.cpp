// The registry file reader. Whatever the file holds, reading it must not fail, every key and
// value it gives must be unique by name, and writing what was read and reading that again
// must give the same store (a saved store survives the next load unchanged).
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

constexpr std::size_t kLargestRoundTrip = 256 * 1024;

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    RegistryData first = platform::ParseRegistryText(text);
    CheckShape(first, text);
    upgrade::ValueNumber(text, 0);

    const std::string written = platform::FormatRegistryText(first);
    // Every parent key is written as a line of its own path, so a deep path written out
    // grows with the square of its depth; such stores only slow the search down here.
    if (written.size() > kLargestRoundTrip) return 0;
    RegistryData second = platform::ParseRegistryText(written);
    if (!SameStore(first, second)) Fail("the store changed on its way through the file", text);
    if (platform::FormatRegistryText(second) != written)
        Fail("writing the store again gave another file", text);

    // Creating a key that was read finds it, whatever the letter case or backslashes.
    // (A few keys: each Create walks every parent of the path.)
    for (std::size_t i = 0; i < first.keys.size() && i < 8; ++i) {
        const RegKeyData& k = first.keys[i];
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
