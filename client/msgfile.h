// The message files ("inbox.csv", "sent.csv", "unsent.csv"): the text encoding used inside
// them and the record format. One record a line: quoted number, escaped text, date, status.
#pragma once
#include <string>
#include <string_view>
#include <vector>

// Encodes a message text for the file: blank, "*", "#", "%", "<", ">", codes below 32 and
// codes above 122 become "%" and two upper-case hex digits.
std::string EscapeText(std::string_view text);
// Decodes EscapeText's form; tolerant of malformed "%" sequences.
std::string UnescapeText(std::string_view text);

namespace msgfile {

struct Record {
    std::string number;   // caption
    std::string text;     // plain message text
    std::string date;
    std::string status;   // "New" or "Old"
};

// Codes 16 and 19 become blanks, then codes 0..32 are trimmed from both ends.
std::string CleanMessage(std::string_view text);

// Appends one record's line (no line end).
void AppendRecord(std::string& out, const Record& record);
std::string FormatRecord(const Record& record);
// All records, CR LF between them and none after the last; no records give no bytes.
std::string FormatFile(const std::vector<Record>& records);

struct ParseResult {
    std::vector<Record> records;   // the records before the first bad line
    long badLine = -1;             // index of the first line with fewer than four fields
};
ParseResult ParseFile(std::string_view bytes);

} // namespace msgfile
