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
        csvline::AppendField(out, csvline::OneLine(e.number));
}

std::string FormatLine(const Entry& entry) {
    std::string out;
    AppendLine(out, entry);
    return out;
}

std::string FormatFile(const std::vector<Entry>& entries) {
    std::string out;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i) out += "\r\n";
        AppendLine(out, entries[i]);
    }
    return out;
}

ParseResult ParseFile(std::string_view bytes) {
    ParseResult result;
    std::vector<std::string> fields;
    auto lines = csvline::SplitLines(bytes, true);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        csvline::SplitFields(lines[i], fields);
        Entry entry;
        if (fields.size() != 2 || !ReduceNumber(fields[1], entry.number)) {
            result.badLine = static_cast<long>(i);
            break;
        }
        entry.name = std::move(fields[0]);
        result.entries.push_back(std::move(entry));
    }
    return result;
}

} // namespace pbfile
