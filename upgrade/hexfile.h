// The firmware image reader: a subset of Intel HEX (data and end records only, at most 32
// data bytes a record, 16-bit addresses) turned into a byte image that begins at address 0.
// Free of Qt, so the text parser can be driven on its own.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace upgrade {

// A firmware image. data[k] is the byte of address k. Each record that reaches further than
// the image leaves one 0 byte behind its last byte, so a file whose highest data byte is at
// address H gives ImageEnd() == H + 2 (the last byte 0) unless a later record fills it.
struct HexImage {
    std::vector<uint8_t> data;

    int32_t ImageEnd() const { return int32_t(data.size()); }
    void Clear() { data.clear(); }
};

enum class HexOutcome {
    Read,      // the image is complete
    Refused,   // a record broke a rule; the message says which
    Failed,    // the file could not be opened or read, or holds no line
};

struct HexResult {
    HexOutcome outcome = HexOutcome::Failed;
    std::string message;   // the refusal text (Refused only)
};

// Reads the file's text into image, which starts empty; a lone CR, CR LF and LF each end a
// record. A refusal quotes the line, cut after 100 characters. Pure: shows nothing.
HexResult ParseHexText(const std::string& text, HexImage& image);

// Reads the file at path into image, a line at a time. A refusal is shown in a box
// captioned "Upgrade" before this returns; a file that is missing, unreadable or empty fails
// without a box.
HexOutcome ReadHexImage(const std::string& path, HexImage& image);

} // namespace upgrade
