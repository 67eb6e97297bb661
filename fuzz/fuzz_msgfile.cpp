// The message-file reader and the text decoding inside it. Reading never fails and keeps the
// records in front of the first bad line; saving what was read and reading it back gives the
// same records; decoding and encoding agree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/msgfile.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "message file invariant broken: %s\n", what);
    std::abort();
}

bool Same(const msgfile::Record& a, const msgfile::Record& b) {
    return a.number == b.number && a.text == b.text && a.date == b.date && a.status == b.status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const msgfile::ParseResult read = msgfile::ParseFile(bytes);
    if (read.badLine != -1 && static_cast<std::size_t>(read.badLine) != read.records.size())
        Fail("records after the bad line, or a bad line lost");

    const std::string saved = msgfile::FormatFile(read.records);
    if (read.records.empty() != saved.empty()) Fail("records and file size disagree");
    const msgfile::ParseResult again = msgfile::ParseFile(saved);
    if (again.badLine != -1) Fail("a saved file does not read back whole");
    if (again.records.size() != read.records.size()) Fail("saving changed the record count");
    for (std::size_t i = 0; i < read.records.size(); ++i)
        if (!Same(read.records[i], again.records[i])) Fail("a record changed through the file");

    // Decoding any text, then encoding and decoding again, changes nothing more.
    const std::string plain = UnescapeText(bytes);
    if (plain.size() > bytes.size()) Fail("decoding made the text longer");
    const std::string coded = EscapeText(plain);
    for (char c : coded) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 32 || u > 122) Fail("encoding left a blank, control or high character");
    }
    // Only a character 0 is lost on the way.
    std::string expected;
    for (char c : plain)
        if (c != '\0') expected += c;
    if (UnescapeText(coded) != expected) Fail("encoding does not decode back");

    const std::string clean = msgfile::CleanMessage(bytes);
    if (!clean.empty() && (static_cast<unsigned char>(clean.front()) <= 32 ||
                           static_cast<unsigned char>(clean.back()) <= 32))
        Fail("cleaning left a blank or control character at an end");
    if (clean.find_first_of("\x10\x13") != std::string::npos) Fail("cleaning left code 16 or 19");
    return 0;
}
