// The settings store and the data directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/datadir.h"
#include "platform/registry.h"
#include "platform/settingsstore.h"
#include "tests/support/testenv.h"

using namespace platform;
using testing_support::TestEnv;

TEST(SettingsStore, SavedTextComesBackAndMissingGivesTheFallback) {
    TestEnv env;
    EXPECT_EQ(GetSetting("VardelUPG", "Port", "COMport", "-1"), "-1");
    ASSERT_TRUE(SaveSetting("VardelUPG", "Port", "COMport", "12"));
    EXPECT_EQ(GetSetting("VardelUPG", "Port", "COMport", "-1"), "12");
    EXPECT_EQ(GetSetting("vardelupg", "PORT", "comport", "-1"), "12");
    EXPECT_EQ(GetSetting("VardelUPG", "Port", "Other", "x"), "x");
    EXPECT_EQ(GetSetting("Other", "Port", "COMport", "-1"), "-1");
    ASSERT_TRUE(SaveSetting("VardelUPG", "Port", "COMport", ""));
    EXPECT_EQ(GetSetting("VardelUPG", "Port", "COMport", "-1"), "");
}

TEST(SettingsStore, OneStringValueUnderTheProgramSettingsKey) {
    TestEnv env;
    ASSERT_TRUE(SaveSetting("App", "Sec", "Key", "v\xe9"));
    auto key = RegKey::Open("Software\\Program Settings\\App\\Sec", false);
    ASSERT_TRUE(key);
    auto v = key->Get("Key");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, uint32_t(REG_SZ));
    EXPECT_EQ(v->data, (std::vector<uint8_t>{'v', 0xe9, 0}));
    // A value of another type is not a setting.
    key->Set("Key", RegValue::Dword(5));
    EXPECT_EQ(GetSetting("App", "Sec", "Key", "fb"), "fb");
}

TEST(DataDir, CreatedPrivateWhereTheEnvironmentSays) {
    TestEnv env;
    const std::string dir = env.root() + "/new/deeper/data";
    setenv("CORVANE_DATA", (dir + "/").c_str(), 1);
    EXPECT_EQ(DataDir(), dir);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    unsetenv("CORVANE_DATA");
    const char* oldXdg = getenv("XDG_DATA_HOME");
    std::string saved = oldXdg ? oldXdg : "";
    setenv("XDG_DATA_HOME", (env.root() + "/xdg").c_str(), 1);
    EXPECT_EQ(DataDir(), env.root() + "/xdg/corvane");
    EXPECT_TRUE(std::filesystem::is_directory(env.root() + "/xdg/corvane"));
    if (oldXdg) setenv("XDG_DATA_HOME", saved.c_str(), 1); else unsetenv("XDG_DATA_HOME");
}

TEST(DataDir, DataPathKeepsOnlyTheFileName) {
    TestEnv env;
    struct Case { const char* name; std::string expected; };
    const Case cases[] = {
        {"inbox.csv", env.data() + "/inbox.csv"},
        {"/etc/passwd", env.data() + "/passwd"},
        {"../../x.csv", env.data() + "/x.csv"},
        {"C:\\Program Files\\Corvane\\sent.csv", env.data() + "/sent.csv"},
        {"..", env.data() + "/"},
        {".", env.data() + "/"},
    };
    for (const Case& c : cases) EXPECT_EQ(DataPath(c.name), c.expected) << c.name;
}

