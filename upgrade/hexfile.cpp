#include "upgrade/hexfile.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

#include "platform/boxes.h"

namespace upgrade {
namespace {

constexpr unsigned kMaxRecordBytes = 32;
const char kCaption[] = "Upgrade";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The value of the field of len characters at line[pos]: blanks and tabs are skipped and
// the leading hex digits count; a field with no leading digit, or past the end of a short
// line, is worth 0.
unsigned Field(const std::string& line, std::size_t pos, std::size_t len) {
    unsigned value = 0;
    for (std::size_t i = pos; i < pos + len && i < line.size(); ++i) {
        if (line[i] == ' ' || line[i] == '\t') continue;
        const int digit = HexDigit(line[i]);
        if (digit < 0) break;
        value = value * 16 + unsigned(digit);
    }
    return value;
}

HexResult Refuse(std::string message) { return {HexOutcome::Refused, std::move(message)}; }

// A refused line as its box quotes it: cut after kQuoteChars characters.
constexpr std::size_t kQuoteChars = 100;
std::string Quote(const std::string& line, bool cut) { return cut ? line + "..." : line; }

// Hands out the lines of a byte stream one at a time; a lone CR, CR LF and LF each end a
// line. A line keeps its first kQuoteChars characters (every field lies within them) and the
// rest is skipped, so a file of any size is read in small pieces.
class LineReader {
public:
    // Fills a buffer: the bytes read, 0 at the end, negative on a failure.
    using Fill = std::function<std::ptrdiff_t(char*, std::size_t)>;
    explicit LineReader(Fill fill) : fill_(std::move(fill)) {}

    // The next line, and whether it was cut; false at the end or on a failure.
    bool Next(std::string& line, bool& cut) {
        line.clear();
        cut = false;
        bool any = false;
        while (true) {
            if (pos_ == len_) {
                const std::ptrdiff_t n = fill_(buf_, sizeof buf_);
                if (n < 0) failed_ = true;
                if (n <= 0) return any && !failed_;   // a last line may lack its line end
                pos_ = 0;
                len_ = std::size_t(n);
            }
            const char c = buf_[pos_++];
            if (afterCr_) {
                afterCr_ = false;
                if (c == '\n') continue;
            }
            if (c == '\r' || c == '\n') {
                afterCr_ = c == '\r';
                return true;
            }
            any = true;
            if (line.size() < kQuoteChars)
                line += c;
            else
                cut = true;
        }
    }
    bool Failed() const { return failed_; }

private:
    Fill fill_;
    char buf_[16384];
    std::size_t pos_ = 0, len_ = 0;
    bool afterCr_ = false;
    bool failed_ = false;
};

// One data record (type "00"), its start code, type and byte count already checked.
// Layout by offset: 1 count, 3 address, 7 type, 9 data (two characters a byte), then checksum.
HexResult DataRecord(const std::string& line, HexImage& image) {
    const unsigned count = Field(line, 1, 2);
    const std::size_t address = Field(line, 3, 4);
    unsigned sum = count + Field(line, 3, 2) + Field(line, 5, 2);
    // A record reaching past the image grows it to one element beyond its last byte; a
    // record of no bytes places nothing.
    const std::size_t last = address + count;   // 1-based index of the last byte
    if (count > 0 && image.data.size() < last) image.data.resize(last + 1, 0);
    for (unsigned i = 0; i < count; ++i) {
        const unsigned b = Field(line, 9 + 2 * std::size_t(i), 2);
        image.data[address + i] = uint8_t(b);
        sum += b;
    }
    sum += Field(line, 9 + 2 * std::size_t(count), 2);
    if (sum % 256 != 0) return Refuse("Bad checksum");
    return {HexOutcome::Read, {}};
}

HexResult ParseLines(LineReader& lines, HexImage& image) {
    image.Clear();
    std::string line;
    bool cut = false;
    if (!lines.Next(line, cut)) return {HexOutcome::Failed, {}};
    while (true) {
        if (line.empty() || line[0] != ':') return Refuse("Bad data:\r\n" + Quote(line, cut));
        const std::string type = line.size() > 7 ? line.substr(7, 2) : std::string();
        if (type == "01") return {HexOutcome::Read, {}};
        if (type != "00") return Refuse("Invalid packet type: \r\n" + Quote(line, cut));
        if (Field(line, 1, 2) > kMaxRecordBytes) return Refuse("Bad data:\r\n" + Quote(line, cut));
        HexResult record = DataRecord(line, image);
        if (record.outcome != HexOutcome::Read) return record;
        // The last line was a data record: a file may end without an end record.
        if (!lines.Next(line, cut))
            return {lines.Failed() ? HexOutcome::Failed : HexOutcome::Read, {}};
    }
}

} // namespace

HexResult ParseHexText(const std::string& text, HexImage& image) {
    std::size_t at = 0;
    LineReader lines([&](char* buf, std::size_t size) {
        const std::size_t n = std::min(size, text.size() - at);
        text.copy(buf, n, at);
        at += n;
        return std::ptrdiff_t(n);
    });
    return ParseLines(lines, image);
}

HexOutcome ReadHexImage(const std::string& path, HexImage& image) {
    image.Clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return HexOutcome::Failed;
    LineReader lines([fd](char* buf, std::size_t size) {
        while (true) {
            const ssize_t n = read(fd, buf, size);
            if (n >= 0 || errno != EINTR) return std::ptrdiff_t(n);
        }
    });
    const HexResult result = ParseLines(lines, image);
    close(fd);
    if (result.outcome == HexOutcome::Refused) platform::MessageBox(result.message, kCaption);
    return result.outcome;
}

} // namespace upgrade
