#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QSessionManager>
#include <QTimer>
#include <QTreeWidget>
#include <csignal>
#include <optional>
#include <thread>

#include "client/about.h"
#include "client/compose.h"
#include "client/config.h"
#include "client/msgframe.h"
#include "client/passwd.h"
#include "client/pbframe.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "tests/client/mainwin_support.h"

namespace {

using maintest::Contains;
using maintest::MainTest;
using maintest::WaitUntil;

const char* const kNotFound = "The Corvane modem unit was not found.";

bool SettingsStored() { return platform::RegKey::Open(RegistryKey, false).has_value(); }

// ---- Start-up ----------------------------------------------------------------------------

TEST_F(MainTest, StartUpWithTheUnitCollectsWaitingMessagesAndStaysInTheTray) {
    auto unit = Unit(1);
    unit->SetVersion("0417");
    unit->Store("+447700900123", "Hello there");
    SavePort(1);
    TMainForm& w = Make();
    testing_support::BoxScript boxes;   // no box at all

    w.FormCreate();

    EXPECT_TRUE(boxes.shown().empty());
    EXPECT_EQ(CRLF, "\r\n");
    EXPECT_EQ(CR, "\r");
    EXPECT_EQ(CtrlZ, "\x1a");
    EXPECT_EQ(Settings.Port, 1);
    EXPECT_EQ(Settings.ModemVersion, "0417");
    EXPECT_TRUE(w.MSComm1.PortOpen());
    EXPECT_TRUE(Contains(unit->Commands(), "AT+CMGL=\"REC UNREAD\""));
    EXPECT_FALSE(Polling);
    EXPECT_FALSE(ModemBusy);
    ASSERT_EQ(w.MSGFrame11->Count(), 1);
    EXPECT_EQ(w.MSGFrame11->ItemNumber(0), "\"+447700900123\"");
    EXPECT_NE(env.ReadData("inbox.csv").find("Hello%20there"), std::string::npos);
    EXPECT_EQ(w.TrayKind(), 2);
    EXPECT_TRUE(MailWaiting);
    EXPECT_TRUE(w.isHidden());
    EXPECT_EQ(w.windowTitle(), "Corvane - Inbox");
    EXPECT_EQ(CurrentView, 1);
}

TEST_F(MainTest, StartUpLoadsTheDataFilesAndShowsTheDebugFolderOnlyWhenAsked) {
    env.WriteData("phonebook.csv", "\"Alice\",123\r\n\"Bob\",456");
    env.WriteData("inbox.csv", "\"1\",a,\"2024/01/01 10:00:00\",Old");
    env.WriteData("sent.csv", "\"2\",b,\"2024/01/01 10:00:00\",Old\r\n\"3\",c,\"2024/01/01 "
                              "10:00:00\",Old");
    env.WriteData("unsent.csv", "");
    platform::FakeClock clock;
    platform::ScopedClock fast(&clock);   // no unit: the search times out
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug ? "debug" : "no debug");
        auto key = platform::RegKey::Open(RegistryKey, true);
        key->Set("SetVer", platform::RegValue::Dword(1));
        key->Set("VardelDebug", platform::RegValue::Dword(debug ? 1 : 0));
        TMainForm& w = Make();
        testing_support::BoxScript boxes;
        boxes.Expect(kNotFound);
        w.FormCreate();

        QStringList nodes;
        for (int i = 0; i < w.Dirs->topLevelItemCount(); ++i)
            nodes << w.Dirs->topLevelItem(i)->text(0);
        QStringList expected{"Inbox", "Sent", "Drafts", "Phonebook"};
        if (debug) expected << "Debug";
        EXPECT_EQ(nodes, expected);

        EXPECT_EQ(w.PBFrame11->Entries().size(), 2u);
        EXPECT_EQ(w.MSGFrame11->Count(), 1);
        EXPECT_EQ(w.MSGFrameSent->Count(), 2);
        EXPECT_EQ(w.MSGFrameUnsent->Count(), 0);
        EXPECT_EQ(w.MSGFrame11->FileName, "inbox.csv");
        EXPECT_EQ(w.MSGFrameSent->FileName, "sent.csv");
        EXPECT_EQ(w.MSGFrameUnsent->FileName, "unsent.csv");
        EXPECT_EQ(w.MSGFrame11->msglist->headerItem()->text(0), "From");
        EXPECT_EQ(w.MSGFrameSent->msglist->headerItem()->text(0), "To");
        EXPECT_EQ(w.MSGFrameUnsent->msglist->headerItem()->text(0), "To");
        EXPECT_FALSE(w.MSGFrame11->mnuResend->isVisible());
        EXPECT_TRUE(w.MSGFrame11->mnuReply->isVisible());
        EXPECT_FALSE(w.MSGFrameSent->mnuReply->isVisible());
        EXPECT_TRUE(w.MSGFrameSent->mnuResend->isVisible());
        EXPECT_FALSE(w.MSGFrameUnsent->mnuReply->isVisible());
        form.reset();
        maintest::ResetGlobals();
    }
}

TEST_F(MainTest, StartUpWithoutTheUnitSaysSoAndTheTicksStayOffTheLine) {
    auto unit = Unit(1);
    unit->SetSilent(true);
    SavePort(1);
    platform::FakeClock clock;
    platform::ScopedClock fake(&clock);
    TMainForm& w = Make();
    testing_support::BoxScript boxes;
    boxes.Expect(kNotFound);

    w.FormCreate();

    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].caption, "Error");
    EXPECT_FALSE(w.MSComm1.PortOpen());
    EXPECT_TRUE(w.isHidden());
    EXPECT_EQ(Settings.ModemVersion, "0000");

    ModemFound = true;   // even so: the port is closed
    ReceiveBuffer = "\r\n+CMT: \"SM\",1\r\n";
    w.Timer1Timer();
    w.RXPollTimerTimer();
    EXPECT_FALSE(w.MSComm1.PortOpen());
    // The saved port was probed first and again in the scan; then only our marker.
    w.SetPort(1);
    ASSERT_EQ(w.WriteToModem("ATZ\r\n"), 1);
    ASSERT_TRUE(unit->WaitForCommand("ATZ", std::chrono::seconds(5)));
    EXPECT_EQ(unit->Commands(), (std::vector<std::string>{"ATI9", "ATI9", "ATZ"}));
}

TEST_F(MainTest, TheUnitVanishingDuringTheStartUpPollLeavesTheProgramInTheTrayToRecover) {
    auto unit = Unit(1);
    unit->SetHandler([](const std::string& line) -> std::optional<std::string> {
        if (line.rfind("AT+CMGL", 0) == 0) return std::string();   // the list never comes
        return std::nullopt;
    });
    SavePort(1);
    TMainForm& w = Make();
    testing_support::BoxScript boxes;
    boxes.Expect("Input");
    std::thread unplug([&] {
        if (unit->WaitForCommand("AT+CMGL", std::chrono::seconds(10))) unit->Vanish();
    });

    EXPECT_NO_THROW(w.FormCreate());
    unplug.join();

    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].caption, "Error");
    EXPECT_TRUE(w.isHidden());
    EXPECT_TRUE(w.LineIsLost());
    EXPECT_FALSE(ModemBusy);

    // Back: the next tick reopens the line and collects, as at any other time.
    unit->SetHandler(nullptr);
    unit->Store("+4477", "after the start");
    unit->Reappear();
    w.Timer1Timer();
    EXPECT_TRUE(w.MSComm1.PortOpen());
    EXPECT_EQ(w.MSGFrame11->Count(), 1);
}

TEST_F(MainTest, ExitChosenDuringTheStartUpBoxEndsTheProgram) {
    platform::FakeClock clock;
    platform::ScopedClock fast(&clock);
    std::vector<std::string> shown;
    bool othersExisted = true;
    auto previous = platform::SetBoxHandler([&](const platform::BoxRequest& box) {
        shown.push_back(box.text);
        othersExisted = FrmCompose || AboutBox || FrmRecipient || FormOptions ||
                        ComposeCloseDlg || FrmPass;
        // Before the other windows exist their actions open nothing.
        MainForm->Maximise->trigger();
        for (QAction* a : {MainForm->About1, MainForm->NewSMS, MainForm->ActionOptions})
            a->trigger();
        MainForm->Exit1->trigger();
        return int(platform::IDOK);
    });
    bool loopEntered = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        loopEntered = true;
        QCoreApplication::exit(0);
    });
    watchdog.start(10000);

    EXPECT_EQ(RunCorvane(), 0);

    watchdog.stop();
    platform::SetBoxHandler(std::move(previous));
    EXPECT_FALSE(loopEntered);
    EXPECT_EQ(shown, std::vector<std::string>{kNotFound});
    EXPECT_FALSE(othersExisted);   // the main window's start-up runs before the others
    EXPECT_TRUE(ExitRequested);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(MainForm, nullptr);
    EXPECT_EQ(FrmPass, nullptr);
    EXPECT_EQ(AboutBox, nullptr);
    EXPECT_FALSE(SettingsStored());
}

// ---- Window life -------------------------------------------------------------------------

TEST_F(MainTest, ClosingHidesTheWindowUnlessExitWasAsked) {
    const struct {
        bool tray, exit;
        bool hidden, minimised, saved;
    } cases[] = {
        {true, false, true, false, false},
        {false, false, false, true, false},   // no tray: the window must stay reachable
        {true, true, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.tray) + std::to_string(c.exit));
        TMainForm& w = Make();
        w.TrayAvailable = c.tray;
        ExitRequested = c.exit;
        Settings.Init = "ATE0";
        w.show();
        w.close();
        EXPECT_EQ(w.isHidden(), c.hidden);
        EXPECT_EQ(w.isMinimized(), c.minimised);
        EXPECT_EQ(SettingsStored(), c.saved);
        form.reset();
    }
}

TEST_F(MainTest, ExitAndTheEndOfTheSessionLeaveWithoutStoringTheSettings) {
    TMainForm& w = Make();
    Settings.Init = "ATE0";
    w.show();
    w.MyActionExit->trigger();
    EXPECT_TRUE(ExitRequested);
    EXPECT_EQ(quits, 1);
    EXPECT_TRUE(w.isVisible());   // the window is not closed on this road

    ExitRequested = false;
    w.QueryEndSession();
    EXPECT_TRUE(ExitRequested);
    EXPECT_EQ(quits, 2);

    ExitRequested = false;
    InstallSessionEndHandlers();
    std::raise(SIGTERM);
    EXPECT_TRUE(WaitUntil([] { return ExitRequested; }));
    EXPECT_EQ(quits, 3);

    // A save-session request comes without a logout too: it ends nothing. Nothing may touch
    // the manager it carries.
    ExitRequested = false;
    alignas(QSessionManager) unsigned char manager[sizeof(QSessionManager)] = {};
    emit qGuiApp->commitDataRequest(*reinterpret_cast<QSessionManager*>(manager));
    QCoreApplication::processEvents();
    EXPECT_FALSE(ExitRequested);
    EXPECT_EQ(quits, 3);

    // The session manager's end of the session reaches the application as a Quit event.
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(qApp, &quit);
    EXPECT_TRUE(ExitRequested);
    EXPECT_EQ(quits, 4);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(SettingsStored());
}

// ---- Suspend and resume ------------------------------------------------------------------

TEST_F(MainTest, SuspendClosesThePortAtOnceWhenNoExchangeRuns) {
    auto unit = Unit(1);
    TMainForm& w = Make();
    ASSERT_TRUE(w.OpenPort(1));
    ReceiveBuffer = "OK";
    EXPECT_EQ(w.PowerBroadcast(0), 1);
    EXPECT_TRUE(Suspended);
    EXPECT_FALSE(w.MSComm1.PortOpen());
    EXPECT_EQ(ReceiveBuffer, "");
    EXPECT_EQ(w.WriteToModem("AT\r\n"), 2);
    EXPECT_FALSE(w.OpenPort(0));
    EXPECT_FALSE(w.SuspendClosePending());
}

TEST_F(MainTest, SuspendDuringAnExchangeClosesThePortWhenItEnds) {
    auto unit = Unit(1);
    TMainForm& w = Make();
    for (bool* flag : {&Sending, &ModemBusy, &Polling}) {
        Suspended = false;
        ASSERT_TRUE(w.OpenPort(1));
        *flag = true;
        EXPECT_EQ(w.PowerBroadcast(0), 1);   // granted at once
        EXPECT_TRUE(w.MSComm1.PortOpen());
        EXPECT_TRUE(w.SuspendClosePending());
        EXPECT_EQ(w.WriteToModem("AT\r\n"), 2);
        w.CheckPendingClose();
        EXPECT_TRUE(w.MSComm1.PortOpen());
        *flag = false;
        w.CheckPendingClose();
        EXPECT_FALSE(w.MSComm1.PortOpen());
        EXPECT_FALSE(w.SuspendClosePending());
    }

    // An exchange that outlasts 100 waits leaves the port open.
    Suspended = false;
    ASSERT_TRUE(w.OpenPort(1));
    Polling = true;
    w.PowerBroadcast(0);
    for (int i = 0; i < 99; ++i) w.CheckPendingClose();
    EXPECT_TRUE(w.SuspendClosePending());
    w.CheckPendingClose();
    EXPECT_FALSE(w.SuspendClosePending());
    Polling = false;
    w.CheckPendingClose();
    EXPECT_TRUE(w.MSComm1.PortOpen());

    // A resume before the exchange ends leaves the port open.
    Suspended = false;
    ASSERT_TRUE(w.OpenPort(1));
    Sending = true;
    w.PowerBroadcast(0);
    w.PowerBroadcast(2);
    EXPECT_FALSE(Suspended);
    EXPECT_FALSE(w.SuspendClosePending());
    Sending = false;
    w.CheckPendingClose();
    EXPECT_TRUE(w.MSComm1.PortOpen());
}

TEST_F(MainTest, EachResumeNoticeFindsTheUnitOpensThePortAndPolls) {
    auto unit = Unit(1);
    TMainForm& w = Make();
    Settings.Port = 1;
    w.SetPort(1);
    for (int event : {2, 6, 7, 18}) {
        SCOPED_TRACE(event);
        w.PowerBroadcast(0);
        ASSERT_FALSE(w.MSComm1.PortOpen());
        unit->Store("+44", "ping " + std::to_string(event));
        unit->ClearLog();
        EXPECT_EQ(w.PowerBroadcast(event), 1);
        EXPECT_FALSE(Suspended);
        ASSERT_TRUE(WaitUntil([&] { return w.MSComm1.PortOpen(); }));
        EXPECT_TRUE(Contains(unit->Commands(), "ATI9"));
        EXPECT_TRUE(Contains(unit->Commands(), "AT+CMGL"));
    }
    EXPECT_EQ(w.MSGFrame11->Count(), 4);
}

TEST_F(MainTest, ResumeNoticesInARowEachSearchWithOneBoxOpenAtATime) {
    platform::FakeClock clock;
    platform::ScopedClock fast(&clock);
    auto unit = Unit(1);
    unit->SetSilent(true);   // there, but never answering: each search asks it
    TMainForm& w = Make();
    Settings.DebugMode = true;   // the debug pane's trace counts the probes
    int boxes = 0, open = 0, mostOpen = 0;
    bool noticeInBox = false;
    auto previous = platform::SetBoxHandler([&](const platform::BoxRequest& box) {
        ++boxes;
        mostOpen = std::max(mostOpen, ++open);
        EXPECT_EQ(box.text, kNotFound);
        if (noticeInBox) {   // another notice while the box is open
            noticeInBox = false;
            w.PowerBroadcast(7);
            for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        }
        --open;
        return int(platform::IDOK);
    });
    auto probes = [&] { return int(w.DBGFrame11->RichEdit1->toPlainText().count("ATI9")); };
    w.PowerBroadcast(7);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    ASSERT_EQ(boxes, 1);
    const int perSearch = probes();
    ASSERT_GT(perSearch, 0);

    w.PowerBroadcast(18);
    w.PowerBroadcast(7);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(probes(), 3 * perSearch);
    EXPECT_EQ(boxes, 3);

    noticeInBox = true;
    w.PowerBroadcast(7);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(probes(), 5 * perSearch);
    EXPECT_EQ(boxes, 4);
    EXPECT_EQ(mostOpen, 1);
    platform::SetBoxHandler(std::move(previous));
}

TEST_F(MainTest, OtherPowerEventsChangeNothing) {
    auto unit = Unit(1);
    TMainForm& w = Make();
    ASSERT_TRUE(w.OpenPort(1));
    for (int event : {1, 3, 4, 5, 8, 10, 32787}) {
        EXPECT_EQ(w.PowerBroadcast(event), 1);
        EXPECT_FALSE(Suspended);
        EXPECT_TRUE(w.MSComm1.PortOpen());
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(unit->Commands().empty());
}

TEST_F(MainTest, WithoutASystemBusThePowerNoticesAreLeftOutQuietly) {
    // Nothing else in this program asks for the system bus, so the address holds.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + env.root() + "/no-bus").c_str(), 1);
    TMainForm& w = Make();
    testing_support::BoxScript boxes;
    EXPECT_FALSE(w.WatchPowerEvents());
    EXPECT_TRUE(boxes.shown().empty());
}

} // namespace
