// Windows-1252, the code page of every stored text.
#pragma once
#include <string>

namespace platform {

// Unicode code point of one Windows-1252 byte; the five undefined bytes map to the C1
// control of the same value, so every byte survives a round trip.
char32_t Cp1252ToUnicode(unsigned char byte);
// The byte for a code point; '?' when Windows-1252 has none.
unsigned char UnicodeToCp1252(char32_t cp);

// UTF-8 <-> Windows-1252 strings.
std::string Utf8ToCp1252(const std::string& utf8);
std::string Cp1252ToUtf8(const std::string& bytes);

} // namespace platform
