// Settings over the private registry file.
#include <gtest/gtest.h>

#include "engine/settings.h"
#include "platform/registry.h"
#include "tests/engine/fake_mainwindow.h"
#include "tests/support/testenv.h"

namespace enginetest {
namespace {

using platform::RegKey;
using platform::RegValue;

class SettingsTest : public EngineTest {
protected:
    RegKey Key() { return *RegKey::Open(RegistryKey, true); }
    void Put(const std::string& name, const RegValue& v) { ASSERT_TRUE(Key().Set(name, v)); }

    SettingsTest() { win.open = false; }

    testing_support::TestEnv env;
};

TEST_F(SettingsTest, NoKeyChangesNothing) {
    LoadSettings();
    EXPECT_EQ(Settings.Port, 0);
    EXPECT_FALSE(Settings.ClearCompose);
    EXPECT_EQ(Settings.Signature, "");
    EXPECT_TRUE(win.calls.empty());
}

TEST_F(SettingsTest, UnsavedKeyGivesDefaults) {
    for (const RegValue& setVer : {RegValue::Dword(0), RegValue::String("1")}) {
        ResetEngine();
        win.calls.clear();
        Put("SetVer", setVer);
        Put("UsePass", RegValue::Dword(1));
        Put("Password", RegValue::String("pw"));
        Put("init", RegValue::String("ATZ"));
        Settings.Init = "old";
        Settings.DebugMode = true;
        LoadSettings();
        EXPECT_EQ(Settings.Port, 1);
        EXPECT_TRUE(Settings.ClearCompose);
        EXPECT_FALSE(Settings.PduMode);
        EXPECT_FALSE(Settings.DebugMode);
        EXPECT_EQ(Settings.Init, "");
        EXPECT_EQ(Settings.Signature, "- Sent using Corvane");
        EXPECT_FALSE(Settings.UsePass);
        EXPECT_EQ(Settings.Password, "");
        EXPECT_EQ(win.calls, std::vector<std::string>({"SetPort 1"}));
    }
}

// One value stored with an odd type or name on top of a saved key.
struct ReadCase {
    const char* name;
    std::string value;
    RegValue stored;
    int port;
    std::string sig, init;
    bool pdu, clear;
    std::vector<std::string> calls;
};

TEST_F(SettingsTest, ReadRules) {
    const std::string sig = "- Sent using Corvane";
    const std::vector<std::string> port1 = {"CommPort 1", "SetPort 1"};
    const std::vector<ReadCase> cases = {
        {"port as string", "port", RegValue::String("5"), 1, "", "", false, false, port1},
        {"port 0 keeps the control on 1", "port", RegValue::Dword(0), 0, "", "", false, false,
         {"CommPort 1", "SetPort 0"}},
        {"port 12", "port", RegValue::Dword(12), 12, "", "", false, false,
         {"CommPort 1", "SetPort 12"}},
        {"sig as integer", "sig", RegValue::Dword(3), 1, sig, "", false, false, port1},
        {"sig missing", "other", RegValue::Dword(3), 1, "", "", false, false, port1},
        {"init unexpanded", "init", RegValue::String("AT%X%", platform::REG_EXPAND_SZ), 1, "",
         "AT%X%", false, false, port1},
        {"init binary", "init", RegValue{platform::REG_BINARY, {'A', 'T'}}, 1, "", "", false,
         false, port1},
        {"PDU as string", "PDU", RegValue::String("1"), 1, "", "", false, false, port1},
        {"PDU 2 is true", "PDU", RegValue::Dword(2), 1, "", "", true, false, port1},
        {"short dword", "PDU", RegValue{platform::REG_DWORD, {1, 0}}, 1, "", "", false, false,
         port1},
        {"names in another case", "CLEARCOMPOSE", RegValue::Dword(1), 1, "", "", false, true,
         port1},
        {"PORT in capitals", "PORT", RegValue::Dword(4), 4, "", "", false, false,
         {"CommPort 1", "SetPort 4"}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetEngine();
        win.calls.clear();
        platform::RegKey key = Key();
        for (const char* v : {"port", "sig", "init", "PDU", "ClearCompose", "other"})
            key.Remove(v);
        Put("setver", RegValue::Dword(7));
        Put(c.value, c.stored);
        LoadSettings();
        EXPECT_EQ(Settings.Port, c.port);
        EXPECT_EQ(Settings.Signature, c.sig);
        EXPECT_EQ(Settings.Init, c.init);
        EXPECT_EQ(Settings.PduMode, c.pdu);
        EXPECT_EQ(Settings.ClearCompose, c.clear);
        EXPECT_EQ(win.calls, c.calls);
    }
}

TEST_F(SettingsTest, SaveAndLoadRoundTrip) {
    Put("VardelDebug", RegValue::Dword(1));
    // Each save over the one before; each truth value is on in one of them alone, so none
    // can be written or read in another's place.
    const SettingsRecord records[] = {
        {"AT+CSCS=\"GSM\"", "sig\xE9", "1.23", "pass word", true, false, false, false, 7},
        {"ATE0", "", "", "", false, true, true, false, 12},
        {"ATZ", "- me", "", "x", false, false, false, true, 0},
    };
    for (const SettingsRecord& record : records) {
        SCOPED_TRACE(record.Init);
        Settings = record;
        SaveSettings();

        const RegKey key = Key();
        EXPECT_EQ(key.Get("SetVer")->data, RegValue::Dword(1).data);
        std::vector<uint8_t> plain(record.Password.begin(), record.Password.end());
        plain.push_back(0);
        EXPECT_EQ(key.Get("Password")->type, uint32_t(platform::REG_SZ));
        EXPECT_EQ(key.Get("Password")->data, plain);
        EXPECT_FALSE(key.Get("ModemVersion"));
        ASSERT_TRUE(key.Get("VardelDebug"));   // read only: saves leave it alone

        Settings = SettingsRecord{};
        LoadSettings();
        EXPECT_EQ(Settings.Init, record.Init);
        EXPECT_EQ(Settings.Signature, record.Signature);
        EXPECT_EQ(Settings.Password, record.Password);
        EXPECT_EQ(Settings.PduMode, record.PduMode);
        EXPECT_EQ(Settings.ClearCompose, record.ClearCompose);
        EXPECT_EQ(Settings.UsePass, record.UsePass);
        EXPECT_EQ(Settings.Port, record.Port);
        EXPECT_TRUE(Settings.DebugMode);         // from "VardelDebug"
        EXPECT_EQ(Settings.ModemVersion, "");    // never stored
    }

    // The file keeps values in the order first written, here the first save's own.
    const platform::RegistryData file = platform::LoadRegistry();
    const platform::RegKeyData* stored = file.Find(RegistryKey);
    ASSERT_TRUE(stored);
    std::vector<std::string> names;
    for (const platform::RegEntry& e : stored->values) names.push_back(e.name);
    EXPECT_EQ(names, std::vector<std::string>({"VardelDebug", "SetVer", "init", "ClearCompose",
                                               "PDU", "port", "sig", "UsePass", "Password"}));
}

} // namespace
} // namespace enginetest
