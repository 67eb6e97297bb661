// A file-backed HKEY_CURRENT_USER shared by both programs. Key paths and value names match
// without regard to case; a leading backslash is ignored. Values are typed and keep their
// raw bytes. The file is human-readable (.reg style), saved atomically with mode 0600.
// A corrupt or unreadable file reads as empty.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum RegType : uint32_t {
    REG_NONE = 0, REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4,
};

struct RegValue {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;   // raw bytes; REG_SZ holds its terminating zero

    static RegValue Dword(uint32_t v);
    static RegValue String(const std::string& s, uint32_t type = REG_SZ);
};

// The whole store in memory: keys by full path (as first written), values in the order
// first written. Paths and names are looked up without regard to ASCII case.
struct RegEntry {
    std::string name;
    RegValue value;
};
struct RegKeyData {
    std::string path;            // "Software\Maker\App"; "" is the root
    std::vector<RegEntry> values;

    RegEntry* Find(const std::string& name);
    const RegEntry* Find(const std::string& name) const;
};
struct RegistryData {
    std::vector<RegKeyData> keys;

    RegKeyData* Find(const std::string& path);
    const RegKeyData* Find(const std::string& path) const;
    // The key, created with its missing parents when absent.
    RegKeyData& Create(const std::string& path);
};

// A key path made plain: leading, trailing and doubled backslashes dropped.
std::string NormalizeKeyPath(const std::string& path);
// ASCII case-insensitive equality (the rule for key paths and value names).
bool RegNameEquals(const std::string& a, const std::string& b);

// The file's text form and back. Parsing never fails: text without the header reads as an
// empty store, and a line it cannot read is skipped.
RegistryData ParseRegistryText(const std::string& text);
std::string FormatRegistryText(const RegistryData& data);

// Reads the file (empty when missing, unreadable or corrupt) / saves it atomically.
RegistryData LoadRegistry();
bool SaveRegistry(const RegistryData& data);

// Test seam: replaces the write(2) the save uses (nullptr restores it); returns the old one.
using RegistryWriteFn = std::function<long(int fd, const void* buf, unsigned long n)>;
RegistryWriteFn SetRegistryWriteFn(RegistryWriteFn fn);

// The registry file: $CORVANE_REGISTRY, else $XDG_CONFIG_HOME/corvane/registry.reg.
std::string RegistryPath();

// One open key. Each Open reads the file afresh; each write saves it at once.
class RegKey {
public:
    // Opens an existing key (nullopt when missing), or creates it and its parents.
    static std::optional<RegKey> Open(const std::string& path, bool create);

    const std::string& path() const { return path_; }

    std::optional<RegValue> Get(const std::string& name) const;
    // Writes one value and saves the file; false when the save failed.
    bool Set(const std::string& name, const RegValue& value);
    bool Remove(const std::string& name);

private:
    explicit RegKey(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

} // namespace platform
