// The updater's registry reader: one value of a key as text, or "" on any failure.
#pragma once
#include <cstdint>
#include <string>

namespace upgrade {

// Root keys the reader knows; the registry file stands for the current user's hive.
enum RegRoot : uint32_t { HKEY_CURRENT_USER = 0x80000001u };

// Largest value the reader takes, in bytes.
constexpr std::size_t kRegValueLimit = 1024;

// Reads a value without write access. REG_SZ gives its text; REG_DWORD gives "&h" and its
// bytes as upper-case hex pairs, last byte first. One trailing 0 byte is dropped first.
// Any other type, a missing key or value, a value of no bytes or one over the limit: "".
std::string ReadRegistryValue(uint32_t root, const std::string& keyName,
                              const std::string& valueName);

// The number in a value text: decimal (optional sign) or "&h" followed by up to eight hex
// digits, taken as a 32-bit two's-complement number ("&hFFFFFFFF" is -1). Only the
// leading number counts; fallback when there is none or it does not fit 32 bits.
int32_t ValueNumber(const std::string& text, int32_t fallback);

} // namespace upgrade
