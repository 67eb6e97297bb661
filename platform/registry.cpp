#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "platform/datadir.h"

namespace platform {
namespace {

const char kHeader[] = "CORVANE REGISTRY 1";
const char kRoot[] = "HKEY_CURRENT_USER";
constexpr off_t kMaxFileBytes = 16 << 20;
constexpr long kMaxKeyDepth = 512;

long SystemWrite(int fd, const void* buf, unsigned long n) { return ::write(fd, buf, n); }
RegistryWriteFn g_write = SystemWrite;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool Printable(uint8_t c) { return c >= 0x20 && c <= 0x7e; }

bool HasLineBreak(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// ---- writing ----

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

std::string HexList(const std::vector<uint8_t>& data) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) out += ',';
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

// A REG_SZ that reads well as a quoted string: printable ASCII and one closing zero.
bool PlainString(const RegValue& v) {
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != 0) return false;
    for (std::size_t i = 0; i + 1 < v.data.size(); ++i)
        if (!Printable(v.data[i])) return false;
    return true;
}

std::string FormatValue(const RegValue& v) {
    if (PlainString(v))
        return Quote(std::string(v.data.begin(), v.data.end() - 1));
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 |
                     uint32_t(v.data[3]) << 24;
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        return buf;
    }
    if (v.type == REG_BINARY) return "hex:" + HexList(v.data);
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", unsigned(v.type));
    return buf + HexList(v.data);
}

// ---- reading ----

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads a quoted string at s[pos] (pos at the opening quote); pos ends after the closing one.
bool ReadQuoted(const std::string& s, std::size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= s.size()) return false;
            c = s[pos];
        }
        out += c;
    }
    return false;
}

bool ReadHexNumber(const std::string& s, uint32_t& out) {
    if (s.empty() || s.size() > 8) return false;
    out = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) return false;
        out = out << 4 | uint32_t(d);
    }
    return true;
}

bool ReadHexList(const std::string& s, std::vector<uint8_t>& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos < s.size()) {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
        if (pos + 1 >= s.size()) return false;
        int hi = HexDigit(s[pos]), lo = HexDigit(s[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(uint8_t(hi << 4 | lo));
        pos += 2;
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
        if (pos == s.size()) break;
        if (s[pos] != ',') return false;
        ++pos;
        if (pos == s.size()) return false;   // a trailing comma
    }
    return true;
}

bool ParseData(const std::string& s, RegValue& v) {
    if (!s.empty() && s[0] == '"') {
        std::size_t pos = 0;
        std::string text;
        if (!ReadQuoted(s, pos, text) || s.find_first_not_of(" \t", pos) != std::string::npos)
            return false;
        v = RegValue::String(text);
        return true;
    }
    if (s.compare(0, 6, "dword:") == 0) {
        uint32_t n;
        if (!ReadHexNumber(s.substr(6), n)) return false;
        v = RegValue::Dword(n);
        return true;
    }
    if (s.compare(0, 4, "hex:") == 0) {
        v.type = REG_BINARY;
        return ReadHexList(s.substr(4), v.data);
    }
    if (s.compare(0, 4, "hex(") == 0) {
        std::size_t close = s.find("):", 4);
        if (close == std::string::npos || !ReadHexNumber(s.substr(4, close - 4), v.type))
            return false;
        return ReadHexList(s.substr(close + 2), v.data);
    }
    return false;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos
                                                                       : nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

std::string LowerAll(std::string s) {
    for (char& c : s) c = Lower(c);
    return s;
}

// Lookup tables for one parse, so a large file costs linear time, not quadratic.
struct ParseIndex {
    std::unordered_map<std::string, std::size_t> keys;                  // lower path -> key
    std::vector<std::unordered_map<std::string, std::size_t>> values;   // lower name -> value

    std::size_t Key(RegistryData& data, const std::string& path) {
        std::string norm = NormalizeKeyPath(path);
        std::size_t cut = 0, at = 0;
        while (true) {
            cut = norm.find('\\', cut);
            std::string prefix = norm.substr(0, cut);
            auto [it, added] = keys.emplace(LowerAll(prefix), data.keys.size());
            if (added) {
                data.keys.push_back({prefix, {}});
                values.emplace_back();
            }
            at = it->second;
            if (cut == std::string::npos) return at;
            ++cut;
        }
    }
    void Set(RegistryData& data, std::size_t key, std::string name, RegValue value) {
        auto [it, added] = values[key].emplace(LowerAll(name), data.keys[key].values.size());
        if (added)
            data.keys[key].values.push_back({std::move(name), std::move(value)});
        else
            data.keys[key].values[it->second].value = std::move(value);
    }
};

// ---- the file ----

class FileLock {
public:
    explicit FileLock(const std::string& registry) {
        std::string dir = registry.substr(0, registry.find_last_of('/'));
        if (registry.find('/') != std::string::npos) MakeDirs(dir, 0700);
        fd_ = open((registry + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~FileLock() {
        if (fd_ >= 0) close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
private:
    int fd_ = -1;
};

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        long n = g_write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

} // namespace

RegValue RegValue::Dword(uint32_t v) {
    RegValue r;
    r.type = REG_DWORD;
    r.data = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return r;
}

RegValue RegValue::String(const std::string& s, uint32_t type) {
    RegValue r;
    r.type = type;
    r.data.assign(s.begin(), s.end());
    r.data.push_back(0);
    return r;
}

bool RegNameEquals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string NormalizeKeyPath(const std::string& path) {
    std::string out;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t cut = path.find('\\', start);
        std::string part = path.substr(start, cut == std::string::npos ? std::string::npos
                                                                        : cut - start);
        if (!part.empty()) {
            if (!out.empty()) out += '\\';
            out += part;
        }
        if (cut == std::string::npos) break;
        start = cut + 1;
    }
    return out;
}

RegEntry* RegKeyData::Find(const std::string& name) {
    for (RegEntry& e : values)
        if (RegNameEquals(e.name, name)) return &e;
    return nullptr;
}
const RegEntry* RegKeyData::Find(const std::string& name) const {
    return const_cast<RegKeyData*>(this)->Find(name);
}

RegKeyData* RegistryData::Find(const std::string& path) {
    std::string norm = NormalizeKeyPath(path);
    for (RegKeyData& k : keys)
        if (RegNameEquals(k.path, norm)) return &k;
    return nullptr;
}
const RegKeyData* RegistryData::Find(const std::string& path) const {
    return const_cast<RegistryData*>(this)->Find(path);
}

RegKeyData& RegistryData::Create(const std::string& path) {
    std::string norm = NormalizeKeyPath(path);
    std::size_t cut = 0;
    while (true) {
        cut = norm.find('\\', cut);
        std::string prefix = norm.substr(0, cut);
        if (!Find(prefix)) keys.push_back({prefix, {}});
        if (cut == std::string::npos) break;
        ++cut;
    }
    return *Find(norm);
}

RegistryData ParseRegistryText(const std::string& text) {
    RegistryData data;
    std::vector<std::string> lines = SplitLines(text);
    std::size_t i = 0;
    while (i < lines.size() && lines[i].find_first_not_of(" \t") == std::string::npos) ++i;
    if (i == lines.size()) return data;
    std::string header = lines[i];
    if (header.compare(0, 3, "\xEF\xBB\xBF") == 0) header.erase(0, 3);
    if (header != kHeader) return data;

    ParseIndex index;
    std::size_t current = std::string::npos;
    for (++i; i < lines.size(); ++i) {
        std::string line = lines[i];
        std::size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == ';') continue;
        line.erase(0, b);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
        // A hex list may go on over lines ending in a backslash.
        const bool hexLine = line.find("=hex") != std::string::npos;
        while (hexLine && line.back() == '\\' && i + 1 < lines.size()) {
            line.pop_back();
            std::string next = lines[++i];
            std::size_t nb = next.find_first_not_of(" \t");
            line += nb == std::string::npos ? "" : next.substr(nb);
        }
        if (line[0] == '[') {
            current = std::string::npos;
            if (line.back() != ']') continue;
            std::string path = line.substr(1, line.size() - 2);
            std::string root = path.substr(0, path.find('\\'));
            if (!RegNameEquals(root, kRoot)) continue;
            // A key nested past any real use would cost memory for each level and write
            // out far larger than it read: such a section is skipped.
            if (std::count(path.begin(), path.end(), '\\') > kMaxKeyDepth) continue;
            current = index.Key(data, path.substr(root.size()));
            continue;
        }
        if (current == std::string::npos) continue;
        std::string name;
        std::size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ReadQuoted(line, pos, name)) {
            continue;
        }
        if (pos >= line.size() || line[pos] != '=') continue;
        RegValue value;
        if (!ParseData(line.substr(pos + 1), value)) continue;
        index.Set(data, current, std::move(name), std::move(value));
    }
    return data;
}

std::string FormatRegistryText(const RegistryData& data) {
    std::string out = std::string(kHeader) + "\n";
    for (const RegKeyData& k : data.keys) {
        if (k.path.empty() && k.values.empty()) continue;
        out += "\n[";
        out += kRoot;
        if (!k.path.empty()) out += "\\" + k.path;
        out += "]\n";
        for (const RegEntry& e : k.values) {
            out += e.name.empty() ? std::string("@") : Quote(e.name);
            out += "=" + FormatValue(e.value) + "\n";
        }
    }
    return out;
}

std::string RegistryPath() {
    const char* env = std::getenv("CORVANE_REGISTRY");
    if (env && *env) return env;
    return ConfigDir() + "/registry.reg";
}

RegistryData LoadRegistry() {
    int fd = open(RegistryPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st;
    std::string text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxFileBytes) {
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 && off_t(text.size()) <= kMaxFileBytes)
            text.append(buf, std::size_t(n));
        if (n < 0) text.clear();
    }
    close(fd);
    return ParseRegistryText(text);
}

bool SaveRegistry(const RegistryData& data) {
    const std::string path = RegistryPath();
    std::string::size_type slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (!MakeDirs(dir, 0700)) return false;
    std::string tmp = path + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, FormatRegistryText(data)) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    if (int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

RegistryWriteFn SetRegistryWriteFn(RegistryWriteFn fn) {
    RegistryWriteFn old = std::move(g_write);
    g_write = fn ? std::move(fn) : RegistryWriteFn(SystemWrite);
    return old;
}

std::optional<RegKey> RegKey::Open(const std::string& path, bool create) {
    std::string norm = NormalizeKeyPath(path);
    if (HasLineBreak(norm)) return std::nullopt;
    if (!create) {
        if (norm.empty() || LoadRegistry().Find(norm)) return RegKey(norm);
        return std::nullopt;
    }
    FileLock lock(RegistryPath());
    RegistryData data = LoadRegistry();
    if (norm.empty() || data.Find(norm)) return RegKey(norm);
    data.Create(norm);
    if (!SaveRegistry(data)) return std::nullopt;
    return RegKey(norm);
}

std::optional<RegValue> RegKey::Get(const std::string& name) const {
    RegistryData data = LoadRegistry();
    const RegKeyData* key = data.Find(path_);
    if (!key) return std::nullopt;
    const RegEntry* e = key->Find(name);
    if (!e) return std::nullopt;
    return e->value;
}

bool RegKey::Set(const std::string& name, const RegValue& value) {
    if (HasLineBreak(name)) return false;
    FileLock lock(RegistryPath());
    RegistryData data = LoadRegistry();
    RegKeyData& key = data.Create(path_);
    if (RegEntry* e = key.Find(name))
        e->value = value;
    else
        key.values.push_back({name, value});
    return SaveRegistry(data);
}

bool RegKey::Remove(const std::string& name) {
    FileLock lock(RegistryPath());
    RegistryData data = LoadRegistry();
    RegKeyData* key = data.Find(path_);
    if (!key) return false;
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (RegNameEquals(it->name, name)) {
            key->values.erase(it);
            return SaveRegistry(data);
        }
    }
    return false;
}

} // namespace platform
