#include "upgrade/hexfile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/boxes.h"

namespace upgrade {
namespace {

constexpr int kMaxRecordBytes = 32;
const char kCaption[] = "Upgrade";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The byte written as two hex digits at line[pos]; -1 when the pair is short or not hex.
int HexPair(const std::string& line, std::size_t pos) {
    if (pos + 2 > line.size()) return -1;
    int hi = HexDigit(line[pos]);
    int lo = HexDigit(line[pos + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

HexResult Refuse(std::string message) { return {HexOutcome::Refused, std::move(message)}; }
HexResult BadData(const std::string& line) { return Refuse("Bad data:\r\n" + line); }

// One data record (type "00"), its start code and type already checked.
// Layout by offset: 1 count, 3 address, 7 type, 9 data (two digits a byte), then checksum.
HexResult DataRecord(const std::string& line, HexImage& image) {
    const int count = HexPair(line, 1);
    if (count < 0 || count > kMaxRecordBytes) return BadData(line);
    const int addrHi = HexPair(line, 3);
    const int addrLo = HexPair(line, 5);
    if (addrHi < 0 || addrLo < 0) return BadData(line);
    const std::size_t checksumAt = 9 + 2 * std::size_t(count);
    const int checksum = HexPair(line, checksumAt);
    if (checksum < 0) return BadData(line);
    uint8_t bytes[kMaxRecordBytes];
    unsigned sum = unsigned(count) + unsigned(addrHi) + unsigned(addrLo) + unsigned(checksum);
    for (int i = 0; i < count; ++i) {
        const int b = HexPair(line, 9 + 2 * std::size_t(i));
        if (b < 0) return BadData(line);
        bytes[i] = uint8_t(b);
        sum += unsigned(b);
    }
    if (sum % 256 != 0) return Refuse("Bad checksum");
    if (count == 0) return {HexOutcome::Read, {}};   // nothing to place

    // A record reaching past the image grows it to one element beyond its last byte.
    const std::size_t address = std::size_t(addrHi) * 256 + std::size_t(addrLo);
    const std::size_t last = address + std::size_t(count);   // 1-based index of the last byte
    if (image.data.size() < last) image.data.resize(last + 1, 0);
    for (int i = 0; i < count; ++i) image.data[address + std::size_t(i)] = bytes[i];
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

        if (line.empty() || line[0] != ':') return BadData(line);
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
