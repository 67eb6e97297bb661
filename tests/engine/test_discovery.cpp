// Finding the unit: the identity probe and the port scan, over a fake window and over a
// real serial control with the simulated unit.
#include <gtest/gtest.h>

#include <memory>

#include "engine/settings.h"
#include "platform/registry.h"
#include "tests/engine/fake_mainwindow.h"
#include "tests/engine/port_window.h"
#include "tests/sim/modemsim.h"
#include "tests/support/testenv.h"

namespace enginetest {
namespace {

const std::string kUnitReply = "\r\n6B711234\r\n\r\nOK\r\n";

class DiscoveryTest : public EngineTest {
protected:
    DiscoveryTest() {
        MapNoPorts(env.ports());
        Settings.ModemVersion = "0000";
        win.open = false;
    }
    // COM<n> exists (a pty that nobody answers on).
    void Exists(std::initializer_list<int> ports) {
        for (int n : ports) {
            devices.push_back(std::make_unique<sim::ModemSim>());
            devices.back()->LinkAsCom(env.ports(), n);
        }
    }
    void UnitOn(int n, const std::string& reply = kUnitReply) {
        win.units[n] = Answering({{"ATI9", reply}});
    }
    std::vector<int> ProbedPorts() const {
        std::vector<int> ports;
        for (std::size_t i = 0; i < win.writes.size(); ++i)
            if (win.writes[i] == "ATI9\r\n") ports.push_back(win.writePorts[i]);
        return ports;
    }
    std::optional<int32_t> SavedPort() const {
        auto key = platform::RegKey::Open(RegistryKey, false);
        if (!key) return std::nullopt;
        auto v = key->Get("port");
        return v ? std::optional<int32_t>(v->data[0]) : std::nullopt;
    }

    testing_support::TestEnv env;
    std::vector<std::unique_ptr<sim::ModemSim>> devices;
};

TEST_F(DiscoveryTest, PortExistsFollowsTheDevices) {
    Exists({2});
    EXPECT_TRUE(PortExists(2));
    EXPECT_FALSE(PortExists(1));
    EXPECT_FALSE(PortExists(50));
}

struct ScanCase {
    const char* name;
    int saved;
    std::vector<int> existing;
    int unit;                      // 0: nowhere
    bool found;
    std::vector<int> probed;       // ports that got ATI9, in order
    int port;                      // Settings.Port after
    std::optional<int32_t> stored; // "port" in the registry after
};

TEST_F(DiscoveryTest, FindModemScan) {
    const std::vector<ScanCase> cases = {
        {"silent COM1 before the unit on COM3", 5, {1, 3, 4}, 3, true, {5, 1, 3}, 3, 3},
        {"saved port answers, nothing saved", 3, {1, 3}, 3, true, {3}, 3, std::nullopt},
        {"saved port silent is probed twice, the unit on the last port", 2, {2, 49}, 49, true,
         {2, 2, 49}, 49, 49},
        {"saved port 0 uses the control's port", 0, {}, 1, true, {1}, 0, std::nullopt},
        {"no unit anywhere, COM50 not scanned", 1, {1, 2, 50}, 0, false, {1, 1, 2}, 1,
         std::nullopt},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::TestEnv local;   // fresh registry and ports per case
        MapNoPorts(local.ports());
        devices.clear();
        for (int n : c.existing) {
            devices.push_back(std::make_unique<sim::ModemSim>());
            devices.back()->LinkAsCom(local.ports(), n);
        }
        ResetEngine();
        Settings.ModemVersion = "0000";
        win = FakeMainWindow{};
        win.open = false;
        Settings.Port = c.saved;
        if (c.unit) UnitOn(c.unit);

        EXPECT_EQ(FindModem(), c.found);
        EXPECT_EQ(ModemFound, c.found);
        EXPECT_EQ(ProbedPorts(), c.probed);
        EXPECT_EQ(Settings.Port, c.port);
        EXPECT_EQ(SavedPort(), c.stored);
        EXPECT_EQ(Settings.ModemVersion, c.found ? "1234" : "0000");
        EXPECT_FALSE(win.open);
        EXPECT_EQ(win.commPort, c.saved ? c.port : 1);
    }
}

struct ProbeCase {
    const char* name;
    std::string reply;
    bool found;
    std::string version;
    int64_t ms;   // its length: 30 ms a pass, 500 ms waits for the token, line end and OK
};

TEST_F(DiscoveryTest, ProbeReplies) {
    const std::vector<ProbeCase> cases = {
        {"plain", kUnitReply, true, "1234", 90},
        {"echo and text around", "ATI9\r\r\nxx6B71 V2.0 b\r\nOK\r\n", true, " V2.0 b", 90},
        {"in pieces", "\r\n6|B7|1ab|cd\r|\nOK", true, "abcd", 180},
        {"ERROR and token: the token wins", "\r\nERROR\r\n6B71x\r\n", true, "x", 60 + 540},
        {"ERROR", "\r\nERROR\r\n", false, "0000", 30},
        {"token without line end", "\r\n6B719999", false, "0000", 30 + 540},
        {"garbage", "\x01\xff+++ATH\r\n", false, "0000", 540},
        {"silent", "", false, "0000", 540},
    };
    for (const ProbeCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetEngine();
        Settings.ModemVersion = "0000";
        Settings.Port = 7;
        win = FakeMainWindow{};
        UnitOn(4, c.reply);
        const int64_t start = clock.NowMs();
        EXPECT_EQ(ProbePort(4), c.found);
        EXPECT_EQ(ModemFound, c.found);
        EXPECT_EQ(Settings.ModemVersion, c.version);
        EXPECT_EQ(clock.NowMs() - start, c.ms);
        EXPECT_EQ(win.calls.back(), "Close");
        EXPECT_EQ(win.commPort, 7);
    }
}

TEST_F(DiscoveryTest, ProbeEdges) {
    // A port that does not open: the read raises and the probe says no.
    win.unopenable = {6};
    EXPECT_FALSE(ProbePort(6));

    // The init string goes out once; its answer is not needed, but awaited 15 s.
    Settings.Init = "ATE0";
    UnitOn(2, "\r\n6B711234\r\n");
    const int64_t start = clock.NowMs();
    EXPECT_TRUE(ProbePort(2));
    EXPECT_EQ(clock.NowMs() - start, 60 + 540 + 15030);
    EXPECT_EQ(win.writes, std::vector<std::string>({"ATI9\r\n", "ATE0\r\n"}));

    // A later failed probe keeps what the earlier one found.
    EXPECT_FALSE(ProbePort(6));
    EXPECT_TRUE(ModemFound);
    EXPECT_EQ(Settings.ModemVersion, "1234");
}

class SimDiscoveryTest : public ::testing::Test {
protected:
    SimDiscoveryTest() {
        ResetEngine();
        MapNoPorts(env.ports());
        unit.SetVersion("2.07");
        unit.LinkAsCom(env.ports(), 3);
        unit.Start();
        SetMainWindow(&win);
    }
    ~SimDiscoveryTest() override { SetMainWindow(nullptr); }

    testing_support::TestEnv env;
    sim::ModemSim unit;
    PortWindow win;
};

TEST_F(SimDiscoveryTest, ScanFindsTheUnitAndSaves) {
    Settings.Port = 5;   // saved port is gone
    ASSERT_TRUE(FindModem());
    EXPECT_EQ(Settings.Port, 3);
    EXPECT_EQ(Settings.ModemVersion, "2.07");
    EXPECT_EQ(unit.Commands(), std::vector<std::string>({"ATI9"}));
    EXPECT_EQ(unit.Received(), "ATI9\r\n");
    EXPECT_FALSE(win.MSComm1.PortOpen());
    EXPECT_EQ(win.MSComm1.CommPort(), 3);
    Settings = SettingsRecord{};
    LoadSettings();
    EXPECT_EQ(Settings.Port, 3);
}

TEST_F(SimDiscoveryTest, SavedPortAnswersWithoutSaving) {
    Settings.Port = 3;
    Settings.Init = "ATE0";
    unit.SetExpectedInit("ATE0");
    ASSERT_TRUE(FindModem());
    // The init string's wait may take the identity reply's own "OK": wait for the unit.
    ASSERT_TRUE(unit.WaitForCommand("ATE0", std::chrono::seconds(5)));
    EXPECT_EQ(unit.Commands(), std::vector<std::string>({"ATI9", "ATE0"}));
    EXPECT_FALSE(platform::RegKey::Open(RegistryKey, false));
    EXPECT_FALSE(win.MSComm1.PortOpen());
    EXPECT_EQ(win.MSComm1.CommPort(), 3);
}

} // namespace
} // namespace enginetest
