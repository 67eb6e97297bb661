#include "platform/regvalue.h"

#include <cstdio>

namespace platform {
namespace {

bool Printable(uint8_t c) { return c >= 0x20 && c <= 0x7e; }

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

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ReadHexNumber(std::string_view s, uint32_t& out) {
    if (s.empty() || s.size() > 8) return false;
    out = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) return false;
        out = out << 4 | uint32_t(d);
    }
    return true;
}

bool ReadHexList(std::string_view s, std::vector<uint8_t>& out) {
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

std::string QuoteRegName(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

std::string FormatRegValue(const RegValue& v) {
    if (PlainString(v))
        return QuoteRegName(std::string(v.data.begin(), v.data.end() - 1));
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

bool ReadRegQuoted(std::string_view s, std::size_t& pos, std::string& out) {
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

bool ParseRegValue(std::string_view s, RegValue& v) {
    if (!s.empty() && s[0] == '"') {
        std::size_t pos = 0;
        std::string text;
        if (!ReadRegQuoted(s, pos, text) || s.find_first_not_of(" \t", pos) != std::string::npos)
            return false;
        v = RegValue::String(text);
        return true;
    }
    if (s.substr(0, 6) == "dword:") {
        uint32_t n;
        if (!ReadHexNumber(s.substr(6), n)) return false;
        v = RegValue::Dword(n);
        return true;
    }
    if (s.substr(0, 4) == "hex:") {
        v.type = REG_BINARY;
        return ReadHexList(s.substr(4), v.data);
    }
    if (s.substr(0, 4) == "hex(") {
        std::size_t close = s.find("):", 4);
        if (close == std::string::npos || !ReadHexNumber(s.substr(4, close - 4), v.type))
            return false;
        return ReadHexList(s.substr(close + 2), v.data);
    }
    return false;
}

} // namespace platform
