// The receive event delivered by the Qt event loop, queued output fed from it, and a dead
// line that must not spin.
#include <gtest/gtest.h>

#include <QDialog>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <thread>

#include "platform/qt/commpump.h"
#include "platform/serial.h"
#include "tests/support/pty.h"
#include "tests/support/testenv.h"

using platform::CommControl;
using platform::CommPump;
using testing_support::TestEnv;
using testing_support::TestPty;

namespace {

struct CommPumpTest : ::testing::Test {
    TestEnv env;
    TestPty pty;
    CommControl comm;
    QEventLoop loop;
    std::string received;
    int events = 0;

    void SetUp() override {
        env.MapCom(2, pty.slavePath());
        comm.SetCommPort(2);
        comm.OnComm = [this] {
            ++events;
            received += comm.Input();
            loop.quit();
        };
    }
    // Runs the event loop until OnComm quits it or `ms` pass.
    void RunFor(int ms) {
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
};

} // namespace

TEST_F(CommPumpTest, ReceiveEventComesFromTheEventLoop) {
    CommPump pump(comm);
    EXPECT_FALSE(pump.watching());
    comm.SetPortOpen(true);
    EXPECT_TRUE(pump.watching());
    pty.Write("+CMT: \"SM\",1\r\n");
    EXPECT_EQ(events, 0);   // nothing without the loop
    for (int i = 0; i < 20 && received.size() < 14; ++i) RunFor(2000);
    EXPECT_EQ(received, "+CMT: \"SM\",1\r\n");
    EXPECT_GE(events, 1);
}

TEST_F(CommPumpTest, ReceiveEventReachesAModalLoop) {
    CommPump pump(comm);
    comm.SetPortOpen(true);
    QDialog dialog;
    comm.OnComm = [&] {
        received += comm.Input();
        if (received.size() >= 2) dialog.done(1);
    };
    QTimer::singleShot(0, [&] { pty.Write("OK"); });
    QTimer::singleShot(5000, &dialog, [&] { dialog.done(0); });
    EXPECT_EQ(dialog.exec(), 1);   // the dialog's own loop delivered the event
    EXPECT_EQ(received, "OK");
}

TEST_F(CommPumpTest, QueuedOutputIsFedFromTheEventLoop) {
    CommPump pump(comm);
    comm.SetOutputQueued(true);
    comm.SetPortOpen(true);
    std::string big;
    for (int i = 0; i < 300000; ++i) big += char((i * 7) & 0xff);
    comm.Output(big);   // far more than the pty holds: returns with the rest waiting
    EXPECT_GT(comm.OutBufferCount(), 0);
    std::string got;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        got = pty.Read(big.size(), 3000);
        done = true;
    });
    for (int i = 0; i < 200 && !done; ++i) RunFor(50);
    reader.join();
    EXPECT_TRUE(got == big) << got.size() << " of " << big.size();
    EXPECT_EQ(comm.OutBufferCount(), 0);
}

TEST_F(CommPumpTest, ReopenedPortIsWatchedAgain) {
    CommPump pump(comm);
    comm.SetPortOpen(true);
    comm.SetPortOpen(false);
    EXPECT_FALSE(pump.watching());
    comm.SetPortOpen(true);
    EXPECT_TRUE(pump.watching());
    pty.Write("again");
    for (int i = 0; i < 20 && received.size() < 5; ++i) RunFor(2000);
    EXPECT_EQ(received, "again");
}

TEST_F(CommPumpTest, HandlerClosingThePortLeavesNoNotifierBehind) {
    CommPump pump(comm);
    comm.OnComm = [&] {
        ++events;
        comm.SetPortOpen(false);
        loop.quit();
    };
    comm.SetPortOpen(true);
    pty.Write("x");
    RunFor(2000);
    EXPECT_EQ(events, 1);
    EXPECT_FALSE(pump.watching());
    EXPECT_FALSE(comm.PortOpen());
}

TEST_F(CommPumpTest, HangUpDoesNotSpin) {
    CommPump pump(comm);
    comm.SetPortOpen(true);
    pty.Write("bye");
    for (int i = 0; i < 20 && received.size() < 3; ++i) RunFor(2000);
    ASSERT_EQ(received, "bye");
    const int before = pump.activations();
    pty.HangUp();
    comm.OnComm = [&] { ++events; };
    RunFor(300);
    EXPECT_LE(pump.activations() - before, 3);
    EXPECT_FALSE(pump.watching());
    EXPECT_TRUE(comm.PortOpen());   // the port stays open; reads now raise
    EXPECT_THROW(comm.Input(), platform::SerialError);
}

TEST_F(CommPumpTest, PreviousStateNoticeStillRuns) {
    int notices = 0;
    comm.OnPortStateChanged = [&] { ++notices; };
    {
        CommPump pump(comm);
        comm.SetPortOpen(true);
        EXPECT_EQ(notices, 1);
        EXPECT_TRUE(pump.watching());
    }
    comm.SetPortOpen(false);   // the pump gave the notice back when it went
    EXPECT_EQ(notices, 2);
}
