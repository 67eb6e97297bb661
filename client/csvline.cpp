#include "client/csvline.h"

namespace csvline {
namespace {
inline bool IsSpace(char c) {   // codes 1..32
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}
} // namespace

std::vector<std::string_view> SplitLines(std::string_view text, bool stopAtNul) {
    if (stopAtNul) {
        std::size_t nul = text.find('\0');
        if (nul != std::string_view::npos) text = text.substr(0, nul);
    }
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    const std::size_t n = text.size();
    while (pos < n) {
        std::size_t end = pos;
        while (end < n && text[end] != '\r' && text[end] != '\n') ++end;
        lines.push_back(text.substr(pos, end - pos));
        pos = end;
        if (pos < n && text[pos] == '\r') ++pos;
        if (pos < n && text[pos] == '\n') ++pos;
    }
    return lines;
}

void SplitFields(std::string_view line, std::vector<std::string>& out) {
    out.clear();
    std::size_t nul = line.find('\0');
    if (nul != std::string_view::npos) line = line.substr(0, nul);
    const std::size_t n = line.size();
    std::size_t p = 0;
    while (p < n && IsSpace(line[p])) ++p;
    while (p < n) {
        std::string field;
        if (line[p] == '"') {
            ++p;
            while (p < n) {
                if (line[p] == '"') {
                    if (p + 1 < n && line[p + 1] == '"') {
                        field += '"';
                        p += 2;
                        continue;
                    }
                    ++p;   // the closing quote
                    break;
                }
                field += line[p++];
            }
        } else {
            std::size_t start = p;
            while (p < n && static_cast<unsigned char>(line[p]) > 32 && line[p] != ',') ++p;
            field.assign(line.substr(start, p - start));
        }
        out.push_back(std::move(field));
        while (p < n && IsSpace(line[p])) ++p;
        if (p < n && line[p] == ',') {
            if (p + 1 == n) out.emplace_back();
            ++p;
            while (p < n && IsSpace(line[p])) ++p;
        }
    }
}

bool NeedsQuotes(std::string_view field) {
    for (char c : field) {
        if (static_cast<unsigned char>(c) <= 32 || c == '"' || c == ',') return true;
    }
    return false;
}

void AppendQuoted(std::string& out, std::string_view field, bool oneLine) {
    out += '"';
    for (char c : field) {
        if (c == '"') out += '"';
        out += oneLine && (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
    }
    out += '"';
}

void AppendField(std::string& out, std::string_view field, bool oneLine) {
    // CR, LF and 0 need quotes themselves, and so do the blanks they become.
    if (NeedsQuotes(field))
        AppendQuoted(out, field, oneLine);
    else
        out.append(field);
}

std::string OneLine(std::string_view field) {
    std::string s(field);
    for (char& c : s) {
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    }
    return s;
}

} // namespace csvline
