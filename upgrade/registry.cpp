#include "upgrade/registry.h"

#include <optional>

#include "platform/registry.h"

namespace upgrade {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

} // namespace

std::string ReadRegistryValue(uint32_t root, const std::string& keyName,
                              const std::string& valueName) {
    if (root != HKEY_CURRENT_USER) return "";
    try {
        std::optional<platform::RegKey> key = platform::RegKey::Open(keyName, false);
        if (!key) return "";
        std::optional<platform::RegValue> value = key->Get(valueName);
        if (!value || value->data.empty() || value->data.size() > kRegValueLimit) return "";
        std::vector<uint8_t> bytes = value->data;
        if (bytes.back() == 0) bytes.pop_back();
        switch (value->type) {
        case platform::REG_SZ:
            return std::string(bytes.begin(), bytes.end());
        case platform::REG_DWORD: {
            static const char kHex[] = "0123456789ABCDEF";
            std::string text = "&h";
            for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) {
                text += kHex[*it >> 4];
                text += kHex[*it & 15];
            }
            return text;
        }
        default:
            return "";
        }
    } catch (...) {
        return "";   // the reader never fails
    }
}

int32_t ValueNumber(const std::string& text, int32_t fallback) {
    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return fallback;
    if (text.size() - i >= 2 && text[i] == '&' && (text[i + 1] == 'h' || text[i + 1] == 'H')) {
        uint64_t v = 0;
        std::size_t digits = 0;
        for (i += 2; i < text.size() && HexDigit(text[i]) >= 0; ++i, ++digits) {
            v = v * 16 + uint64_t(HexDigit(text[i]));
            if (v > 0xFFFFFFFFu) return fallback;
        }
        if (digits == 0) return fallback;
        return int32_t(uint32_t(v));
    }
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    int64_t v = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        v = v * 10 + (text[i] - '0');
        if (v > int64_t(INT32_MAX) + 1) return fallback;
    }
    if (digits == 0) return fallback;
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return fallback;
    return int32_t(v);
}

} // namespace upgrade
