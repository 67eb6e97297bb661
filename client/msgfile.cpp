#include "client/msgfile.h"

#include "client/csvline.h"

namespace {
const char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Escaped(unsigned char c) {
    switch (c) {
    case ' ': case '*': case '#': case '%': case '<': case '>':
        return true;
    default:
        return c < 32 || c > 122;
    }
}
} // namespace

std::string EscapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (Escaped(c)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string UnescapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (text[i] != '%') {
            out += text[i++];
            continue;
        }
        // Up to two characters after the "%" make the number; all of them are consumed.
        std::size_t digits = n - i - 1 < 2 ? n - i - 1 : 2;
        int value = 0;
        bool valid = digits > 0;
        for (std::size_t k = 1; k <= digits; ++k) {
            int v = HexValue(text[i + k]);
            if (v < 0) valid = false;
            value = value * 16 + (v < 0 ? 0 : v);
        }
        if (valid && value != 0) out += static_cast<char>(value);
        i += 1 + digits;
    }
    return out;
}

namespace msgfile {

std::string CleanMessage(std::string_view text) {
    std::string s(text);
    for (char& c : s) {
        if (c == 16 || c == 19) c = ' ';
    }
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

void AppendRecord(std::string& out, const Record& r) {
    // Number and date can't hold a line break: the line splitter does not know quotes.
    csvline::AppendQuoted(out, csvline::OneLine(r.number));
    out += ',';
    csvline::AppendField(out, EscapeText(r.text));
    out += ',';
    csvline::AppendField(out, csvline::OneLine(r.date));
    out += ',';
    csvline::AppendField(out, csvline::OneLine(r.status));
}

std::string FormatRecord(const Record& record) {
    std::string out;
    AppendRecord(out, record);
    return out;
}

std::string FormatFile(const std::vector<Record>& records) {
    std::string out;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i) out += "\r\n";
        AppendRecord(out, records[i]);
    }
    return out;
}

ParseResult ParseFile(std::string_view bytes) {
    ParseResult result;
    std::vector<std::string> fields;
    auto lines = csvline::SplitLines(bytes, false);
    result.records.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        csvline::SplitFields(lines[i], fields);
        if (fields.size() < 4) {
            result.badLine = static_cast<long>(i);
            break;
        }
        result.records.push_back({std::move(fields[0]), UnescapeText(fields[1]),
                                  std::move(fields[2]), std::move(fields[3])});
    }
    return result;
}

} // namespace msgfile
