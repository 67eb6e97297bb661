// The registry file reader. Whatever the file holds, reading it must not fail, every key and
// value it gives must be unique by name, and writing what was read and reading that again
// must give the same store (a saved store survives the next load unchanged), from a file
// about as large.
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

// The same keys with the same values, whatever their order (a parent without values is
// implied by its children in the file and comes back where its first child is).
bool SameStore(const RegistryData& a, const RegistryData& b) {
    if (a.keys.size() != b.keys.size()) return false;
    for (std::size_t i = 0; i < a.keys.size(); ++i) {
        const RegKeyData& x = a.keys[i];
        const RegKeyData* y = b.Find(a.PathOf(i));
        if (!y || x.name != y->name || x.values.size() != y->values.size()) return false;
        for (std::size_t v = 0; v < x.values.size(); ++v) {
            if (x.values[v].name != y->values[v].name ||
                x.values[v].value.type != y->values[v].value.type ||
                x.values[v].value.data != y->values[v].value.data)
                return false;
        }
    }
    return true;
}

void CheckShape(RegistryData& data, const std::string& text) {
    for (std::size_t i = 0; i < data.keys.size(); ++i) {
        RegKeyData& k = data.keys[i];
        if (i && (k.name.empty() || k.name.find('\\') != std::string::npos || k.parent >= i))
            Fail("a key name or parent out of shape", text);
        if (data.Find(data.PathOf(i)) != &k) Fail("two keys of one name", text);
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
    // What is written stays in proportion to what was read (a string of odd bytes is
    // written as a hex list, three characters a byte).
    if (written.size() > 64 + 4 * text.size()) Fail("the store wrote out far larger", text);
    bool whole = false;
    RegistryData second = platform::ParseRegistryText(written, &whole);
    if (!whole) Fail("a written line was not read back", text);
    if (!SameStore(first, second)) Fail("the store changed on its way through the file", text);
    if (platform::FormatRegistryText(second) != written)
        Fail("writing the store again gave another file", text);

    // Creating a key that was read finds it, whatever the letter case or backslashes.
    // (A few keys: each Create walks every parent of the path.)
    for (std::size_t i = 0; i < first.keys.size() && i < 8; ++i) {
        if (i == 0) continue;
        const std::string keyPath = first.PathOf(i);
        std::string path = "\\" + keyPath + "\\";
        for (char& c : path)
            if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        const std::size_t before = second.keys.size();
        RegKeyData& created = second.Create(path);
        if (!platform::RegNameEquals(created.name, first.keys[i].name) ||
            second.keys.size() != before)
            Fail("Create made a key that was there already", text);
    }
    return 0;
}
