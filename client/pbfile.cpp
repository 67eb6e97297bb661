#include "client/pbfile.h"

#include "client/csvline.h"

namespace pbfile {

bool ReduceNumber(std::string_view text, std::string& digits) {
    digits.clear();
    for (char c : text) {
        if (c >= '0' && c <= '9')
            digits += c;
        else if (c != ' ' && c != '-' && c != '(' && c != ')' && c != '+')
            return false;
    }
    return true;
}

void AppendLine(std::string& out, const Entry& e) {
    csvline::AppendQuoted(out, e.name);
    out += ',';
    if (e.number.empty())
        out += "\"\"";
    else
        csvline::AppendField(out, e.number, true);
}

std::string FormatLine(const Entry& entry) {
    std::string out;
    AppendLine(out, entry);
    return out;
}

std::string FormatFile(const std::vector<Entry>& entries) {
    std::string out;
    csvline::AppendLines(out, entries.size(),
                         [&](std::string& o, std::size_t i) { AppendLine(o, entries[i]); });
    return out;
}

ParseResult ParseFile(std::string_view bytes) {
    ParseResult result;
    result.badLine = csvline::ReadLines(bytes, true, [&](std::vector<std::string>& f) {
        Entry entry;
        if (f.size() != 2 || !ReduceNumber(f[1], entry.number)) return false;
        entry.name = std::move(f[0]);
        result.entries.push_back(std::move(entry));
        return true;
    });
    return result;
}

} // namespace pbfile
