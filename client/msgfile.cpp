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

constexpr bool Escaped(unsigned char c) {
    switch (c) {
    case ' ': case '*': case '#': case '%': case '<': case '>':
        return true;
    default:
        return c < 32 || c > 122;
    }
}

// 1: escaped; 2: a double quote (doubled inside a quoted field); 0: copied as it is.
struct ByteClass {
    unsigned char kind[256];
    constexpr ByteClass() : kind() {
        for (int c = 0; c < 256; ++c) kind[c] = Escaped(static_cast<unsigned char>(c)) ? 1 : c == '"' ? 2 : 0;
    }
};
constexpr ByteClass kClass;

// Appends the encoded text; doubles double quotes when quoted. Writes into room made for
// the worst case (three bytes each) and gives back what is left.
void AppendEscaped(std::string& out, std::string_view text, bool quoted) {
    const std::size_t start = out.size();
    out.resize(start + 3 * text.size());
    char* p = out.data() + start;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (kClass.kind[c]) {
        case 1:
            p[0] = '%';
            p[1] = kHex[c >> 4];
            p[2] = kHex[c & 15];
            p += 3;
            break;
        case 2:
            *p++ = '"';
            if (quoted) *p++ = '"';
            break;
        default:
            *p++ = ch;
        }
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}
} // namespace

std::string EscapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    AppendEscaped(out, text, false);
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
    csvline::AppendQuoted(out, r.number, true);
    out += ',';
    // The encoded text holds no blank or control character: only a comma or a double
    // quote makes it quoted, and those pass the encoding unchanged.
    const bool quoted = r.text.find_first_of(",\"") != std::string::npos;
    if (quoted) out += '"';
    AppendEscaped(out, r.text, quoted);
    if (quoted) out += '"';
    out += ',';
    csvline::AppendField(out, r.date, true);
    out += ',';
    csvline::AppendField(out, r.status, true);
}

std::string FormatRecord(const Record& record) {
    std::string out;
    AppendRecord(out, record);
    return out;
}

std::string FormatFile(const std::vector<Record>& records) {
    std::string out;
    csvline::AppendLines(out, records.size(),
                         [&](std::string& o, std::size_t i) { AppendRecord(o, records[i]); });
    return out;
}

ParseResult ParseFile(std::string_view bytes) {
    ParseResult result;
    result.badLine = csvline::ReadLines(bytes, false, [&](std::vector<std::string>& f) {
        if (f.size() < 4) return false;
        result.records.push_back(
            {std::move(f[0]), UnescapeText(f[1]), std::move(f[2]), std::move(f[3])});
        return true;
    });
    return result;
}

} // namespace msgfile
