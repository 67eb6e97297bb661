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

// Splits text into lines and each line into fields, handing them to take(fields) in order;
// take returns false for a bad line, which ends the reading. Returns that line's index, or
// -1 when every line was taken.
template <class Take>
long ReadLines(std::string_view text, bool stopAtNul, Take take) {
    std::vector<std::string> fields;
    const auto lines = SplitLines(text, stopAtNul);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SplitFields(lines[i], fields);
        if (!take(fields)) return static_cast<long>(i);
    }
    return -1;
}

// True when the field holds a character 0..32, a double quote or a comma.
bool NeedsQuotes(std::string_view field);

// Appends the field in double quotes, inner double quotes doubled. With oneLine, CR, LF and
// character 0 are written as blanks (see OneLine).
void AppendQuoted(std::string& out, std::string_view field, bool oneLine = false);
// Appends the field quoted when NeedsQuotes, bare otherwise (empty: nothing).
void AppendField(std::string& out, std::string_view field, bool oneLine = false);

// Appends count records made by append(out, index), CR LF between them and none after the
// last.
template <class Append>
void AppendLines(std::string& out, std::size_t count, Append append) {
    for (std::size_t i = 0; i < count; ++i) {
        if (i) out += "\r\n";
        append(out, i);
    }
}

// The field with CR, LF and character 0 turned into blanks: for fields that must stay on
// one line although quoting can't protect them from the line splitter.
std::string OneLine(std::string_view field);

} // namespace csvline
