// The COM map: links in the ports folder, the default order of the machine's devices, and
// which ports count as existing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/comports.h"
#include "tests/support/pty.h"
#include "tests/support/testenv.h"

namespace fs = std::filesystem;
using namespace platform;
using testing_support::TestEnv;
using testing_support::LockHolder;
using testing_support::TestPty;

TEST(ComMapOrder, UsbAndAcmFirstThenBuiltInEachByNumber) {
    struct Case { std::vector<std::string> in, out; };
    const Case cases[] = {
        {{}, {}},
        {{"ttyS1", "ttyS0", "ttyS10", "ttyS2"}, {"ttyS0", "ttyS1", "ttyS2", "ttyS10"}},
        {{"ttyS0", "ttyACM0", "ttyUSB1", "ttyUSB0"}, {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS0"}},
        {{"ttyACM10", "ttyACM9", "ttyUSB12", "ttyUSB3"},
         {"ttyUSB3", "ttyUSB12", "ttyACM9", "ttyACM10"}},
        // Not serial devices, or not numbered: left out.
        {{"tty0", "tty1", "ttyS", "ttySx", "ttyprintk", "ttyUSB", "ttyS1a", "console", "ttyS3"},
         {"ttyS3"}},
    };
    for (const Case& c : cases) EXPECT_EQ(OrderSerialDevices(c.in), c.out);
}

TEST(ComMap, LinksWinAndTheDefaultFillsOtherNumbers) {
    TestEnv env;
    TestPty a, b;
    // The default map's folder: two "devices" (links to ptys) and a name that is no port.
    fs::create_symlink(a.slavePath(), env.devices() + "/ttyS0");
    fs::create_symlink(b.slavePath(), env.devices() + "/ttyUSB4");
    std::ofstream(env.devices() + "/null") << "";
    EXPECT_EQ(ResolveComPort(1), env.devices() + "/ttyUSB4");
    EXPECT_EQ(ResolveComPort(2), env.devices() + "/ttyS0");
    EXPECT_EQ(ResolveComPort(3), "");
    env.MapCom(1, a.slavePath());
    env.MapCom(7, b.slavePath());
    EXPECT_EQ(ResolveComPort(1), env.ports() + "/com1");
    EXPECT_EQ(fs::read_symlink(ResolveComPort(1)).string(), a.slavePath());
    EXPECT_EQ(ResolveComPort(2), env.devices() + "/ttyS0");   // only its own number is hidden
    EXPECT_EQ(ResolveComPort(7), env.ports() + "/com7");
    EXPECT_EQ(ResolveComPort(0), "");
    EXPECT_EQ(ResolveComPort(-1), "");
}

TEST(ComExists, OnlyPortsWithSomethingBehindThem) {
    TestEnv env;
    TestPty pty;
    std::ofstream(env.root() + "/plain-file") << "not a device";
    env.MapCom(1, pty.slavePath());
    env.MapCom(2, env.root() + "/missing");           // dangling link
    env.MapCom(3, env.root() + "/plain-file");        // not a character device
    env.MapCom(4, env.root());                        // a directory
    env.MapCom(5, "/dev/null");                       // a device, but no terminal
    struct Case { int n; bool exists; };
    const Case cases[] = {{1, true}, {2, false}, {3, false}, {4, false}, {5, false},
                          {6, false}, {0, false}, {49, false}, {99, false}};
    for (const Case& c : cases) EXPECT_EQ(ComPortExists(c.n), c.exists) << "COM" << c.n;
}

TEST(ComExists, PortHeldByAnotherProcessExistsAndIsBusy) {
    TestEnv env;
    TestPty pty;
    env.MapCom(4, pty.slavePath());
    EXPECT_FALSE(ComPortBusy(4));
    LockHolder holder(pty.slavePath());
    ASSERT_TRUE(holder.held());
    EXPECT_TRUE(ComPortExists(4));
    EXPECT_TRUE(ComPortBusy(4));
    holder.Release();
    EXPECT_FALSE(ComPortBusy(4));
    EXPECT_TRUE(ComPortExists(4));
}

TEST(ComExists, CheckingDoesNotTakeThePort) {
    TestEnv env;
    TestPty pty;
    env.MapCom(1, pty.slavePath());
    ASSERT_TRUE(ComPortExists(1));
    int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);   // no lock left behind by the check
    close(fd);
}
