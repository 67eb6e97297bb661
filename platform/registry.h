// A file-backed HKEY_CURRENT_USER shared by both programs. Key paths and value names match
// without regard to case; a leading backslash is ignored. Values are typed and keep their
// raw bytes. The file is human-readable (.reg style), saved atomically with mode 0600.
// A corrupt or unreadable file reads as empty, and is kept aside before a save replaces it.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
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

// The whole store in memory: a tree of keys, each holding its own name and its parent, values
// in the order first written. Paths and names are looked up without regard to ASCII case.
struct RegEntry {
    std::string name;
    RegValue value;
};
struct RegKeyData {
    std::string name;            // the last part of the key's path; "" for the root
    uint32_t parent = 0;         // index of the parent in RegistryData::keys; the root's is 0
    std::vector<RegEntry> values;

    RegEntry* Find(std::string_view name);
    const RegEntry* Find(std::string_view name) const;
};
class RegistryData {
public:
    RegistryData();   // the root key alone

    // keys[0] is the root; a parent comes before its children. Keys are added by Create only
    // (a deque: a large store grows without being moved).
    std::deque<RegKeyData> keys;

    RegKeyData* Find(std::string_view path);
    const RegKeyData* Find(std::string_view path) const;
    // The key, created with its missing parents when absent.
    RegKeyData& Create(std::string_view path);
    std::size_t CreateIndex(std::string_view path);
    // "Software\Maker\App" for keys[index]; "" for the root.
    std::string PathOf(std::size_t index) const;

private:
    std::size_t Child(std::size_t parent, std::string_view name) const;
    void AddToIndex(uint32_t key);
    // Open addressing by (parent, name): the name's hash above the key's index; 0 is free.
    std::vector<uint64_t> children_;
};

// A key path made plain: leading, trailing and doubled backslashes dropped.
std::string NormalizeKeyPath(std::string_view path);
// ASCII case-insensitive equality (the rule for key paths and value names).
bool RegNameEquals(std::string_view a, std::string_view b);

// The file's text form and back. The text starts with our own header or with a header of the
// Windows registry editor's export ("REGEDIT4", "Windows Registry Editor Version 5.00"); what
// is written always has our own. A line ends at LF, CR LF, CR CR LF or a lone CR. Parsing
// never fails: text without a known header reads as an empty store, and a line it cannot read
// is skipped. whole (when given) tells whether every line was taken: false for a text without
// a known header or with a line skipped.
RegistryData ParseRegistryText(std::string_view text, bool* whole = nullptr);
std::string FormatRegistryText(const RegistryData& data);

// Reads the whole file into memory (empty when missing, unreadable or not understood).
RegistryData LoadRegistry();

// Test seam: replaces the write(2) the save uses (nullptr restores it); returns the old one.
using RegistryWriteFn = std::function<long(int fd, const void* buf, unsigned long n)>;
RegistryWriteFn SetRegistryWriteFn(RegistryWriteFn fn);

// The registry file: $CORVANE_REGISTRY, else $XDG_CONFIG_HOME/corvane/registry.reg.
std::string RegistryPath();

// One open key. Open reads the file once, and Get answers from the key's values as read then.
// Each write reads the file afresh under a lock and saves it at once, never larger than can be
// read back whole (16 MiB; what does not fit beside the key is left out). A file that was not
// read whole (no known header, a line that could not be read, too large, UTF-16, unreadable)
// or is not written back whole is first kept aside as "<file>.bad-<stamp>", and the write
// fails when no copy can be made. Neither reads nor writes a path that names something other
// than a regular file.
class RegKey {
public:
    // Opens an existing key (nullopt when missing), or creates it and its parents.
    static std::optional<RegKey> Open(const std::string& path, bool create);

    const std::string& path() const { return path_; }

    std::optional<RegValue> Get(const std::string& name) const;
    // Writes one value and saves the file; false when the save failed.
    bool Set(const std::string& name, const RegValue& value);
    // Writes the values in their order into the key at path, created with its parents when
    // missing, in one save of the file; false, with nothing written, when a name would break
    // the file or the save failed.
    static bool Write(const std::string& path, const std::vector<RegEntry>& values);
    bool Remove(const std::string& name);

private:
    RegKey(std::string path, std::vector<RegEntry> values)
        : path_(std::move(path)), values_(std::move(values)) {}
    std::string path_;
    std::vector<RegEntry> values_;   // as last read or written
};

} // namespace platform
