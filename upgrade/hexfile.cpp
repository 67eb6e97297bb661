#include "upgrade/hexfile.h"

#include <cerrno>
#include <fcntl.h>
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

// One data record (type "00"), its start code and type already checked.
// Layout by offset: 1 count, 3 address, 7 type, 9 data (two characters a byte), then checksum.
HexResult DataRecord(const std::string& line, HexImage& image) {
    const unsigned count = Field(line, 1, 2);
    if (count > kMaxRecordBytes) return Refuse("Bad data:\r\n" + line);
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

} // namespace

HexResult ParseHexText(const std::string& text, HexImage& image) {
    image.Clear();
    if (text.empty()) return {HexOutcome::Failed, {}};
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::size_t next = nl == std::string::npos ? text.size() : nl + 1;
        std::string line = text.substr(pos, (nl == std::string::npos ? text.size() : nl) - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos = next;

        if (line.empty() || line[0] != ':') return Refuse("Bad data:\r\n" + line);
        const std::string type = line.size() > 7 ? line.substr(7, 2) : std::string();
        if (type == "01") return {HexOutcome::Read, {}};
        if (type != "00") return Refuse("Invalid packet type: \r\n" + line);
        HexResult record = DataRecord(line, image);
        if (record.outcome != HexOutcome::Read) return record;
    }
    // The last line was a data record: a file may end without an end record.
    return {HexOutcome::Read, {}};
}

HexOutcome ReadHexImage(const std::string& path, HexImage& image) {
    image.Clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return HexOutcome::Failed;
    std::string text;
    char buf[65536];
    bool failed = false;
    while (true) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, std::size_t(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            failed = n < 0;
            break;
        }
    }
    close(fd);
    if (failed) return HexOutcome::Failed;
    HexResult result = ParseHexText(text, image);
    if (result.outcome == HexOutcome::Refused) platform::MessageBox(result.message, kCaption);
    return result.outcome;
}

} // namespace upgrade
