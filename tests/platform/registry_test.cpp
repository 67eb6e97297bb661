// The file-backed registry: typed values, case rules, the text form, atomic saves, and a
// file that cannot be read or is not understood.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/registry.h"
#include "tests/support/testenv.h"

using namespace platform;
using testing_support::TestEnv;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

RegValue Raw(uint32_t type, std::vector<uint8_t> data) {
    RegValue v;
    v.type = type;
    v.data = std::move(data);
    return v;
}

bool Same(const RegValue& a, const RegValue& b) { return a.type == b.type && a.data == b.data; }

const char kKey[] = "\\Software\\Hobrin\\Corvane\\1.0";

} // namespace

TEST(Registry, EveryKindOfValueRoundTripsThroughTheFile) {
    TestEnv env;
    std::string high;
    for (int i = 1; i < 256; ++i) high += char(i);
    struct Case { const char* name; RegValue value; };
    const Case cases[] = {
        {"plain", RegValue::String("- Sent using Corvane")},
        {"quotes", RegValue::String("a \"quoted\" C:\\path\\ and ;=[]@")},
        {"empty", RegValue::String("")},
        {"cp1252", RegValue::String("Gr\xfc\xdf\x65 \x80 caf\xe9\r\nline2\t")},
        {"allbytes", RegValue::String(high)},
        {"expand", RegValue::String("%HOME%\\x", REG_EXPAND_SZ)},
        {"dword", RegValue::Dword(0x1e)},
        {"dwordmax", RegValue::Dword(0xffffffffu)},
        {"dwordzero", RegValue::Dword(0)},
        {"binary", Raw(REG_BINARY, {0, 1, 0x7f, 0x80, 0xff})},
        {"nobytes", Raw(REG_BINARY, {})},
        {"sznozero", Raw(REG_SZ, {'5'})},
        {"szinnerzero", Raw(REG_SZ, {'a', 0, 'b', 0})},
        {"shortdword", Raw(REG_DWORD, {5})},
        {"none", Raw(REG_NONE, {9})},
        {"multi", Raw(7, {'a', 0, 'b', 0, 0})},
        {"", RegValue::String("default value")},
    };
    {
        auto key = RegKey::Open(kKey, true);
        ASSERT_TRUE(key);
        for (const Case& c : cases) ASSERT_TRUE(key->Set(c.name, c.value)) << c.name;
    }
    auto key = RegKey::Open(kKey, false);
    ASSERT_TRUE(key);
    for (const Case& c : cases) {
        auto v = key->Get(c.name);
        ASSERT_TRUE(v) << c.name;
        EXPECT_TRUE(Same(*v, c.value)) << c.name;
    }
    // The text form survives a parse and a format unchanged.
    const std::string text = ReadFile(env.registry());
    EXPECT_EQ(FormatRegistryText(ParseRegistryText(text)), text);
}

TEST(Registry, FileReadsAsText) {
    TestEnv env;
    auto key = RegKey::Open(kKey, true);
    ASSERT_TRUE(key);
    key->Set("port", RegValue::Dword(30));
    key->Set("sig", RegValue::String("say \"hi\" \\o/"));
    key->Set("Raw", Raw(REG_BINARY, {0xde, 0xad}));
    const std::string text = ReadFile(env.registry());
    for (const char* line : {"[HKEY_CURRENT_USER\\Software\\Hobrin\\Corvane\\1.0]\n",
                             "\"port\"=dword:0000001e\n", "\"sig\"=\"say \\\"hi\\\" \\\\o/\"\n",
                             "\"Raw\"=hex:de,ad\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    // A parent without values is implied by its child and not written.
    EXPECT_EQ(text.find("[HKEY_CURRENT_USER\\Software]"), std::string::npos) << text;
}

TEST(Registry, PathsAndNamesMatchInAnyCase) {
    TestEnv env;
    auto key = RegKey::Open("Software\\Hobrin\\Corvane\\1.0", true);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->Set("port", RegValue::Dword(3)));
    for (const char* path : {"\\SOFTWARE\\hobrin\\CORVANE\\1.0", "software\\HOBRIN\\corvane\\1.0",
                             "\\\\Software\\\\Hobrin\\Corvane\\1.0\\"}) {
        auto other = RegKey::Open(path, false);
        ASSERT_TRUE(other) << path;
        for (const char* name : {"port", "Port", "PORT"}) {
            auto v = other->Get(name);
            ASSERT_TRUE(v) << path << " " << name;
            EXPECT_TRUE(Same(*v, RegValue::Dword(3)));
        }
    }
    // Writing under another case changes the value but keeps the name as first written.
    ASSERT_TRUE(RegKey::Open("\\SOFTWARE\\HOBRIN\\CORVANE\\1.0", true)->Set("PORT",
                                                                           RegValue::Dword(9)));
    const std::string text = ReadFile(env.registry());
    EXPECT_NE(text.find("\"port\"=dword:00000009"), std::string::npos) << text;
    EXPECT_EQ(text.find("PORT"), std::string::npos) << text;
    EXPECT_EQ(text.find("SOFTWARE"), std::string::npos) << text;
}

TEST(Registry, OpenWithoutCreateNeedsTheKey) {
    TestEnv env;
    EXPECT_FALSE(RegKey::Open("Software\\Nobody", false));
    EXPECT_FALSE(std::filesystem::exists(env.registry()));   // looking writes nothing
    ASSERT_TRUE(RegKey::Open("Software\\A\\B\\C", true));
    for (const char* path : {"Software", "Software\\A", "software\\a\\b", "Software\\A\\B\\C", ""})
        EXPECT_TRUE(RegKey::Open(path, false)) << path;
    EXPECT_FALSE(RegKey::Open("Software\\A\\B\\C\\D", false));
    EXPECT_FALSE(RegKey::Open("Software\\A\\B\\C", false)->Get("missing"));
}

TEST(Registry, RemoveTakesOneValue) {
    TestEnv env;
    auto key = RegKey::Open("Software\\X", true);
    key->Set("a", RegValue::Dword(1));
    key->Set("b", RegValue::Dword(2));
    EXPECT_TRUE(key->Remove("A"));
    EXPECT_FALSE(key->Remove("a"));
    EXPECT_FALSE(key->Get("a"));
    EXPECT_TRUE(key->Get("b"));
}

TEST(Registry, NamesThatWouldBreakTheFileAreRefused) {
    TestEnv env;
    auto key = RegKey::Open("Software\\X", true);
    EXPECT_FALSE(key->Set("two\nlines", RegValue::Dword(1)));
    EXPECT_FALSE(key->Set(std::string("nul\0", 4), RegValue::Dword(1)));
    EXPECT_FALSE(RegKey::Open("Software\\bad\r\\key", true));
    EXPECT_TRUE(key->Set("odd \"name\" \\ ok", RegValue::Dword(1)));
    EXPECT_TRUE(RegKey::Open("Software\\X", false)->Get("ODD \"NAME\" \\ OK"));
}

TEST(Registry, FileIsPrivate) {
    TestEnv env;
    const std::string dir = env.root() + "/cfg/corvane";
    setenv("CORVANE_REGISTRY", (dir + "/registry.reg").c_str(), 1);
    ASSERT_TRUE(RegKey::Open("Software\\X", true)->Set("v", RegValue::Dword(1)));
    struct stat st;
    ASSERT_EQ(stat((dir + "/registry.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // No temporary file is left beside it.
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "registry.reg" || name == "registry.reg.lock") << name;
    }
}

TEST(Registry, InterruptedSaveLeavesTheOldFileWhole) {
    TestEnv env;
    auto key = RegKey::Open(kKey, true);
    ASSERT_TRUE(key->Set("port", RegValue::Dword(4)));
    ASSERT_TRUE(key->Set("sig", RegValue::String("old signature")));
    const std::string before = ReadFile(env.registry());
    for (long failAfter : {0L, 1L, 20L, 60L}) {
        long written = 0;
        RegistryWriteFn old = SetRegistryWriteFn([&](int fd, const void* buf, unsigned long n) {
            if (written >= failAfter) {
                errno = ENOSPC;
                return -1L;
            }
            unsigned long take = std::min<unsigned long>(n, failAfter - written);
            long r = long(::write(fd, buf, take));
            written += r;
            return r;
        });
        EXPECT_FALSE(key->Set("sig", RegValue::String(std::string(500, 'n')))) << failAfter;
        SetRegistryWriteFn(old);
        EXPECT_EQ(ReadFile(env.registry()), before) << failAfter;
        size_t files = 0;
        for (const auto& e : std::filesystem::directory_iterator(env.root()))
            files += e.path().filename().string().rfind("registry.reg.", 0) == 0 &&
                     e.path().filename() != "registry.reg.lock";
        EXPECT_EQ(files, 0u) << "temporary file left after failing at " << failAfter;
    }
    auto v = key->Get("sig");
    ASSERT_TRUE(v);
    EXPECT_TRUE(Same(*v, RegValue::String("old signature")));
}

// Copies kept aside beside the registry file, by their bytes; they are removed.
std::vector<std::string> TakeKeptCopies(const TestEnv& env) {
    std::vector<std::string> copies;
    for (const auto& e : std::filesystem::directory_iterator(env.root())) {
        if (e.path().filename().string().rfind("registry.reg.bad-", 0) != 0) continue;
        copies.push_back(ReadFile(e.path().string()));
        std::filesystem::remove(e.path());
    }
    return copies;
}

// UTF-16LE with its byte-order mark, as the registry editor saves its exports.
std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
}

// The text with each LF replaced by end.
std::string WithLineEnds(const std::string& text, const std::string& end) {
    std::string out;
    for (char c : text) out += c == '\n' ? end : std::string(1, c);
    return out;
}

TEST(Registry, AFileNotUnderstoodIsKeptBeforeItIsWrittenOver) {
    TestEnv env;
    const std::string body = "[HKEY_CURRENT_USER\\Software\\X]\n\"v\"=dword:00000001\n";
    const std::string tooLarge = "CORVANE REGISTRY 1\n" + body + std::string(17 << 20, ';') + "\n";
    // Read up to 16 MiB, what is read writes back larger still.
    std::string manyKeys = "CORVANE REGISTRY 1\n" + body;
    for (int i = 0; manyKeys.size() < (17u << 20); ++i)
        manyKeys += "[HKEY_CURRENT_USER\\S\\k" + std::to_string(i) + "]\n";
    struct Case { std::string text; bool read; bool kept; };
    const Case cases[] = {
        {"", false, false},
        {"\n \n", false, false},
        {"garbage\x01\x02\xff", false, true},
        {std::string("\0\0\0\0", 4), false, true},
        {body, false, true},                                            // no header
        {std::string(200 << 10, '#') + "\nCORVANE REGISTRY 1\n" + body, false, true},
        {"CORVANE REGISTRY 1\n" + body, true, false},
        {"\xEF\xBB\xBF\r\n  CORVANE REGISTRY 1 \t\r\n" + body, true, false},
        {"REGEDIT4\r\n\r\n" + body, true, false},
        {"Windows Registry Editor Version 5.00 \n" + body, true, false},
        {Utf16("Windows Registry Editor Version 5.00\r\n\r\n" + body), true, true},
        {"REGEDIT4\n" + body + "\"bad\"=dword:xyz\n", true, true},       // a line not read
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Y]\n\"bad\"=dword:xyz\n" + body, true, true},
        {"REGEDIT4\n[-HKEY_CURRENT_USER\\Software\\Y]\n" + body, true, true},
        {tooLarge, true, true},                                          // what fits is read
        {manyKeys, true, true},
        {WithLineEnds("CORVANE REGISTRY 1\n" + body, "\r"), true, false},
        {WithLineEnds("REGEDIT4\n\n" + body, "\r\r\n"), true, false},
        // U+0D41 U+200A: bytes 41 0D 0A 20
        {Utf16("Windows Registry Editor Version 5.00\r\n; ") + "\x41\x0D\x0A\x20" +
             Utf16("\r\n" + body),
         true, true},
    };
    for (const Case& c : cases) {
        const std::string shown = c.text.substr(0, 60);
        WriteFile(env.registry(), c.text);
        auto read = RegKey::Open("Software\\X", false);
        EXPECT_EQ(read.has_value(), c.read) << shown;
        if (read) {
            EXPECT_TRUE(Same(*read->Get("v"), RegValue::Dword(1))) << shown;
        }
        EXPECT_TRUE(TakeKeptCopies(env).empty()) << shown;   // reading keeps nothing
        auto key = RegKey::Open("Software\\X", true);
        ASSERT_TRUE(key) << shown;
        for (uint32_t w : {5, 6}) {   // the second save finds the file whole
            EXPECT_TRUE(key->Set("w", RegValue::Dword(w))) << shown;
            EXPECT_TRUE(Same(*RegKey::Open("Software\\X", false)->Get("w"), RegValue::Dword(w)));
        }
        EXPECT_LE(std::filesystem::file_size(env.registry()), 16u << 20) << shown;
        EXPECT_EQ(ReadFile(env.registry()).rfind("CORVANE REGISTRY 1\n", 0), 0u) << shown;
        const std::vector<std::string> kept = TakeKeptCopies(env);
        ASSERT_EQ(kept.size(), c.kept ? 1u : 0u) << shown;
        if (c.kept) {
            EXPECT_TRUE(kept[0] == c.text) << shown;
        }
    }
}

TEST(Registry, APathThatIsNoFileIsRefusedAtOnce) {
    TestEnv env;
    ASSERT_EQ(mkfifo(env.registry().c_str(), 0600), 0);
    auto opened = std::async(std::launch::async, [] {
        return RegKey::Open("Software\\X", false).has_value() ||
               RegKey::Open("Software\\X", true).has_value();
    });
    if (opened.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        ::close(::open(env.registry().c_str(), O_WRONLY | O_NONBLOCK));   // lets it go on
        FAIL() << "the registry reader waited on a FIFO";
    }
    EXPECT_FALSE(opened.get());
    struct stat st;
    ASSERT_EQ(stat(env.registry().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));   // left as it was
    std::filesystem::remove(env.registry());
    std::filesystem::create_directory(env.registry());
    EXPECT_FALSE(RegKey::Open("Software\\X", false));
    EXPECT_FALSE(RegKey::Open("Software\\X", true));
    EXPECT_TRUE(TakeKeptCopies(env).empty());
}

TEST(RegistryText, BadLinesAreSkippedAndTheRestKept) {
    const std::string text =
        "CORVANE REGISTRY 1\r\n"
        "; a comment\r\n"
        "[HKEY_CURRENT_USER\\Software\\X]\r\n"
        "\"good\"=dword:0000000a\r\n"
        "\"baddword\"=dword:xyz\r\n"
        "\"toolong\"=dword:123456789\r\n"
        "\"badhex\"=hex:1,2\r\n"
        "\"trailing\"=hex:01,\r\n"
        "\"unclosed=\"abc\"\r\n"
        "\"noquote\"=abc\r\n"
        "\"wrapped\"=hex(2):41,\\\r\n"
        "  42,00\r\n"
        "\"tail\"=\"x\" junk\r\n"
        "noname\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\X]\r\n"
        "\"elsewhere\"=dword:00000001\r\n"
        "[HKEY_CURRENT_USER\\Software\\X\r\n"
        "\"orphan\"=dword:00000001\r\n"
        "[hkey_current_user\\software\\x]\r\n"
        "@=\"default\"\r\n"
        "\"GOOD\"=dword:0000000b\r\n";
    RegistryData data = ParseRegistryText(text);
    const RegKeyData* key = data.Find("Software\\X");
    ASSERT_TRUE(key);
    std::vector<std::string> names;
    for (const RegEntry& e : key->values) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"good", "wrapped", ""}));
    EXPECT_TRUE(Same(key->Find("good")->value, RegValue::Dword(11)));   // later line wins
    EXPECT_TRUE(Same(key->Find("wrapped")->value, Raw(REG_EXPAND_SZ, {'A', 'B', 0})));
    EXPECT_TRUE(Same(key->Find("")->value, RegValue::String("default")));
    EXPECT_TRUE(data.Find("Software"));   // a parent the file did not list
}

TEST(RegistryText, DeepKeysCostInProportionToTheText) {
    std::string deep = "[HKEY_CURRENT_USER";
    for (int i = 0; i < 10000; ++i) deep += "\\a";
    const std::string text = "CORVANE REGISTRY 1\n" + deep + "]\n\"v\"=dword:00000001\n"
                             "[HKEY_CURRENT_USER\\Software\\X]\n\"kept\"=dword:00000002\n";
    RegistryData data = ParseRegistryText(text);
    EXPECT_EQ(data.keys.size(), 1u + 10000 + 2);   // the root, each level, Software and X
    std::size_t names = 0;
    for (const RegKeyData& k : data.keys) names += k.name.size();
    EXPECT_LT(names, text.size());                 // each level holds its own name only
    ASSERT_TRUE(data.Find(deep.substr(18)));
    EXPECT_TRUE(data.Find(deep.substr(18))->Find("v"));
    EXPECT_TRUE(data.Find("Software\\X")->Find("kept"));
    // What is read writes out about as large as it was and reads back the same.
    const std::string out = FormatRegistryText(data);
    EXPECT_LT(out.size(), text.size() + 100);
    EXPECT_EQ(FormatRegistryText(ParseRegistryText(out)), out);
}

TEST(RegistryText, OddInputNeverBreaksTheParser) {
    std::string seed = FormatRegistryText([] {
        RegistryData d;
        d.Create("Software\\A").values.push_back({"n", RegValue::String("v\x80")});
        d.Create("Software\\B").values.push_back({"d", RegValue::Dword(7)});
        return d;
    }());
    // Every prefix and a sweep of single-byte damage: must parse and re-format cleanly.
    for (std::size_t cut = 0; cut <= seed.size(); ++cut) {
        RegistryData d = ParseRegistryText(seed.substr(0, cut));
        RegistryData again = ParseRegistryText(FormatRegistryText(d));
        EXPECT_EQ(FormatRegistryText(again), FormatRegistryText(d)) << cut;
    }
    const char noise[] = {'\0', '\n', '\\', '"', '[', ']', '=', ',', '(', ')', '\xff'};
    for (std::size_t at = 0; at < seed.size(); ++at) {
        for (char c : noise) {
            std::string damaged = seed;
            damaged[at] = c;
            RegistryData d = ParseRegistryText(damaged);
            EXPECT_EQ(FormatRegistryText(ParseRegistryText(FormatRegistryText(d))),
                      FormatRegistryText(d));
        }
    }
}
