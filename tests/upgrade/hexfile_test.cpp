#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/support/testenv.h"
#include "upgrade/hexfile.h"

using upgrade::HexImage;
using upgrade::HexOutcome;
using upgrade::ParseHexText;

namespace {

// A record with its proper checksum (delta spoils it).
std::string Rec(int type, int address, const std::vector<uint8_t>& data, int delta = 0) {
    char buf[16];
    std::string line = ":";
    unsigned sum = unsigned(data.size()) + unsigned(address >> 8) + unsigned(address & 255);
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", unsigned(data.size()), unsigned(address),
                  unsigned(type));
    line += buf;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (256 - (sum + unsigned(delta)) % 256) % 256);
    return line + buf;
}

std::vector<uint8_t> Bytes(int count, int first) {
    std::vector<uint8_t> v;
    for (int i = 0; i < count; ++i) v.push_back(uint8_t(first + i));
    return v;
}

std::string Lines(const std::vector<std::string>& lines, const std::string& end = "\r\n") {
    std::string text;
    for (const auto& l : lines) text += l + end;
    return text;
}

const std::string kEnd = ":00000001FF";

struct LayoutCase {
    const char* name;
    std::string text;
    int imageEnd;
    std::vector<std::pair<int, int>> bytes;   // (address, value) checks
};

TEST(HexReader, ImageLayouts) {
    const std::vector<LayoutCase> cases = {
        {"16 at 0 then end: one trailing zero", Lines({Rec(0, 0, Bytes(16, 1)), kEnd}), 17,
         {{0, 1}, {15, 16}, {16, 0}}},
        {"16 at 0010 alone: zeros before, one after", Lines({Rec(0, 0x10, Bytes(16, 0x80))}), 33,
         {{0, 0}, {15, 0}, {16, 0x80}, {31, 0x8F}, {32, 0}}},
        {"rising records overwrite the trailing zero",
         Lines({Rec(0, 0, Bytes(16, 1)), Rec(0, 0x10, Bytes(16, 0x41)), kEnd}), 33,
         {{15, 16}, {16, 0x41}, {31, 0x50}, {32, 0}}},
        {"a gap reads as zeros", Lines({Rec(0, 0, Bytes(4, 1)), Rec(0, 0x10, Bytes(4, 9)), kEnd}),
         21, {{3, 4}, {4, 0}, {15, 0}, {16, 9}, {19, 12}, {20, 0}}},
        {"a record ending on the extra element fills it",
         Lines({Rec(0, 0, Bytes(4, 1)), Rec(0, 4, {0xEE}), kEnd}), 5, {{3, 4}, {4, 0xEE}}},
        {"a lower record does not grow the image",
         Lines({Rec(0, 0x20, Bytes(2, 7)), Rec(0, 0, Bytes(2, 5)), kEnd}), 35,
         {{0, 5}, {1, 6}, {0x20, 7}, {0x21, 8}, {0x22, 0}}},
        {"address FFFF with 32 bytes", Lines({Rec(0, 0xFFFF, Bytes(32, 0x10)), kEnd}), 65568,
         {{0xFFFF, 0x10}, {0xFFFF + 31, 0x2F}, {65567, 0}}},
        {"count 32 is read", Lines({Rec(0, 0, Bytes(32, 0)), kEnd}), 33, {{31, 31}}},
        {"lower-case digits", ":04000000deadbeefc4\r\n" + kEnd + "\r\n", 5,
         {{0, 0xDE}, {3, 0xEF}, {4, 0}}},
        {"lines after the end record are not read",
         Lines({Rec(0, 0, {0x55}), kEnd, "", "garbage", Rec(2, 0, {})}), 2, {{0, 0x55}}},
        {"end record by its type alone", Lines({Rec(0, 0, {0x55}), ":zz999901", "junk"}), 2,
         {{0, 0x55}}},
        {"last data line without a line end", Rec(0, 0, {1, 2}), 3, {{1, 2}}},
        {"lone LF line ends", Lines({Rec(0, 0, {1, 2}), kEnd}, "\n"), 3, {{0, 1}, {1, 2}}},
        {"a lone CR, CR LF and LF each end a record",
         Rec(0, 0, {1, 2}) + "\r" + Rec(0, 2, {3, 4}) + "\n" + Rec(0, 4, {5}) + "\r\n" +
             Rec(0, 5, {6}) + "\r" + kEnd + "\r",
         7, {{0, 1}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 0}}},
        {"a count-0 data record is ignored", Lines({Rec(0, 0, {1}), Rec(0, 0x100, {}), kEnd}), 2,
         {{0, 1}}},
        {"characters after the checksum are not read", Rec(0, 0, {7}) + " ; note\r\n" + kEnd, 2,
         {{0, 7}}},
        {"only an end record: an empty image", Lines({kEnd}), 0, {}},
        {"blanks and tabs inside fields are skipped", Lines({":03000000 1\t203F7", kEnd}), 4,
         {{0, 1}, {1, 2}, {2, 3}}},
        {"fields past a short line's end are 0", Lines({":02000000FE", kEnd}), 3,
         {{0, 0xFE}, {1, 0}}},
        {"a field's leading hex digits count", Lines({":01000000FE1G", kEnd}), 2, {{0, 0xFE}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HexImage image;
        image.data.assign(5, 0xAA);   // every read starts from an empty image
        auto result = ParseHexText(c.text, image);
        ASSERT_EQ(result.outcome, HexOutcome::Read) << result.message;
        EXPECT_EQ(image.ImageEnd(), c.imageEnd);
        for (auto [address, value] : c.bytes) {
            ASSERT_LT(address, image.ImageEnd());
            EXPECT_EQ(image.data[std::size_t(address)], value) << "address " << address;
        }
    }
}

struct RefusalCase {
    const char* name;
    std::string text;
    std::string message;
};

TEST(HexReader, RefusalsWithTheirTextsInCheckOrder) {
    const std::string good = Rec(0, 0, {1, 2, 3});
    const std::string bad33 = Rec(0, 0, Bytes(33, 0));
    const std::string type02 = Rec(2, 0, {0x10, 0x00});
    const std::string badSum = Rec(0, 0x10, {1, 2, 3}, 1);
    std::string wide;
    for (int i = 0; i < 250; ++i) wide += char('a' + i % 26);
    const std::vector<RefusalCase> cases = {
        {"no start code", Lines({good, "04000000AABBCCDDEE", kEnd}),
         "Bad data:\r\n04000000AABBCCDDEE"},
        {"blank line before the end", Lines({good, "", kEnd}), "Bad data:\r\n"},
        {"type 02", Lines({type02, kEnd}), "Invalid packet type: \r\n" + type02},
        {"type 03", Lines({Rec(3, 0, {0, 0, 0, 0})}), "Invalid packet type: \r\n" +
                                                          Rec(3, 0, {0, 0, 0, 0})},
        {"type 04", Lines({Rec(4, 0, {0, 1})}), "Invalid packet type: \r\n" + Rec(4, 0, {0, 1})},
        {"type 05", Lines({Rec(5, 0, {0, 0, 0, 0})}), "Invalid packet type: \r\n" +
                                                          Rec(5, 0, {0, 0, 0, 0})},
        {"type field missing", ":10", "Invalid packet type: \r\n:10"},
        {"count 33", Lines({bad33, kEnd}), "Bad data:\r\n" + bad33},
        {"checksum", Lines({good, badSum, kEnd}), "Bad checksum"},
        {"checksum of a count-0 record", Lines({Rec(0, 0x100, {}, 5), kEnd}), "Bad checksum"},
        {"start code before type", "x0000000299\r\n", "Bad data:\r\nx0000000299"},
        {"a long line is quoted cut", wide + "\r\n" + kEnd,
         "Bad data:\r\n" + wide.substr(0, 100) + "..."},
        {"type before count", ":41000002" + std::string(132, '0') + "\r\n",
         "Invalid packet type: \r\n:41000002" + std::string(91, '0') + "..."},
        {"count before checksum", Lines({Rec(0, 0, Bytes(33, 0), 7)}),
         "Bad data:\r\n" + Rec(0, 0, Bytes(33, 0), 7)},
        // A field past the end of a short line, or with no leading hex digit, is worth 0.
        {"checksum cut off", ":03000000010203F\r\n", "Bad checksum"},
        {"data cut off", ":10000000010203\r\n", "Bad checksum"},
        {"no address", ":03\r\n", "Invalid packet type: \r\n:03"},
        {"non-hex data byte", ":030000000102G3F7\r\n", "Bad checksum"},
        {"non-hex count", ":G300000001020304\r\n", "Bad checksum"},
        {"non-hex address", ":0300X00001020304\r\n", "Bad checksum"},
        {"sign in a field", ":03000000-1020304\r\n", "Bad checksum"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HexImage image;
        auto result = ParseHexText(c.text, image);
        EXPECT_EQ(result.outcome, HexOutcome::Refused);
        EXPECT_EQ(result.message, c.message);
    }
}

TEST(HexReader, EmptyTextFails) {
    HexImage image;
    EXPECT_EQ(ParseHexText("", image).outcome, HexOutcome::Failed);
    // A line of nothing is a line: refused, not failed.
    EXPECT_EQ(ParseHexText("\r\n", image).outcome, HexOutcome::Refused);
}

class HexFile : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = env.root() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    testing_support::TestEnv env;
    testing_support::BoxScript boxes;
};

TEST_F(HexFile, ReadsAFileWithoutABox) {
    HexImage image;
    EXPECT_EQ(upgrade::ReadHexImage(Write("a.hex", Lines({Rec(0, 0, {9, 8}), kEnd})), image),
              HexOutcome::Read);
    EXPECT_EQ(image.data, (std::vector<uint8_t>{9, 8, 0}));
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(HexFile, MissingEmptyOrUnreadableFilesFailSilently) {
    HexImage image;
    EXPECT_EQ(upgrade::ReadHexImage(env.root() + "/none.hex", image), HexOutcome::Failed);
    EXPECT_EQ(upgrade::ReadHexImage(Write("empty.hex", ""), image), HexOutcome::Failed);
    EXPECT_EQ(upgrade::ReadHexImage(env.root(), image), HexOutcome::Failed);   // a directory
    EXPECT_EQ(image.ImageEnd(), 0);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(HexFile, RefusalShowsItsTextInABoxCaptionedUpgrade) {
    boxes.Expect("Invalid packet type: ");
    HexImage image;
    const std::string line = Rec(4, 0, {0, 1});
    EXPECT_EQ(upgrade::ReadHexImage(Write("x.hex", Lines({line, kEnd})), image),
              HexOutcome::Refused);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text, "Invalid packet type: \r\n" + line);
    EXPECT_EQ(boxes.shown()[0].caption, "Upgrade");
    EXPECT_EQ(boxes.shown()[0].buttons, platform::BoxButtons::Ok);
}

} // namespace
