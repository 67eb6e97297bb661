#include <QCheckBox>
#include <QDialog>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <thread>

#include "client/datafile.h"
#include "client/msgframe.h"
#include "client/pbframe.h"
#include "platform/clock.h"
#include "tests/client/mainwin_support.h"

namespace {

using maintest::Contains;
using maintest::MainTest;
using maintest::WaitUntil;

// ---- Serial port -------------------------------------------------------------------------

TEST_F(MainTest, AWriteWhileSuspendedIsRefusedAndLeavesNoTrace) {
    auto unit = Unit(1);
    TMainForm& w = Make();
    Settings.DebugMode = true;
    w.SetPort(1);
    Suspended = true;
    EXPECT_EQ(w.WriteToModem("AT\r\n"), 2);
    EXPECT_FALSE(w.MSComm1.PortOpen());
    EXPECT_FALSE(w.OpenPort(1));
    EXPECT_TRUE(w.DBGFrame11->RichEdit1->document()->isEmpty());
    EXPECT_EQ(unit->Received(), "");
}

TEST_F(MainTest, AWriteOnAClosedPortOpensItOnTheCurrentNumber) {
    auto unit = Unit(2);
    TMainForm& w = Make();
    Settings.DebugMode = true;
    w.SetPort(2);
    EXPECT_EQ(w.WriteToModem("AT\r\n"), 1);
    EXPECT_TRUE(w.MSComm1.PortOpen());
    EXPECT_EQ(w.MSComm1.CommPort(), 2);
    EXPECT_EQ(w.DBGFrame11->RichEdit1->toPlainText(), "AT\n");
    EXPECT_TRUE(unit->WaitForCommand("AT", std::chrono::seconds(5)));
}

TEST_F(MainTest, AWriteToAPortThatWillNotOpenIsRefusedWithoutTrace) {
    TMainForm& w = Make();
    Settings.DebugMode = true;
    env.MapCom(3, env.root() + "/no-such-device");
    w.SetPort(3);
    EXPECT_EQ(w.WriteToModem("AT\r\n"), 2);
    EXPECT_FALSE(w.MSComm1.PortOpen());
    EXPECT_TRUE(w.DBGFrame11->RichEdit1->document()->isEmpty());
}

TEST_F(MainTest, TheTraceComesBeforeTheWriteAndAFailedWriteReachesTheCaller) {
    auto unit = Unit(1);
    TMainForm& w = Make();
    Settings.DebugMode = true;
    ASSERT_TRUE(w.OpenPort(1));
    unit->Vanish();   // the line hangs up under the open port
    EXPECT_THROW(w.WriteToModem("ATI9\r\n"), platform::SerialError);
    EXPECT_EQ(w.DBGFrame11->RichEdit1->toPlainText(), "ATI9\n");
}

TEST_F(MainTest, OpenPortKeepsTheNumberOfAnOpenPortAndRefusesQuietly) {
    auto one = Unit(1);
    auto two = Unit(2);
    TMainForm& w = Make();   // any box would fail the test: there is no script
    EXPECT_TRUE(w.OpenPort(1));
    EXPECT_TRUE(w.OpenPort(2));
    EXPECT_EQ(w.MSComm1.CommPort(), 1);

    // Suspended with the port still open: open reports true and changes nothing.
    Suspended = true;
    EXPECT_TRUE(w.OpenPort(2));
    EXPECT_EQ(w.MSComm1.CommPort(), 1);
    EXPECT_EQ(w.WriteToModem("AT\r\n"), 2);
    Suspended = false;

    w.ClosePort();
    EXPECT_FALSE(w.OpenPort(300));   // a number the control refuses
    EXPECT_FALSE(w.MSComm1.PortOpen());
    EXPECT_EQ(w.MSComm1.CommPort(), 1);
}

TEST_F(MainTest, SetPortClosesAndClosePortAlwaysEmptiesTheBuffer) {
    auto unit = Unit(4);
    TMainForm& w = Make();
    ASSERT_TRUE(w.OpenPort(4));
    ReceiveBuffer = "+CMT: ";
    w.SetPort(0);
    EXPECT_FALSE(w.MSComm1.PortOpen());
    EXPECT_EQ(w.MSComm1.CommPort(), 4);
    EXPECT_EQ(ReceiveBuffer, "");

    ReceiveBuffer = "left over";
    EXPECT_FALSE(w.ClosePort());
    EXPECT_EQ(ReceiveBuffer, "");

    w.SetPort(7);
    EXPECT_EQ(w.MSComm1.CommPort(), 7);
}

TEST_F(MainTest, TheReceiveEventAppendsWhatArrivesAndTracesItInRed) {
    auto unit = Unit(1);
    TMainForm& w = Make();
    Settings.DebugMode = true;
    ASSERT_TRUE(w.OpenPort(1));
    ReceiveBuffer = "kept ";
    unit->SendRaw("\r\n+CMT: \"SM\",3\r\n");
    ASSERT_TRUE(WaitUntil([] { return ReceiveBuffer.find("3\r\n") != std::string::npos; }));
    EXPECT_EQ(ReceiveBuffer, "kept \r\n+CMT: \"SM\",3\r\n");
    const QTextCharFormat format =
        w.DBGFrame11->RichEdit1->document()->lastBlock().previous().begin().fragment().charFormat();
    EXPECT_EQ(format.foreground().color(), QColor(255, 0, 0));

    // Nothing to read: nothing appended.
    w.MSComm1Comm();
    EXPECT_EQ(ReceiveBuffer, "kept \r\n+CMT: \"SM\",3\r\n");
}

TEST_F(MainTest, AFailingReceiveEventShowsAnErrorAndTheProgramRunsOn) {
    TMainForm& w = Make();
    testing_support::BoxScript boxes;
    boxes.Expect("");
    w.MSComm1Comm();   // the port is closed: reading it fails
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].caption, "Error");
}

// ---- Receive timers ----------------------------------------------------------------------

class TimerGate : public MainTest {
protected:
    std::unique_ptr<sim::ModemSim> unit;
    void SetUp() override {
        MainTest::SetUp();
        unit = Unit(1);
        Make();
        ModemFound = true;
        ASSERT_TRUE(form->OpenPort(1));
    }
};

TEST_F(TimerGate, TicksStartAnExchangeOnlyWhenThePortIsOpenTheBoxClearAndNoFlagSet) {
    struct Case {
        const char* name;
        bool closed, box, sending, busy, polling;
        bool runs;
    };
    const Case cases[] = {
        {"all clear", false, false, false, false, false, true},
        {"port closed", true, false, false, false, false, false},
        {"box ticked", false, true, false, false, false, false},
        {"Sending", false, false, true, false, false, false},
        {"ModemBusy", false, false, false, true, false, false},
        {"Polling", false, false, false, false, true, false},
    };
    int stored = 0;
    for (const Case& c : cases) {
        for (bool poll : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (poll ? " / poll" : " / notice"));
            // Each message its own: one equal to a filed message would only be deleted.
            unit->Store("+4477", "hello " + std::to_string(++stored), "24/05/12,14:23:11+04");
            form->ClosePort();   // each case on a fresh line: its ReceiveBuffer is set below
            ASSERT_TRUE(form->OpenPort(1));
            if (c.closed) form->ClosePort();
            ReceiveBuffer = "\r\n+CMT: \"SM\",1\r\n";
            form->DBGFrame11->ChkDisableCMT->setChecked(c.box && !poll);
            form->DBGFrame11->ChkDisablePoll->setChecked(c.box && poll);
            // The other box never matters.
            (poll ? form->DBGFrame11->ChkDisableCMT : form->DBGFrame11->ChkDisablePoll)
                ->setChecked(true);
            Sending = c.sending;
            ModemBusy = c.busy;
            Polling = c.polling;
            unit->ClearLog();
            const int before = form->MSGFrame11->Count();

            poll ? form->RXPollTimerTimer() : form->Timer1Timer();

            const char* command = poll ? "AT+CMGL" : "AT+CMGR=1";
            EXPECT_EQ(Contains(unit->Commands(), command), c.runs);
            EXPECT_EQ(form->MSGFrame11->Count() > before, c.runs);
            if (c.runs && !poll) {
                // The answer to the delete is still on its way; let it land before the
                // next case reopens the line.
                EXPECT_TRUE(WaitUntil([] { return PendingDeleteAnswers == 0; }));
            }
            if (c.runs) {
                EXPECT_FALSE(ModemBusy);
                EXPECT_FALSE(Polling);
                EXPECT_EQ(form->TrayKind(), 2);
            } else {
                EXPECT_EQ(ModemBusy, c.busy);   // a dropped tick leaves the flags alone
                EXPECT_EQ(Polling, c.polling);
            }
            Sending = ModemBusy = Polling = false;
        }
    }
}

TEST_F(TimerGate, AFailedExchangeIsShownAndClearsItsFlags) {
    for (bool poll : {false, true}) {
        SCOPED_TRACE(poll ? "poll" : "notice");
        unit->Reappear();
        ASSERT_TRUE(form->OpenPort(1));
        ReceiveBuffer = "+CMT: \"SM\",1";   // no CR yet: the check waits on the line
        unit->Vanish();
        testing_support::BoxScript boxes;
        boxes.Expect("");
        poll ? form->RXPollTimerTimer() : form->Timer1Timer();
        ASSERT_EQ(boxes.shown().size(), 1u);
        EXPECT_EQ(boxes.shown()[0].caption, "Error");
        EXPECT_FALSE(ModemBusy);
        EXPECT_FALSE(Polling);
        form->ClosePort();
    }
}

TEST_F(TimerGate, ALostLineIsClosedShownAtMostOnceAndReopenedByTheNextTick) {
    struct Case {
        const char* name;
        std::function<void()> find;   // what meets the dead line first
        bool heldOpen;                // nobody answers its box while the unit comes back
    };
    const Case cases[] = {
        {"the event pump", [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 50); },
         false},
        {"the notice check", [this] { form->Timer1Timer(); }, false},
        {"the poll", [this] { form->RXPollTimerTimer(); }, false},
        {"the poll, its box left open", [this] { form->RXPollTimerTimer(); }, true},
    };
    int stored = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unit->Reappear();
        ASSERT_TRUE(form->OpenPort(1));
        ReceiveBuffer = "+CMT: \"SM\",1";   // the notice check reads the line
        unit->Vanish();
        // Back: the next tick reopens the port and collects what came meanwhile, and a
        // message that the unit holds as read (a read cut off before its delete).
        bool back = false;
        auto comeBack = [&] {
            EXPECT_TRUE(form->LineIsLost());
            EXPECT_FALSE(form->MSComm1.PortOpen());
            unit->Store("+4477", "while away " + std::to_string(++stored), "24/05/12,14:23:11+04");
            unit->StoreMessage({0, "REC READ", "+4477", "", "24/05/12,14:23:11+04",
                                "cut off " + std::to_string(stored)});
            unit->Reappear();
            unit->ClearLog();
            const int before = form->MSGFrame11->Count();
            form->Timer1Timer();
            EXPECT_TRUE(form->MSComm1.PortOpen());
            EXPECT_FALSE(form->LineIsLost());
            EXPECT_TRUE(Contains(unit->Commands(), "AT+CMGL"));
            EXPECT_EQ(form->MSGFrame11->Count(), before + 2);
            EXPECT_FALSE(ModemBusy || Polling);
            back = true;
        };
        testing_support::BoxScript boxes;
        if (c.heldOpen)
            boxes.ExpectHeld("", comeBack);
        else
            boxes.AnswerAll();
        ASSERT_TRUE(WaitUntil([&] {
            c.find();
            return !boxes.shown().empty();
        }));
        if (!c.heldOpen) {
            for (int i = 0; i < 3; ++i) {   // the unit stays away for a while
                form->Timer1Timer();
                form->RXPollTimerTimer();
                QCoreApplication::processEvents();
            }
            comeBack();
        }
        EXPECT_TRUE(back);
        EXPECT_EQ(boxes.shown().size(), 1u);
    }
}

TEST_F(TimerGate, AnInboxThatCouldNotBeSavedIsToldWhileCollectionGoesOn) {
    form->MSGFrame11->LoadFromFile("inbox.csv", true);
    datafile::WriteHook working = datafile::SetWriteHook([](int, const char*, std::size_t) -> long {
        errno = ENOSPC;
        return -1;
    });
    const int kept = unit->Store("+4477", "kept-on-the-unit", "24/05/12,14:23:11+04", true);
    testing_support::BoxScript boxes;
    boxes.ExpectHeld("could not be saved", [&] {
        EXPECT_FALSE(ModemBusy || Polling);
        EXPECT_EQ(unit->Messages().size(), 1u);
        datafile::SetWriteHook(working);   // the disk has room again; the box is still open
        // The 250 ms timer goes on ticking under the box: the next notice is read and filed.
        const int next = unit->Store("+4488", "the-next-one", "24/05/12,14:24:11+04", true);
        EXPECT_TRUE(WaitUntil([&] { return unit->Deleted() == std::vector<int>{next}; }));
        form->RXPollTimerTimer();   // and the poll deletes the one that was kept
        EXPECT_TRUE(WaitUntil([&] { return unit->Messages().empty(); }));
        EXPECT_EQ(unit->Deleted(), (std::vector<int>{next, kept}));
        const std::string inbox = env.ReadData("inbox.csv");
        EXPECT_NE(inbox.find("kept-on-the-unit"), std::string::npos);
        EXPECT_NE(inbox.find("the-next-one"), std::string::npos);
    });
    EXPECT_TRUE(WaitUntil([&] { return boxes.pending() == 0; }));   // the timer's own tick
    EXPECT_EQ(boxes.shown().size(), 1u);
}

// Time moves only as the code under test sleeps (for real, so that the simulated unit's
// answers come) or as the test advances it.
class SleepingClock : public platform::Clock {
public:
    int64_t NowMs() override { return now_; }
    void SleepMs(int64_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        now_ += ms;
    }
    void Advance(int64_t ms) { now_ += ms; }
private:
    int64_t now_ = 0;
};

TEST_F(TimerGate, ALostLineIsReopenedOnlyOntoTheUnitAndAnotherDeviceIsAskedLessAndLessOften) {
    SleepingClock clock;
    const platform::ScopedClock useClock(&clock);
    form->Timer1->stop();   // ticks only where the test calls them
    form->RXPollTimer->stop();
    ReceiveBuffer = "+CMT: \"SM\",1";
    unit->Vanish();
    testing_support::BoxScript boxes;
    boxes.AnswerAll();
    form->Timer1Timer();
    ASSERT_TRUE(form->LineIsLost());

    // Another device now answers to COM1, a modem of another kind.
    sim::ModemSim other;
    other.SetHandler([](const std::string&) { return std::string("\r\nERROR\r\n"); });
    other.LinkAsCom(env.ports(), 1);
    other.Start();
    auto asked = [&] { return other.Commands().size(); };
    form->Timer1Timer();   // asked at once, closed again
    ASSERT_EQ(asked(), 1u);
    // Asked again after 1 s, 2, 4, ... up to the poll's 60 s; ticks in between leave it
    // alone, and so do ticks whose Disable box is ticked.
    for (int64_t pause : {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}) {
        SCOPED_TRACE(pause);
        EXPECT_EQ(form->NextAskInMs(), pause);
        const std::size_t before = asked();
        clock.Advance(pause - 1);
        form->Timer1Timer();
        form->RXPollTimerTimer();
        EXPECT_EQ(asked(), before);
        clock.Advance(1);
        form->DBGFrame11->ChkDisableCMT->setChecked(true);
        form->DBGFrame11->ChkDisablePoll->setChecked(true);
        form->Timer1Timer();
        form->RXPollTimerTimer();
        EXPECT_EQ(asked(), before);
        form->DBGFrame11->ChkDisableCMT->setChecked(false);
        form->DBGFrame11->ChkDisablePoll->setChecked(false);
        form->Timer1Timer();
        EXPECT_EQ(asked(), before + 1);
        EXPECT_FALSE(form->MSComm1.PortOpen());
    }
    // A write asks at once, and is refused while the device is not the unit.
    EXPECT_EQ(form->WriteToModem("AT\r\n"), 2);
    EXPECT_EQ(other.Commands(), std::vector<std::string>(10, "ATI9"));
    EXPECT_TRUE(form->LineIsLost());

    // The unit back on the link, still starting: a write finds it at once and goes out, and
    // the next tick collects what came meanwhile.
    unit->Store("+4477", "back", "24/05/12,14:23:11+04");
    unit->Reappear();
    unit->ClearLog();
    EXPECT_EQ(form->WriteToModem("AT\r\n"), 1);
    EXPECT_TRUE(form->MSComm1.PortOpen());
    EXPECT_FALSE(form->LineIsLost());
    ASSERT_TRUE(WaitUntil([] { return ReceiveBuffer.find("OK") != std::string::npos; }));
    EXPECT_EQ(unit->Commands(), (std::vector<std::string>{"ATI9", "AT"}));
    form->Timer1Timer();
    EXPECT_TRUE(Contains(unit->Commands(), "AT+CMGL"));
    EXPECT_EQ(form->MSGFrame11->Count(), 1);
    EXPECT_EQ(boxes.shown().size(), 1u);   // the loss, told once
}

// ---- Tray icon ---------------------------------------------------------------------------

// The desktop's tray as the test sets it, for as long as it lives.
struct TrayScript {
    platform::TrayHost host;
    platform::TrayHostFinder previous;
    explicit TrayScript(platform::TrayHost h)
        : host(h), previous(platform::SetTrayHostFinder([this] { return host; })) {}
    ~TrayScript() { platform::SetTrayHostFinder(std::move(previous)); }
};

TEST_F(MainTest, TheTrayIconSwitchesBetweenItsTwoImagesAndTips) {
    const TrayScript tray(platform::TrayHost::StatusNotifier);
    TMainForm& w = Make();
    ASSERT_NE(w.TrayIcon, nullptr);
    ASSERT_FALSE(w.NormalIcon.isNull());
    ASSERT_FALSE(w.MailIcon.isNull());
    EXPECT_EQ(w.NormalIcon.pixmap(16, 16).size(), QSize(16, 16));
    EXPECT_NE(w.NormalIcon.pixmap(16, 16).toImage(), w.MailIcon.pixmap(16, 16).toImage());

    const struct {
        int kind;
        int expectKind;
        const char* tip;
        bool mail;
    } steps[] = {
        {1, 1, "Corvane", false}, {2, 2, "Corvane mail waiting", true},
        {2, 2, "Corvane mail waiting", true}, {7, 2, "Corvane mail waiting", true},
        {1, 1, "Corvane", false}, {1, 1, "Corvane", false},
    };
    EXPECT_EQ(w.TrayTip(), "Corvane");
    for (const auto& s : steps) {
        w.ModifyIcon(s.kind);
        EXPECT_EQ(w.TrayKind(), s.expectKind);
        EXPECT_EQ(w.TrayTip(), s.tip);
        EXPECT_EQ(w.TrayIcon->icon().cacheKey(),
                  (s.mail ? w.MailIcon : w.NormalIcon).cacheKey());
    }
}

TEST_F(MainTest, ATrayThatComesLaterGetsTheIconAndItsOwnClickRestores) {
    const struct {
        platform::TrayHost host;
        QSystemTrayIcon::ActivationReason reason;
        bool restores;
    } cases[] = {
        {platform::TrayHost::StatusNotifier, QSystemTrayIcon::Trigger, true},
        {platform::TrayHost::StatusNotifier, QSystemTrayIcon::Context, false},
        {platform::TrayHost::XEmbed, QSystemTrayIcon::DoubleClick, true},
        {platform::TrayHost::XEmbed, QSystemTrayIcon::Trigger, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.host) * 10 + int(c.reason));
        TrayScript tray(platform::TrayHost::Absent);
        TMainForm& w = Make();
        w.ModifyIcon(2);
        EXPECT_EQ(w.TrayIcon, nullptr);
        w.show();
        w.close();
        EXPECT_TRUE(w.isMinimized());   // no tray to hide in yet

        tray.host = c.host;
        ASSERT_TRUE(WaitUntil([&] { return w.TrayIcon != nullptr; }, 3 * TMainForm::TrayLookMs));
        EXPECT_TRUE(w.TrayAvailable);
        EXPECT_EQ(w.TrayTip(), "Corvane mail waiting");
        w.close();
        EXPECT_TRUE(w.isHidden());

        emit w.TrayIcon->activated(c.reason);
        EXPECT_EQ(w.isVisible(), c.restores);
        form.reset();
    }
}

TEST_F(MainTest, RestoreShowsTheWindowOnTheInboxOnlyWhenMailWaits) {
    for (bool mail : {false, true}) {
        TMainForm& w = Make();
        w.Dirs->setCurrentItem(w.Dirs->topLevelItem(3));   // Phonebook
        ASSERT_FALSE(w.PBFrame11->isHidden());
        MailWaiting = mail;
        auto* dialog = new QDialog(&w);   // iconified along with the main window
        dialog->show();
        dialog->setWindowState(Qt::WindowMinimized);
        ASSERT_EQ(w.PopupMenu1->actions(), (QList<QAction*>{w.Maximise, w.Exit1, w.HelpAbout}));
        w.Maximise->trigger();
        EXPECT_TRUE(w.isVisible());
        EXPECT_FALSE(dialog->isMinimized());
        EXPECT_EQ(w.windowTitle(), mail ? "Corvane - Inbox" : "Corvane - Phonebook");
        EXPECT_EQ(w.MSGFrame11->isHidden(), !mail);
        form.reset();
    }
}

} // namespace
