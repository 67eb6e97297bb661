// The message-file text encoding, the shared line syntax and the record format.
#include <gtest/gtest.h>

#include <random>

#include "client/csvline.h"
#include "client/msgfile.h"

namespace {

using Fields = std::vector<std::string>;

TEST(EscapeText, EveryByteRoundTripsAndOnlyTheEscapeSetIsEncoded) {
    const std::string escapeSet = " *#%<>";
    for (int c = 1; c <= 255; ++c) {
        std::string one(1, static_cast<char>(c));
        std::string encoded = EscapeText(one);
        bool shouldEscape = c < 32 || c > 122 || escapeSet.find(char(c)) != std::string::npos;
        if (shouldEscape) {
            char expected[4];
            std::snprintf(expected, sizeof expected, "%%%02X", c);
            EXPECT_EQ(encoded, expected) << "byte " << c;
        } else {
            EXPECT_EQ(encoded, one) << "byte " << c;
        }
        EXPECT_EQ(UnescapeText(encoded), one) << "byte " << c;
    }
    std::string all;
    for (int c = 1; c <= 255; ++c) all += static_cast<char>(c);
    std::string encoded = EscapeText(all);
    for (char c : encoded) {
        unsigned char u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u > 32 && u <= 122) << "unexpected byte " << int(u);
    }
    EXPECT_EQ(UnescapeText(encoded), all);
    // Character 0 is the one loss.
    EXPECT_EQ(EscapeText(std::string("a\0b", 3)), "a%00b");
    EXPECT_EQ(UnescapeText("a%00b"), "ab");
}

TEST(UnescapeText, MalformedEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"%", ""},            // "%" last: nothing
        {"ab%", "ab"},
        {"%4", "\x04"},       // one character left: it alone is the number
        {"%0", ""},
        {"%G", ""},
        {"%41", "A"},
        {"%4a", "J"},         // either case
        {"%4A%4a", "JJ"},
        {"%00x", "x"},        // value 0: nothing, three characters consumed
        {"%G1x", "x"},        // not hex: nothing, three characters consumed
        {"%1Gx", "x"},
        {"%%41", "1"},        // "%4" consumed as the escape's two characters
        {"a+b", "a+b"},       // "+" is no blank
        {"%FF%e9", "\xFF\xE9"},
    };
    for (const auto& [encoded, plain] : cases) EXPECT_EQ(UnescapeText(encoded), plain) << encoded;
}

TEST(CleanMessage, ReplacesDc0AndDc3AndTrims) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x10" "a\x13", "a"},
        {"  hi\r\n", "hi"},
        {"a\r\nb", "a\r\nb"},            // inner line breaks stay
        {"mi\x10" "d", "mi d"},
        {std::string("\0\x01x\x1F ", 5), "x"},
        {"\t\t", ""},
        {"", ""},
        {"\xE9t\xE9", "\xE9t\xE9"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(msgfile::CleanMessage(in), out) << in;
}

TEST(CsvLine, SplitFields) {
    const std::pair<std::string, Fields> cases[] = {
        {"a,b,c", {"a", "b", "c"}},
        {"a,,c", {"a", "", "c"}},
        {"a,", {"a", ""}},                 // comma last: empty last field
        {"a, ", {"a"}},                    // comma not last: no field
        {",a", {"", "a"}},
        {",", {"", ""}},
        {" a b ", {"a", "b"}},             // a blank separates as a comma does
        {"a ,b", {"a", "b"}},
        {"a\tb", {"a", "b"}},
        {"\"a b\",c", {"a b", "c"}},
        {"\"a\"\"b\"", {"a\"b"}},
        {"\"\"", {""}},
        {"\"\"\"x\"\"\"", {"\"x\""}},
        {"\"abc", {"abc"}},                // no closing quote: runs to the end
        {"\"x\"y", {"x", "y"}},
        {"\"a,b\" , c", {"a,b", "c"}},
        {"", {}},
        {"   ", {}},
        {std::string("a\0b,c", 5), {"a"}}, // character 0 ends the line
    };
    Fields out;
    for (const auto& [line, fields] : cases) {
        csvline::SplitFields(line, out);
        EXPECT_EQ(out, fields) << "line: " << line;
    }
}

TEST(CsvLine, SplitLines) {
    struct Case {
        std::string text;
        bool stopAtNul;
        Fields lines;
    };
    const Case cases[] = {
        {"", false, {}},
        {"a", false, {"a"}},
        {"a\r\n", false, {"a"}},
        {"a\r\nb", false, {"a", "b"}},
        {"a\rb\nc", false, {"a", "b", "c"}},
        {"a\n\rb", false, {"a", "", "b"}},
        {"\r\n", false, {""}},
        {"a\r\n\r\n", false, {"a", ""}},
        {std::string("a\0\r\nb", 5), true, {"a"}},
        {std::string("a\0\r\nb", 5), false, {std::string("a\0", 2), "b"}},
    };
    for (const auto& c : cases) {
        auto views = csvline::SplitLines(c.text, c.stopAtNul);
        Fields lines(views.begin(), views.end());
        EXPECT_EQ(lines, c.lines);
    }
}

TEST(CsvLine, Quoting) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"}, {"", ""}, {"a b", "\"a b\""}, {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""}, {"\x1F", "\"\x1F\""}, {"\xE9", "\xE9"},
    };
    for (const auto& [field, written] : cases) {
        std::string out;
        csvline::AppendField(out, field);
        EXPECT_EQ(out, written);
    }
}

const msgfile::Record kReceived{"\"+447700900123\"", "See you at 7, \"Caf\xE9\" +1",
                                "2006/01/02 10:20:30", "New"};
const msgfile::Record kSent{"07700900123", "OK", "2006/01/02 10:25:00", "Old"};
const msgfile::Record kDraft{"Office", "", "2006/01/02 10:30:00", "Old"};
const char kReceivedLine[] =
    "\"\"\"+447700900123\"\"\",\"See%20you%20at%207,%20\"\"Caf%E9\"\"%20+1\","
    "\"2006/01/02 10:20:30\",New";
const char kSentLine[] = "\"07700900123\",OK,\"2006/01/02 10:25:00\",Old";
const char kDraftLine[] = "\"Office\",,\"2006/01/02 10:30:00\",Old";

bool Same(const msgfile::Record& a, const msgfile::Record& b) {
    return a.number == b.number && a.text == b.text && a.date == b.date && a.status == b.status;
}

TEST(MessageFile, ReferenceRecordsByteForByte) {
    EXPECT_EQ(msgfile::FormatRecord(kReceived), kReceivedLine);
    EXPECT_EQ(msgfile::FormatRecord(kSent), kSentLine);
    EXPECT_EQ(msgfile::FormatRecord(kDraft), kDraftLine);
    EXPECT_EQ(msgfile::FormatFile({kReceived, kSent, kDraft}),
              std::string(kReceivedLine) + "\r\n" + kSentLine + "\r\n" + kDraftLine);
    EXPECT_EQ(msgfile::FormatFile({}), "");

    auto parsed = msgfile::ParseFile(msgfile::FormatFile({kReceived, kSent, kDraft}));
    ASSERT_EQ(parsed.badLine, -1);
    ASSERT_EQ(parsed.records.size(), 3u);
    EXPECT_TRUE(Same(parsed.records[0], kReceived));
    EXPECT_TRUE(Same(parsed.records[1], kSent));
    EXPECT_TRUE(Same(parsed.records[2], kDraft));
}

TEST(MessageFile, LineBreaksInNumberAndDateBecomeBlanks) {
    msgfile::Record r{"07\r\n700", "two\r\nlines", "2006/01/02\n10:20:30", "Old"};
    EXPECT_EQ(msgfile::FormatRecord(r),
              "\"07  700\",two%0D%0Alines,\"2006/01/02 10:20:30\",Old");
    auto parsed = msgfile::ParseFile(msgfile::FormatRecord(r));
    ASSERT_EQ(parsed.records.size(), 1u);
    EXPECT_EQ(parsed.records[0].text, "two\r\nlines");
}

TEST(MessageFile, RandomRecordsRoundTrip) {
    std::mt19937 rng(20060102);
    auto randomText = [&](int maxLen) {
        std::string s(rng() % (maxLen + 1), ' ');
        for (char& c : s) c = static_cast<char>(1 + rng() % 255);
        return s;
    };
    for (int round = 0; round < 200; ++round) {
        std::vector<msgfile::Record> records(1 + rng() % 5);
        for (auto& r : records)
            r = {randomText(20), randomText(160), randomText(20), randomText(4)};
        auto parsed = msgfile::ParseFile(msgfile::FormatFile(records));
        ASSERT_EQ(parsed.badLine, -1);
        ASSERT_EQ(parsed.records.size(), records.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(parsed.records[i].number, csvline::OneLine(records[i].number));
            EXPECT_EQ(parsed.records[i].text, records[i].text);
            EXPECT_EQ(parsed.records[i].date, csvline::OneLine(records[i].date));
            EXPECT_EQ(parsed.records[i].status, csvline::OneLine(records[i].status));
        }
    }
}

TEST(MessageFile, LoadToleranceAndRefusal) {
    struct Case {
        std::string text;
        std::size_t records;
        long badLine;
    };
    const std::string a = kSentLine, b = kDraftLine;
    const Case cases[] = {
        {"", 0, -1},
        {a + "\r\n" + b, 2, -1},
        {a + "\r\n" + b + "\r\n", 2, -1},               // line end after the last line
        {a + "\n" + b + "\r", 2, -1},                   // lone LF and CR
        {a + ",extra,more", 1, -1},                     // fields after the fourth ignored
        {a + "\r\n\"x\",y,z\r\n" + b, 1, 1},            // three fields stop the load
        {a + "\r\n\r\n" + b, 1, 1},                     // an empty line too
        {"\r\n", 0, 0},
        {"\"n\",t,d,new", 1, -1},                       // status not checked
        {std::string("\"n\",t\0,d,Old\r\n", 14) + a, 0, 0},  // 0 ends that line only
    };
    for (const auto& c : cases) {
        auto parsed = msgfile::ParseFile(c.text);
        EXPECT_EQ(parsed.records.size(), c.records) << c.text;
        EXPECT_EQ(parsed.badLine, c.badLine) << c.text;
    }
    auto parsed = msgfile::ParseFile("\"n\",t,d,new");
    EXPECT_EQ(parsed.records[0].status, "new");
}

} // namespace
