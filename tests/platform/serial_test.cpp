// The serial control over a pseudo-terminal: byte transparency, the receive buffer, the
// exclusive open, line settings, and a line whose far end hangs up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "platform/serial.h"
#include "tests/support/pty.h"
#include "tests/support/testenv.h"

using platform::CommControl;
using platform::SerialError;
using testing_support::TestEnv;
using testing_support::LockHolder;
using testing_support::TestPty;

namespace {

std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i) s += char(i);
    return s;
}

// Waits (up to 2 s) until the port's descriptor has something to read.
bool WaitReadable(const CommControl& c) {
    pollfd p{c.fd(), POLLIN, 0};
    return poll(&p, 1, 2000) == 1;
}

// Reads the control's input until `count` bytes came or the line stays quiet for 2 s.
std::string InputAtLeast(CommControl& c, std::size_t count) {
    std::string got = c.Input();
    while (got.size() < count && WaitReadable(c)) got += c.Input();
    return got;
}

struct SerialTest : ::testing::Test {
    TestEnv env;
    TestPty pty;
    CommControl comm;
    void SetUp() override {
        env.MapCom(3, pty.slavePath());
        comm.SetCommPort(3);
    }
};

} // namespace

TEST_F(SerialTest, EveryByteValuePassesBothWays) {
    comm.SetPortOpen(true);
    const std::string bytes = AllBytes() + "\r\n\r\x1a\x03\x11\x13\x7f\xff\x00" + AllBytes();
    comm.Output(bytes);
    EXPECT_EQ(pty.Read(bytes.size()), bytes);
    pty.Write(bytes);
    EXPECT_EQ(InputAtLeast(comm, bytes.size()), bytes);
    comm.Output(std::vector<uint8_t>{0x00, 0x0d, 0x0a, 0xff});
    EXPECT_EQ(pty.Read(4), std::string("\x00\x0d\x0a\xff", 4));
}

TEST_F(SerialTest, InputHandsOutEachByteOnce) {
    comm.SetPortOpen(true);
    EXPECT_EQ(comm.Input(), "");
    pty.Write("OK\r\n");
    EXPECT_EQ(InputAtLeast(comm, 4), "OK\r\n");
    EXPECT_EQ(comm.Input(), "");
    pty.Write("+CMT: \"SM\",3\r\n");
    EXPECT_EQ(InputAtLeast(comm, 14), "+CMT: \"SM\",3\r\n");
}

TEST_F(SerialTest, BytesBeforeTheOpenAreNotDelivered) {
    pty.Write("stale");
    comm.SetPortOpen(true);
    pty.Write("fresh");
    EXPECT_EQ(InputAtLeast(comm, 5), "fresh");
}

TEST_F(SerialTest, LargeOutputGoesOutWhole) {
    comm.SetPortOpen(true);
    std::string big;
    for (int i = 0; i < 300000; ++i) big += char((i * 7) & 0xff);
    std::string got;
    std::thread reader([&] { got = pty.Read(big.size(), 3000); });
    comm.Output(big);   // far more than the pty holds: partial writes and waits
    reader.join();
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
}

TEST_F(SerialTest, ClosedPortRefusesIo) {
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_THROW(comm.Input(), SerialError);
    EXPECT_THROW(comm.Output(std::string("AT\r\n")), SerialError);
    EXPECT_THROW(comm.OutBufferCount(), SerialError);
    EXPECT_THROW(comm.CTSHolding(), SerialError);
    comm.SetPortOpen(true);
    comm.SetPortOpen(false);
    EXPECT_THROW(comm.Input(), SerialError);
    comm.SetPortOpen(false);   // closing a closed port is no error
}

TEST_F(SerialTest, PortNumberAndSettingsChangeOnlyWhileClosed) {
    EXPECT_THROW(comm.SetCommPort(256), SerialError);
    EXPECT_THROW(comm.SetCommPort(-2), SerialError);
    EXPECT_EQ(comm.CommPort(), 3);
    termios given{};
    comm.OnLineSet = [&](const termios& tio) { given = tio; };
    comm.SetPortOpen(true);
    EXPECT_THROW(comm.SetCommPort(4), SerialError);
    EXPECT_THROW(comm.SetSettings("19200,n,8,1"), SerialError);
    EXPECT_THROW(comm.SetPortOpen(true), SerialError);
    EXPECT_EQ(comm.CommPort(), 3);
    EXPECT_EQ(comm.Settings(), "2400,n,8,1");
    EXPECT_TRUE(comm.PortOpen());
    // The line is 2400 baud, 8N1: the far end sees the speed and stop bits (a pty holds no
    // other), the data bits and parity are those the open handed the line.
    termios line{};
    ASSERT_EQ(tcgetattr(pty.master(), &line), 0);
    EXPECT_EQ(cfgetispeed(&line), speed_t(B2400));
    EXPECT_EQ(cfgetospeed(&line), speed_t(B2400));
    EXPECT_EQ(line.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(given.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
}

TEST(SerialSettings, ParsesTheFormsItCanUse) {
    struct Case { const char* text; bool ok; };
    const Case cases[] = {
        {"2400,n,8,1", true},   {"19200,n,8,1", true}, {"9600,E,7,2", true},
        {"115200,o,8,1", true}, {" 4800 , n , 8 , 1 ", true}, {"1200,m,7,1.5", true},
        {"", false},            {"2400", false},       {"2400,n,8", false},
        {"2400,n,8,1,1", false}, {"2401,n,8,1", false}, {"2400,x,8,1", false},
        {"2400,n,9,1", false},  {"2400,n,8,3", false}, {"abc,n,8,1", false},
        {"2400,,8,1", false},
    };
    for (const Case& c : cases) {
        CommControl comm;
        if (c.ok) {
            EXPECT_NO_THROW(comm.SetSettings(c.text)) << c.text;
            EXPECT_EQ(comm.Settings(), c.text);
        } else {
            EXPECT_THROW(comm.SetSettings(c.text), SerialError) << c.text;
            EXPECT_EQ(comm.Settings(), "2400,n,8,1") << c.text;
        }
    }
}

TEST_F(SerialTest, LineStatusOnAPty) {
    comm.SetSettings("19200,n,8,1");
    comm.SetPortOpen(true);
    EXPECT_TRUE(comm.CTSHolding());   // no modem lines: never held back
    comm.Output(std::string(100, 'x'));
    EXPECT_EQ(pty.Read(100).size(), 100u);
    EXPECT_EQ(comm.OutBufferCount(), 0);
}

TEST_F(SerialTest, OpenFailuresRaiseWithTheReason) {
    TestEnv& e = env;
    e.MapCom(5, e.root() + "/nothing-here");
    comm.SetCommPort(5);
    try {
        comm.SetPortOpen(true);
        FAIL() << "opened a missing device";
    } catch (const SerialError& err) {
        EXPECT_NE(std::string(err.what()).find("No such file"), std::string::npos) << err.what();
    }
    EXPECT_FALSE(comm.PortOpen());
    comm.SetCommPort(17);   // no link and no default device
    EXPECT_THROW(comm.SetPortOpen(true), SerialError);
    EXPECT_EQ(comm.fd(), -1);
}

TEST_F(SerialTest, PortHeldByAnotherProcessWillNotOpen) {
    LockHolder holder(pty.slavePath());
    ASSERT_TRUE(holder.held());
    try {
        comm.SetPortOpen(true);
        FAIL() << "opened a port that another process holds";
    } catch (const SerialError& err) {
        EXPECT_NE(std::string(err.what()).find("in use"), std::string::npos) << err.what();
    }
    EXPECT_FALSE(comm.PortOpen());
}

TEST_F(SerialTest, SecondControlCannotTakeAnOpenPort) {
    comm.SetPortOpen(true);
    CommControl other;
    other.SetCommPort(3);
    EXPECT_THROW(other.SetPortOpen(true), SerialError);
    comm.SetPortOpen(false);
    EXPECT_NO_THROW(other.SetPortOpen(true));   // the lock went with the close
}

TEST_F(SerialTest, HangUpGivesWhatRemainsThenFails) {
    comm.SetPortOpen(true);
    pty.Write("last words");
    ASSERT_TRUE(WaitReadable(comm));
    EXPECT_TRUE(comm.DispatchReadable());   // taken off the line; no handler reads it yet
    pty.HangUp();                           // (the kernel drops what was still on the line)
    EXPECT_EQ(comm.Input(), "last words");
    EXPECT_THROW(comm.Input(), SerialError);
    EXPECT_THROW(comm.Output(std::string("AT\r\n")), SerialError);
    EXPECT_FALSE(comm.DispatchReadable());
    comm.SetPortOpen(false);   // closing a dead line works
    EXPECT_FALSE(comm.PortOpen());
}

TEST_F(SerialTest, StateNoticesAndDispatch) {
    int notices = 0, events = 0, kind = -1;
    std::string seen;
    comm.OnPortStateChanged = [&] { ++notices; };
    comm.OnComm = [&] {
        ++events;
        kind = comm.CommEvent();
        seen += comm.Input();
    };
    EXPECT_FALSE(comm.DispatchReadable());   // closed
    comm.SetPortOpen(true);
    EXPECT_EQ(notices, 1);
    EXPECT_GE(comm.fd(), 0);
    EXPECT_TRUE(comm.DispatchReadable());    // nothing waiting: no event
    EXPECT_EQ(events, 0);
    pty.Write("RING\r\n");
    ASSERT_TRUE(WaitReadable(comm));
    EXPECT_TRUE(comm.DispatchReadable());
    EXPECT_EQ(events, 1);
    EXPECT_EQ(kind, platform::comEvReceive);
    EXPECT_EQ(seen, "RING\r\n");
    comm.SetPortOpen(false);
    EXPECT_EQ(notices, 2);
    EXPECT_EQ(comm.fd(), -1);
}

TEST_F(SerialTest, HandlerThatClosesThePortEndsTheDispatch) {
    comm.OnComm = [&] { comm.SetPortOpen(false); };
    comm.SetPortOpen(true);
    pty.Write("x");
    ASSERT_TRUE(WaitReadable(comm));
    EXPECT_FALSE(comm.DispatchReadable());
    EXPECT_FALSE(comm.PortOpen());
}
