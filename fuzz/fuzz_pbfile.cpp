// The phonebook reader (the start-up load and the import of any file). Reading never fails,
// keeps the entries in front of the first bad line with digits-only numbers, and saving what
// was read and reading it back gives the same entries.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/pbfile.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "phonebook invariant broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const pbfile::ParseResult read = pbfile::ParseFile(bytes);
    if (read.badLine != -1 && static_cast<std::size_t>(read.badLine) != read.entries.size())
        Fail("entries after the bad line, or a bad line lost");
    for (const pbfile::Entry& e : read.entries) {
        if (e.number.find_first_not_of("0123456789") != std::string::npos)
            Fail("a number with more than digits");
    }

    const std::string saved = pbfile::FormatFile(read.entries);
    const pbfile::ParseResult again = pbfile::ParseFile(saved);
    if (again.badLine != -1) Fail("a saved phonebook does not read back whole");
    if (again.entries.size() != read.entries.size()) Fail("saving changed the entry count");
    for (std::size_t i = 0; i < read.entries.size(); ++i) {
        if (again.entries[i].name != read.entries[i].name ||
            again.entries[i].number != read.entries[i].number)
            Fail("an entry changed through the file");
    }

    // A number text reduces to its digits or is refused; the digits are never more.
    std::string digits;
    if (pbfile::ReduceNumber(bytes, digits)) {
        if (digits.size() > bytes.size() ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            Fail("a reduced number that is not the digits of the text");
    }
    return 0;
}
