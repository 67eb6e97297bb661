// The phonebook file "phonebook.csv" (and imported phonebooks in the same form): one entry a
// line, the quoted name, a comma, the number (digits; an empty number is written "").
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace pbfile {

struct Entry {
    std::string name;
    std::string number;   // digits only, may be empty
};

// Keeps the digits of a number text; blank, "-", "(", ")" and "+" are dropped. Returns false
// (digits then undefined) when any other character occurs.
bool ReduceNumber(std::string_view text, std::string& digits);

void AppendLine(std::string& out, const Entry& entry);
std::string FormatLine(const Entry& entry);
// All entries, CR LF between them and none after the last; none give no bytes.
std::string FormatFile(const std::vector<Entry>& entries);

struct ParseResult {
    std::vector<Entry> entries;   // the entries before the first bad line
    long badLine = -1;            // index of the first line that is not name, number
};
ParseResult ParseFile(std::string_view bytes);

} // namespace pbfile
