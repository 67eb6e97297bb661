#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/cp1252.h"
#include "platform/datadir.h"
#include "platform/keepaside.h"
#include "platform/regvalue.h"

namespace platform {
namespace {

const char kHeader[] = "CORVANE REGISTRY 1";
// Headers of the registry editor's exports, read like our own.
const std::string_view kHeaders[] = {kHeader, "REGEDIT4", "Windows Registry Editor Version 5.00"};
const char kRoot[] = "HKEY_CURRENT_USER";
// The most of a file that is taken; the rest of a larger file stays in its kept copy.
constexpr std::size_t kMaxFileBytes = 16 << 20;

long SystemWrite(int fd, const void* buf, unsigned long n) { return ::write(fd, buf, n); }
RegistryWriteFn g_write = SystemWrite;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool HasLineBreak(std::string_view s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::string_view Trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Calls part(name) for each part of a key path, backslashes and empty parts left out.
template <class Part>
void ForEachPart(std::string_view path, Part part) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t cut = std::min(path.find('\\', start), path.size());
        if (cut > start) part(path.substr(start, cut - start));
        start = cut + 1;
    }
}

// How a section's key stands to a wanted key (both as paths below the root).
enum class Relation { Other, Same, Below };
Relation RelationTo(std::string_view section, std::string_view wanted) {
    std::size_t at = 0;   // where the next part of wanted starts
    bool differs = false, deeper = false;
    ForEachPart(section, [&](std::string_view part) {
        if (differs || deeper) return;
        while (at < wanted.size() && wanted[at] == '\\') ++at;
        if (at >= wanted.size()) {
            deeper = true;
            return;
        }
        std::size_t cut = std::min(wanted.find('\\', at), wanted.size());
        differs = !RegNameEquals(part, wanted.substr(at, cut - at));
        at = cut;
    });
    while (at < wanted.size() && wanted[at] == '\\') ++at;
    if (differs || at < wanted.size()) return Relation::Other;
    return deeper ? Relation::Below : Relation::Same;
}

uint64_t HashName(uint64_t seed, std::string_view name) {
    uint64_t h = 1469598103934665603ull ^ (seed * 0x9E3779B97F4A7C15ull);
    for (char c : name) h = (h ^ uint8_t(Lower(c))) * 1099511628211ull;
    return h ^ (h >> 29);
}

// Open addressing over non-zero entries, found by a hash and a test of the entry; the table
// holds no copy of the names, so it costs a few bytes for each entry.
template <class Entry, class Match>
Entry FindSlot(const std::vector<Entry>& slots, uint64_t hash, Match match) {
    if (slots.empty()) return 0;
    for (std::size_t i = hash & (slots.size() - 1);; i = (i + 1) & (slots.size() - 1))
        if (slots[i] == 0 || match(slots[i])) return slots[i];
}

// Adds entry to a table that holds count entries.
template <class Entry, class HashOf>
void AddSlot(std::vector<Entry>& slots, std::size_t count, Entry entry, HashOf hashOf) {
    auto place = [&](Entry e) {
        std::size_t i = hashOf(e) & (slots.size() - 1);
        while (slots[i]) i = (i + 1) & (slots.size() - 1);
        slots[i] = e;
    };
    if ((count + 1) * 2 > slots.size()) {
        std::vector<Entry> old(std::max<std::size_t>(16, slots.size() * 2));
        old.swap(slots);
        for (Entry e : old)
            if (e) place(e);
    }
    place(entry);
}

// Sets values by name within keys during one read, so a key of many values costs linear time.
class ValueIndex {
public:
    using ListOf = std::function<std::vector<RegEntry>&(uint32_t key)>;
    explicit ValueIndex(ListOf listOf) : listOf_(std::move(listOf)) {}

    void Set(uint32_t key, std::string name, RegValue value) {
        std::vector<RegEntry>& list = listOf_(key);
        const uint64_t found = FindSlot(slots_, HashName(key, name), [&](uint64_t e) {
            return uint32_t((e - 1) >> 32) == key &&
                   RegNameEquals(list[uint32_t(e - 1)].name, name);
        });
        if (found) {
            list[uint32_t(found - 1)].value = std::move(value);
            return;
        }
        list.push_back({std::move(name), std::move(value)});
        AddSlot(slots_, count_++, (uint64_t(key) << 32 | (list.size() - 1)) + 1, [&](uint64_t e) {
            const uint32_t k = uint32_t((e - 1) >> 32);
            return HashName(k, listOf_(k)[uint32_t(e - 1)].name);
        });
    }

private:
    ListOf listOf_;
    std::vector<uint64_t> slots_;   // (key << 32 | position) + 1
    std::size_t count_ = 0;
};

// The lines of a text, or of an open file read a piece at a time (at most kMaxFileBytes of
// it, cut after a whole line). A line stays valid until the next is taken.
class LineSource {
public:
    explicit LineSource(std::string_view text) : text_(text) {}
    explicit LineSource(int fd) : fd_(fd) {}

    bool Next(std::string_view& line) {
        std::size_t end = text_.find('\n', next_);
        while (end == std::string_view::npos && More()) end = text_.find('\n', next_);
        if (end == std::string_view::npos) {
            if (next_ >= text_.size()) return false;
            end = text_.size();
        }
        line = text_.substr(next_, end - next_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        next_ = end + 1;
        return true;
    }
    bool failed() const { return failed_; }
    bool tooLarge() const { return tooLarge_; }

private:
    // Reads the next piece of the file behind the line begun; false when nothing came.
    bool More() {
        if (fd_ < 0 || done_) return false;
        buf_.erase(0, next_);
        next_ = 0;
        const std::size_t old = buf_.size();
        buf_.resize(old + std::min<std::size_t>(65536, kMaxFileBytes + 1 - taken_));
        ssize_t n;
        do {
            n = read(fd_, buf_.data() + old, buf_.size() - old);
        } while (n < 0 && errno == EINTR);
        buf_.resize(old + std::size_t(std::max<ssize_t>(n, 0)));
        taken_ += buf_.size() - old;
        done_ = n <= 0;
        if (n < 0) {
            failed_ = true;
            buf_.clear();
        }
        if (taken_ > kMaxFileBytes) {   // the rest, and the line it cuts, are not taken
            tooLarge_ = done_ = true;
            const std::size_t nl = buf_.rfind('\n');
            buf_.resize(nl == std::string::npos ? 0 : nl + 1);
        }
        text_ = buf_;
        return buf_.size() > old;
    }

    int fd_ = -1;
    std::string_view text_;
    std::size_t next_ = 0;
    std::string buf_;
    std::size_t taken_ = 0;
    bool done_ = false, failed_ = false, tooLarge_ = false;
};

// Reads the lines: section(path) is told each section of the current user's root, with the
// path below the root, and answers whether its values are wanted; value(name, value) gets
// each wanted value. Returns true when the text is blank, or has a known header and every
// line was read (values not wanted are not looked at).
template <class OnSection, class OnValue>
bool ScanLines(LineSource& lines, OnSection section, OnValue value) {
    std::string_view line;
    bool first = true;
    do {
        if (!lines.Next(line)) return true;   // blank
        if (first && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
        first = false;
        line = Trim(line);
    } while (line.empty());
    if (std::find(std::begin(kHeaders), std::end(kHeaders), line) == std::end(kHeaders))
        return false;

    bool whole = true;
    enum { kNone, kSkip, kTake } current = kNone;
    std::string joined, name;
    while (lines.Next(line)) {
        line = Trim(line);
        if (line.empty() || line[0] == ';') continue;
        // A hex list may go on over lines ending in a backslash.
        if (line.back() == '\\' && line.find("=hex") != std::string_view::npos) {
            joined.assign(line.substr(0, line.size() - 1));
            std::string_view more;
            while (lines.Next(more)) {
                more = Trim(more);
                const bool goesOn = !more.empty() && more.back() == '\\';
                joined += goesOn ? more.substr(0, more.size() - 1) : more;
                if (!goesOn) break;
            }
            line = joined;
        }
        if (line[0] == '[') {
            current = kNone;
            if (line.back() != ']') {
                whole = false;
                continue;
            }
            std::string_view path = line.substr(1, line.size() - 2);
            std::string_view root = path.substr(0, path.find('\\'));
            if (!RegNameEquals(root, kRoot)) {
                whole = false;
                continue;
            }
            current = section(path.substr(root.size())) ? kTake : kSkip;
            continue;
        }
        if (current == kSkip) continue;
        std::size_t pos = 0;
        if (line[0] == '@') {
            name.clear();
            pos = 1;
        } else if (!ReadRegQuoted(line, pos, name)) {
            pos = line.size();
        }
        RegValue v;
        if (current == kNone || pos >= line.size() || line[pos] != '=' ||
            !ParseRegValue(line.substr(pos + 1), v)) {
            whole = false;
            continue;
        }
        value(std::move(name), std::move(v));
    }
    return whole;
}

// ---- the file ----

// Wide: a UTF-16 export, read through the code page; it is kept aside before a save, since
// what the code page lacks reads as '?'.
enum class FileState { Missing, Read, Wide, TooLarge, Unreadable, NotAFile };

// Turns UTF-16LE text after its byte-order mark into the code page's bytes; false when the
// text has no such mark.
bool FromUtf16(std::string& text) {
    if (text.substr(0, 2) != "\xFF\xFE") return false;
    std::string out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
        char32_t c = uint8_t(text[i]) | char32_t(uint8_t(text[i + 1])) << 8;
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < text.size()) {
            const char32_t low = uint8_t(text[i + 2]) | char32_t(uint8_t(text[i + 3])) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        out += char(UnicodeToCp1252(c));
    }
    text.swap(out);
    return true;
}

// Opens the registry file for reading (fd is then open). Something that is not a regular
// file is refused without waiting on it.
FileState OpenRegistryFile(const std::string& path, int& fd) {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno == ENOENT ? FileState::Missing : FileState::Unreadable;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return FileState::Read;
    close(fd);
    fd = -1;
    return FileState::NotAFile;
}

// Reads the registry file, at most kMaxFileBytes of it (cut after a whole line).
FileState ReadRegistryFile(const std::string& path, std::string& text) {
    text.clear();
    int fd;
    FileState state = OpenRegistryFile(path, fd);
    if (state != FileState::Read) return state;
    LineSource lines(fd);
    std::string_view line;
    while (lines.Next(line)) {
        text += line;
        text += '\n';
    }
    close(fd);
    if (lines.failed()) {
        text.clear();
        return FileState::Unreadable;
    }
    if (lines.tooLarge()) return FileState::TooLarge;
    return FromUtf16(text) ? FileState::Wide : FileState::Read;
}

bool FileRead(FileState state) {
    return state == FileState::Read || state == FileState::Wide || state == FileState::TooLarge;
}

bool IsFileOrMissing(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? S_ISREG(st.st_mode) : errno == ENOENT;
}

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

bool RegNameEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string NormalizeKeyPath(std::string_view path) {
    std::string out;
    ForEachPart(path, [&](std::string_view part) {
        if (!out.empty()) out += '\\';
        out += part;
    });
    return out;
}

RegEntry* RegKeyData::Find(std::string_view name) {
    for (RegEntry& e : values)
        if (RegNameEquals(e.name, name)) return &e;
    return nullptr;
}
const RegEntry* RegKeyData::Find(std::string_view name) const {
    return const_cast<RegKeyData*>(this)->Find(name);
}

RegistryData::RegistryData() { keys.push_back({}); }

std::size_t RegistryData::Child(std::size_t parent, std::string_view name) const {
    const uint64_t tag = HashName(parent, name) >> 32;
    const uint64_t found = FindSlot(children_, tag, [&](uint64_t e) {
        const uint32_t k = uint32_t(e);
        return e >> 32 == tag && keys[k].parent == parent && RegNameEquals(keys[k].name, name);
    });
    return found ? std::size_t(uint32_t(found)) : std::string::npos;
}

void RegistryData::AddToIndex(uint32_t key) {
    const uint64_t tag = HashName(keys[key].parent, keys[key].name) >> 32;
    AddSlot(children_, std::size_t(key) - 1, tag << 32 | key, [](uint64_t e) { return e >> 32; });
}

std::size_t RegistryData::CreateIndex(std::string_view path) {
    std::size_t at = 0;
    ForEachPart(path, [&](std::string_view part) {
        std::size_t child = Child(at, part);
        if (child == std::string::npos) {
            keys.push_back({std::string(part), uint32_t(at), {}});
            child = keys.size() - 1;
            AddToIndex(uint32_t(child));
        }
        at = child;
    });
    return at;
}

RegKeyData& RegistryData::Create(std::string_view path) { return keys[CreateIndex(path)]; }

RegKeyData* RegistryData::Find(std::string_view path) {
    std::size_t at = 0;
    ForEachPart(path, [&](std::string_view part) {
        if (at != std::string::npos) at = Child(at, part);
    });
    return at == std::string::npos ? nullptr : &keys[at];
}
const RegKeyData* RegistryData::Find(std::string_view path) const {
    return const_cast<RegistryData*>(this)->Find(path);
}

std::string RegistryData::PathOf(std::size_t index) const {
    std::vector<std::size_t> chain;
    for (std::size_t k = index; k != 0; k = keys[k].parent) chain.push_back(k);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty()) path += '\\';
        path += keys[*it].name;
    }
    return path;
}

namespace {

RegistryData ParseLines(LineSource& lines, bool* whole) {
    RegistryData data;
    ValueIndex values([&](uint32_t key) -> std::vector<RegEntry>& { return data.keys[key].values; });
    uint32_t current = 0;
    const bool all = ScanLines(
        lines,
        [&](std::string_view path) {
            current = uint32_t(data.CreateIndex(path));
            return true;
        },
        [&](std::string name, RegValue value) {
            values.Set(current, std::move(name), std::move(value));
        });
    if (whole) *whole = all;
    return data;
}

// Hands the registry file's lines to read, a piece at a time (a UTF-16 file is read whole
// and turned into the code page first); read is not called when there is no file to read.
// Returns how the file stood.
FileState ReadFileLines(const std::string& path, const std::function<void(LineSource&)>& read) {
    int fd;
    FileState state = OpenRegistryFile(path, fd);
    if (state != FileState::Read) return state;
    char mark[2];
    if (pread(fd, mark, 2, 0) == 2 && mark[0] == '\xFF' && mark[1] == '\xFE') {
        close(fd);
        std::string wide;
        state = ReadRegistryFile(path, wide);
        LineSource lines(wide);
        if (FileRead(state)) read(lines);
        return state;
    }
    LineSource lines(fd);
    read(lines);
    close(fd);
    if (lines.failed()) return FileState::Unreadable;
    return lines.tooLarge() ? FileState::TooLarge : FileState::Read;
}

} // namespace

RegistryData ParseRegistryText(std::string_view text, bool* whole) {
    LineSource lines(text);
    return ParseLines(lines, whole);
}

std::string FormatRegistryText(const RegistryData& data) {
    // A key without values that has children is implied by them and is not written.
    std::vector<bool> parent(data.keys.size());
    for (std::size_t k = 1; k < data.keys.size(); ++k) parent[data.keys[k].parent] = true;
    std::string out = std::string(kHeader) + "\n";
    for (std::size_t k = 0; k < data.keys.size(); ++k) {
        const RegKeyData& key = data.keys[k];
        if (key.values.empty() && (k == 0 || parent[k])) continue;
        out += "\n[";
        out += kRoot;
        if (k != 0) out += "\\" + data.PathOf(k);
        out += "]\n";
        for (const RegEntry& e : key.values) {
            out += e.name.empty() ? std::string("@") : QuoteRegName(e.name);
            out += "=" + FormatRegValue(e.value) + "\n";
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
    RegistryData data;
    ReadFileLines(RegistryPath(), [&](LineSource& lines) { data = ParseLines(lines, nullptr); });
    return data;
}

bool SaveRegistry(const RegistryData& data) {
    const std::string path = RegistryPath();
    if (!IsFileOrMissing(path)) return false;
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

namespace {

// Reads the whole store under the file's lock, lets change alter it (change answers whether
// there is anything to save) and saves it. A file that was not read whole is kept aside
// first; when no copy can be made nothing is saved.
bool Rewrite(const std::function<bool(RegistryData&)>& change) {
    const std::string path = RegistryPath();
    FileLock lock(path);
    RegistryData data;
    bool whole = true;
    const FileState state =
        ReadFileLines(path, [&](LineSource& lines) { data = ParseLines(lines, &whole); });
    if (state == FileState::NotAFile) return false;
    if (!change(data)) return true;
    const bool keep = state != FileState::Missing && (state != FileState::Read || !whole);
    if (keep && KeepFileAside(path).empty()) return false;
    return SaveRegistry(data);
}

} // namespace

std::optional<RegKey> RegKey::Open(const std::string& path, bool create) {
    std::string norm = NormalizeKeyPath(path);
    if (HasLineBreak(norm)) return std::nullopt;
    std::vector<RegEntry> values;
    if (!create) {
        // The file is read a piece at a time and only this key's values are kept, so a
        // large file costs little memory.
        bool found = norm.empty();
        ValueIndex index([&](uint32_t) -> std::vector<RegEntry>& { return values; });
        const FileState state = ReadFileLines(RegistryPath(), [&](LineSource& lines) {
            ScanLines(
                lines,
                [&](std::string_view section) {
                    Relation r = RelationTo(section, norm);
                    found = found || r != Relation::Other;
                    return r == Relation::Same;
                },
                [&](std::string name, RegValue value) {
                    index.Set(0, std::move(name), std::move(value));
                });
        });
        if (state == FileState::NotAFile) return std::nullopt;
        if (!found) return std::nullopt;
        return RegKey(norm, std::move(values));
    }
    if (!Rewrite([&](RegistryData& data) {
            const RegKeyData* key = data.Find(norm);
            const bool missing = !key;
            if (missing) key = &data.Create(norm);
            values = key->values;
            return missing;
        }))
        return std::nullopt;
    return RegKey(norm, std::move(values));
}

std::optional<RegValue> RegKey::Get(const std::string& name) const {
    for (const RegEntry& e : values_)
        if (RegNameEquals(e.name, name)) return e.value;
    return std::nullopt;
}

bool RegKey::Set(const std::string& name, const RegValue& value) {
    if (HasLineBreak(name)) return false;
    std::vector<RegEntry> values;
    if (!Rewrite([&](RegistryData& data) {
            RegKeyData& key = data.Create(path_);
            if (RegEntry* e = key.Find(name))
                e->value = value;
            else
                key.values.push_back({name, value});
            values = key.values;
            return true;
        }))
        return false;
    values_ = std::move(values);
    return true;
}

bool RegKey::Remove(const std::string& name) {
    bool removed = false;
    std::vector<RegEntry> values;
    const bool saved = Rewrite([&](RegistryData& data) {
        RegKeyData* key = data.Find(path_);
        if (!key) return false;
        for (auto it = key->values.begin(); it != key->values.end(); ++it) {
            if (RegNameEquals(it->name, name)) {
                key->values.erase(it);
                removed = true;
                break;
            }
        }
        values = key->values;
        return removed;
    });
    if (!saved || !removed) return false;
    values_ = std::move(values);
    return true;
}

} // namespace platform
