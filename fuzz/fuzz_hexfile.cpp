// The firmware image reader. Any file text gives one of the three outcomes with the image
// inside the 16-bit address space, and each file without an empty data record reads as a
// step-by-step reading of the format says; reading the same bytes from a file agrees with
// reading the text and shows a box exactly for a refusal; an image that was read, written
// out again as records, reads back as the same bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/boxes.h"
#include "upgrade/hexfile.h"

namespace {

using upgrade::HexImage;
using upgrade::HexOutcome;

// Highest address 0xFFFF plus 32 bytes, and the one 0 byte behind a record.
constexpr std::size_t kLargestImage = 0xFFFF + 32 + 1;

int g_boxes = 0;
std::string g_boxText;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "HEX reader invariant broken: %s\n", what);
    std::abort();
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The first count bytes of the image as data records of up to 16 bytes, highest address
// first (so only the first record grows the image), then the end record.
std::string WriteHex(const std::vector<uint8_t>& data, std::size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    auto hexByte = [&](unsigned b) {
        out += kDigits[(b >> 4) & 15];
        out += kDigits[b & 15];
    };
    for (std::size_t end = count; end > 0;) {
        const std::size_t at = (end - 1) / 16 * 16;
        const std::size_t n = end - at;
        unsigned sum = unsigned(n) + unsigned(at >> 8) + unsigned(at & 0xFF);
        out += ':';
        hexByte(unsigned(n));
        hexByte(unsigned(at >> 8));
        hexByte(unsigned(at & 0xFF));
        out += "00";
        for (std::size_t i = 0; i < n; ++i) {
            hexByte(data[at + i]);
            sum += data[at + i];
        }
        hexByte((256 - sum % 256) % 256);
        out += "\r\n";
        end = at;
    }
    return out + ":00000001FF\r\n";
}

// A plain reading of the record format, step by step over 1-based character positions: a
// field's blanks and tabs are skipped and its leading hex digits count; a field with none,
// or past the end of the line, is worth 0. A data record of no bytes has no verdict (false).
bool ReferenceRead(const std::string& text, HexOutcome& outcome, std::string& message,
                   std::vector<uint8_t>& image) {
    auto hex = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    auto mid = [](const std::string& s, std::size_t from, std::size_t len) {
        return from - 1 < s.size() ? s.substr(from - 1, len) : std::string();
    };
    auto val = [&](std::string field) {
        field.erase(std::remove_if(field.begin(), field.end(),
                                   [](char c) { return c == ' ' || c == '\t'; }),
                    field.end());
        int v = 0;
        for (char c : field) {
            if (hex(c) < 0) break;
            v = v * 16 + hex(c);
        }
        return v;
    };
    image.clear();
    message.clear();
    if (text.empty()) {
        outcome = HexOutcome::Failed;
        return true;
    }
    // A refused line is quoted up to its 100th character.
    auto quote = [](const std::string& line) {
        return line.size() > 100 ? line.substr(0, 100) + "..." : line;
    };
    for (std::size_t pos = 0; pos < text.size();) {
        // A lone CR, CR LF and LF each end a line.
        std::size_t nl = std::min(text.find_first_of("\r\n", pos), text.size());
        std::string line = text.substr(pos, nl - pos);
        pos = nl + (text.compare(nl, 2, "\r\n") == 0 ? 2 : 1);
        if (mid(line, 1, 1) != ":") {
            outcome = HexOutcome::Refused;
            message = "Bad data:\r\n" + quote(line);
            return true;
        }
        if (mid(line, 8, 2) == "01") break;
        if (mid(line, 8, 2) != "00") {
            outcome = HexOutcome::Refused;
            message = "Invalid packet type: \r\n" + quote(line);
            return true;
        }
        const int n = val(mid(line, 2, 2));
        if (n > 32) {
            outcome = HexOutcome::Refused;
            message = "Bad data:\r\n" + quote(line);
            return true;
        }
        if (n == 0) return false;
        const std::size_t a = std::size_t(val(mid(line, 4, 4)));
        int sum = n + val(mid(line, 4, 2)) + val(mid(line, 6, 2));
        if (image.size() < a + n) image.resize(a + n + 1, 0);
        for (int i = 0; i < n; ++i) {
            image[a + i] = uint8_t(val(mid(line, 10 + 2 * std::size_t(i), 2)));
            sum += image[a + i];
        }
        sum += val(mid(line, 10 + 2 * std::size_t(n), 2));
        if (sum % 256 != 0) {
            outcome = HexOutcome::Refused;
            message = "Bad checksum";
            return true;
        }
    }
    outcome = HexOutcome::Read;
    return true;
}

// Reads the bytes through the file path, from memory so no disk is touched.
HexOutcome ReadThroughFile(const uint8_t* data, size_t size, HexImage& image) {
    int fd = memfd_create("hexfile", MFD_CLOEXEC);
    if (fd < 0) Fail("memfd_create");
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) Fail("write to memfd");
        done += size_t(n);
    }
    const HexOutcome outcome =
        upgrade::ReadHexImage("/proc/self/fd/" + std::to_string(fd), image);
    close(fd);
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::SetBoxHandler([](const platform::BoxRequest& box) {
        ++g_boxes;
        g_boxText = box.text;
        return 1;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    HexImage image;
    image.data.assign(3, 0xAA);   // a previous image must not survive
    const upgrade::HexResult result = upgrade::ParseHexText(text, image);
    if (image.data.size() > kLargestImage) Fail("image past the 16-bit address space");
    switch (result.outcome) {
    case HexOutcome::Failed:
        if (!text.empty()) Fail("a text with lines failed instead of being read or refused");
        if (!image.data.empty()) Fail("a failed read left an image");
        break;
    case HexOutcome::Refused:
        if (!StartsWith(result.message, "Bad data:\r\n") &&
            !StartsWith(result.message, "Invalid packet type: \r\n") &&
            result.message != "Bad checksum")
            Fail("a refusal with an unknown message");
        break;
    case HexOutcome::Read:
        if (!result.message.empty()) Fail("a message with a read image");
        if (!image.data.empty() && image.data.size() < 2) Fail("an image without its 0 byte");
        break;
    }

    HexOutcome expected;
    std::string expectedMessage;
    std::vector<uint8_t> expectedImage;
    if (ReferenceRead(text, expected, expectedMessage, expectedImage)) {
        if (result.outcome != expected) Fail("the outcome differs from a plain reading");
        if (result.message != expectedMessage) Fail("the message differs from a plain reading");
        if (expected == HexOutcome::Read && image.data != expectedImage)
            Fail("the image differs from a plain reading");
    }

    g_boxes = 0;
    HexImage fromFile;
    const HexOutcome outcome = ReadThroughFile(data, size, fromFile);
    if (outcome != result.outcome) Fail("reading the file and reading its text disagree");
    if (fromFile.data != image.data) Fail("the file and its text gave different images");
    if (g_boxes != (outcome == HexOutcome::Refused ? 1 : 0)) Fail("a box for no refusal");
    if (g_boxes && g_boxText != result.message) Fail("the box does not say the refusal");

    // Records of 16 bytes can start at every address of such an image.
    if (result.outcome == HexOutcome::Read && !image.data.empty() &&
        image.data.size() <= 0x10000) {
        // A last byte of 0 is the one the reader adds itself; any other must be written.
        std::vector<uint8_t> expected = image.data;
        const std::size_t count = expected.back() == 0 ? expected.size() - 1 : expected.size();
        if (count == expected.size()) expected.push_back(0);
        HexImage again;
        const upgrade::HexResult reread =
            upgrade::ParseHexText(WriteHex(image.data, count), again);
        if (reread.outcome != HexOutcome::Read) Fail("a written image does not read back");
        if (again.data != expected) Fail("a written image reads back as other bytes");
    }
    return 0;
}
