// The line syntax shared by the message files and the phonebook file: comma-separated
// fields, a field quoted in double quotes (inner quotes doubled) when it must be.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace csvline {

// Splits text into lines at CR LF, a lone CR and a lone LF; a line end after the last line
// adds no line. With stopAtNul a character 0 ends the whole text.
std::vector<std::string_view> SplitLines(std::string_view text, bool stopAtNul);

// Splits one line into fields (out is cleared first). A character 0 ends the line.
// Characters 1..32 around fields are skipped; a blank outside quotes separates fields as a
// comma does; two commas in a row enclose an empty field; a comma that is the very last
// character of the line adds an empty last field. A quoted field without its closing quote
// runs to the end of the line.
void SplitFields(std::string_view line, std::vector<std::string>& out);

// True when the field holds a character 0..32, a double quote or a comma.
bool NeedsQuotes(std::string_view field);

// Appends the field in double quotes, inner double quotes doubled.
void AppendQuoted(std::string& out, std::string_view field);
// Appends the field quoted when NeedsQuotes, bare otherwise (empty: nothing).
void AppendField(std::string& out, std::string_view field);

// The field with CR, LF and character 0 turned into blanks: for fields that must stay on
// one line although quoting can't protect them from the line splitter.
std::string OneLine(std::string_view field);

} // namespace csvline
