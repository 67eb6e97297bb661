#include "platform/registry.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <unistd.h>

#include "platform/datadir.h"
#include "platform/keepaside.h"
#include "platform/regfile.h"
#include "platform/regvalue.h"

namespace platform {
namespace {

const char kHeader[] = "CORVANE REGISTRY 1";
// Headers of the registry editor's exports, read like our own.
const std::string_view kHeaders[] = {kHeader, "REGEDIT4", "Windows Registry Editor Version 5.00"};
const char kRoot[] = "HKEY_CURRENT_USER";
constexpr std::size_t kMaxFileBytes = regfile::kMaxBytes;

using regfile::FileLines;
using regfile::FileLock;
using regfile::FileState;
using regfile::LineSource;
using regfile::NewFile;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool HasLineBreak(std::string_view s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::string_view Trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Steps through the parts of a key path, backslashes and empty parts left out.
class Parts {
public:
    explicit Parts(std::string_view path) : path_(path) {}
    bool Next(std::string_view& part) {
        while (at_ < path_.size() && path_[at_] == '\\') ++at_;
        if (at_ >= path_.size()) return false;
        const std::size_t cut = std::min(path_.find('\\', at_), path_.size());
        part = path_.substr(at_, cut - at_);
        at_ = cut;
        return true;
    }

private:
    std::string_view path_;
    std::size_t at_ = 0;
};

template <class Part>
void ForEachPart(std::string_view path, Part part) {
    Parts parts(path);
    for (std::string_view p; parts.Next(p);) part(p);
}

// How a section's key stands to a wanted key (both as paths below the root).
enum class Relation { Other, Same, Below };
Relation RelationTo(std::string_view section, std::string_view wanted) {
    Parts s(section), w(wanted);
    for (std::string_view a, b;;) {
        const bool more = s.Next(a);
        if (!w.Next(b)) return more ? Relation::Below : Relation::Same;
        if (!more || !RegNameEquals(a, b)) return Relation::Other;
    }
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

} // namespace

bool RegNameEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a == b) return true;
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

// Appends the section line of the key at path (below the root; "" is the root itself), the
// path made plain.
void AppendSection(std::string& out, std::string_view path) {
    out.reserve(out.size() + path.size() + sizeof kRoot + 4);
    out += "\n[";
    out += kRoot;
    // A path read from the file is mostly plain already, and is then taken whole.
    bool doubled = false;
    for (std::size_t i = 1; i < path.size(); ++i)
        doubled |= (path[i] == '\\') & (path[i - 1] == '\\');
    if (!doubled && (path.empty() || (path.front() == '\\' && path.back() != '\\'))) {
        out += path;
    } else {
        ForEachPart(path, [&](std::string_view part) {
            out += '\\';
            out += part;
        });
    }
    out += "]\n";
}

void AppendValue(std::string& out, const RegEntry& e) {
    out += e.name.empty() ? std::string("@") : QuoteRegName(e.name);
    out += '=';
    out += FormatRegValue(e.value);
    out += '\n';
}

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
        AppendSection(out, data.PathOf(k));
        for (const RegEntry& e : key.values) AppendValue(out, e);
    }
    return out;
}

RegistryData LoadRegistry() {
    RegistryData data;
    FileLines file(RegistryPath());
    file.Read([&](LineSource& lines) { data = ParseLines(lines, nullptr); });
    return data;
}

std::string RegistryPath() {
    const char* env = std::getenv("CORVANE_REGISTRY");
    if (env && *env) return env;
    return ConfigDir() + "/registry.reg";
}

namespace {

// Reads the values of the key at path (made plain), those of all its sections, a later one
// winning; found tells whether the key is there, also when only keys below it are. Returns
// whether every line was read.
bool ReadKey(FileLines& file, const std::string& path, std::vector<RegEntry>& values,
             bool& found) {
    values.clear();
    found = path.empty();
    bool whole = true;
    ValueIndex index([&](uint32_t) -> std::vector<RegEntry>& { return values; });
    file.Read([&](LineSource& lines) {
        whole = ScanLines(
            lines,
            [&](std::string_view section) {
                const Relation r = RelationTo(section, path);
                found = found || r != Relation::Other;
                return r == Relation::Same;
            },
            [&](std::string name, RegValue value) {
                index.Set(0, std::move(name), std::move(value));
            });
    });
    return whole;
}

// Saves the registry file with the values of the key at path (made plain) changed, under the
// file's lock. change gets the key's values as read and whether the key is there, and answers
// whether there is anything to save; values ends as the key's values. Every other section is
// written back as it is read, a piece of the file at a time, in our own form. The new file
// never holds more than is read back whole: what does not fit beside the key is left out from
// the end. A file that was not read whole, or is not written back whole, is kept aside
// first; when no copy can be made nothing is saved.
bool Rewrite(const std::string& path,
             const std::function<bool(std::vector<RegEntry>&, bool)>& change,
             std::vector<RegEntry>& values) {
    const std::string file = RegistryPath();
    FileLock lock(file);
    FileLines in(file);
    if (in.state() == FileState::NotAFile) return false;
    bool found;
    bool whole = ReadKey(in, path, values, found);   // as far as the key's lines go
    const FileState state = in.state();
    if (!change(values, found)) return true;

    std::string keyValues;   // the key's section after its section line
    for (const RegEntry& e : values) AppendValue(keyValues, e);
    std::string own;   // the key's section where the file has none
    AppendSection(own, path);
    own += keyValues;
    NewFile out(file);
    if (!out.Add(own.size(), [](std::string& text) { text += kHeader, text += '\n'; }))
        return false;   // the key alone is too large
    bool placed = false, cut = false;
    in.Read([&](LineSource& lines) {
        whole = ScanLines(
            lines,
            [&](std::string_view section) {
                if (cut) return false;
                if (RelationTo(section, path) != Relation::Same) {
                    cut = !out.Add(placed ? 0 : own.size(),
                                   [&](std::string& text) { AppendSection(text, section); });
                    return !cut;
                }
                if (!placed)   // the same size as own, which has its room
                    out.Add(0, [&](std::string& text) {
                        AppendSection(text, section);
                        text += keyValues;
                    });
                placed = true;
                return false;
            },
            [&](std::string name, RegValue value) {
                cut = cut || !out.Add(placed ? 0 : own.size(), [&](std::string& text) {
                    AppendValue(text, {std::move(name), std::move(value)});
                });
            }) && whole;
    });
    if (in.state() != state) return false;   // the second reading failed
    if (!placed) out.Add(0, [&](std::string& text) { text += own; });
    std::string copy;
    if (state != FileState::Missing && (state != FileState::Read || !whole || cut)) {
        copy = KeepFileAside(file);
        if (copy.empty()) return false;
    }
    if (out.Commit()) return true;
    if (!copy.empty()) unlink(copy.c_str());   // the file stands as it was
    return false;
}

// The position of the value called name in values, or values.end().
std::vector<RegEntry>::iterator FindValue(std::vector<RegEntry>& values, const std::string& name) {
    return std::find_if(values.begin(), values.end(),
                        [&](const RegEntry& e) { return RegNameEquals(e.name, name); });
}

// Sets the entries in the key at path (made plain) in their order, in one save; values ends
// as the key's values.
bool SetValues(const std::string& path, const std::vector<RegEntry>& entries,
               std::vector<RegEntry>& values) {
    for (const RegEntry& e : entries)
        if (HasLineBreak(e.name)) return false;
    return Rewrite(
        path,
        [&](std::vector<RegEntry>& list, bool) {
            for (const RegEntry& e : entries) {
                auto it = FindValue(list, e.name);
                if (it != list.end())
                    it->value = e.value;
                else
                    list.push_back(e);
            }
            return true;
        },
        values);
}

} // namespace

std::optional<RegKey> RegKey::Open(const std::string& path, bool create) {
    std::string norm = NormalizeKeyPath(path);
    if (HasLineBreak(norm)) return std::nullopt;
    std::vector<RegEntry> values;
    if (!create) {
        // The file is read a piece at a time and only this key's values are kept, so a
        // large file costs little memory.
        FileLines file(RegistryPath());
        bool found;
        ReadKey(file, norm, values, found);
        if (file.state() == FileState::NotAFile || !found) return std::nullopt;
        return RegKey(norm, std::move(values));
    }
    if (!Rewrite(norm, [](std::vector<RegEntry>&, bool found) { return !found; }, values))
        return std::nullopt;
    return RegKey(norm, std::move(values));
}

std::optional<RegValue> RegKey::Get(const std::string& name) const {
    for (const RegEntry& e : values_)
        if (RegNameEquals(e.name, name)) return e.value;
    return std::nullopt;
}

bool RegKey::Set(const std::string& name, const RegValue& value) {
    std::vector<RegEntry> values;
    if (!SetValues(path_, {{name, value}}, values)) return false;
    values_ = std::move(values);
    return true;
}

bool RegKey::Write(const std::string& path, const std::vector<RegEntry>& values) {
    const std::string norm = NormalizeKeyPath(path);
    std::vector<RegEntry> saved;
    return !HasLineBreak(norm) && SetValues(norm, values, saved);
}

bool RegKey::Remove(const std::string& name) {
    bool removed = false;
    std::vector<RegEntry> values;
    const bool saved = Rewrite(
        path_,
        [&](std::vector<RegEntry>& list, bool) {
            auto it = FindValue(list, name);
            removed = it != list.end();
            if (removed) list.erase(it);
            return removed;
        },
        values);
    if (!saved || !removed) return false;
    values_ = std::move(values);
    return true;
}

} // namespace platform
