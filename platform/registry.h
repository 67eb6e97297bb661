// A file-backed HKEY_CURRENT_USER shared by both programs. Key paths and value names match
// without regard to case; a leading backslash is ignored. Values are typed and keep their
// raw bytes. The file is human-readable (.reg style), saved atomically with mode 0600.
// A corrupt or unreadable file reads as empty.
#pragma once
#include <cstdint>
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
