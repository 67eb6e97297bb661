// The text form of one value and of a value name in the registry file: "text" with \ and "
// escaped, dword:0000001e, hex:de,ad and hex(<type>):.. for every other kind.
#pragma once
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace platform {

std::string QuoteRegName(const std::string& s);
std::string FormatRegValue(const RegValue& v);

// Reads a quoted string at s[pos] (pos at the opening quote); pos ends after the closing one.
bool ReadRegQuoted(std::string_view s, std::size_t& pos, std::string& out);
// Reads a value's text form (what follows the '=' of its line, blanks trimmed).
bool ParseRegValue(std::string_view s, RegValue& v);

} // namespace platform
