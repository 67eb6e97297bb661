// The upload end to end: the real serial control on a pty, the simulated unit in boot-loader
// mode at the far end checking every byte and the line settings of each stage.
#include <QAction>

#include "platform/comports.h"
#include "tests/support/pty.h"
#include "tests/sim/bootsim.h"
#include "tests/upgrade/simlink.h"
#include "tests/upgrade/uploadrig.h"

using namespace upgrade_test;
using sim::BootSim;
using Reply = BootSim::Reply;
using Stage = BootSim::Stage;

namespace {

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);

// One unit on COM4, the window talking to it, and the gated clock in force.
struct SimRun {
    SimRun(const std::vector<uint8_t>& boot, const std::vector<uint8_t>& code) {
        unit.SetImages(ImageOf(boot), ImageOf(code));
        unit.LinkAsCom(platform::PortsFolder(), 4);
        form.Beep = [this] {
            ++beeps;
            failedAt = platform::clock().NowMs();
        };
        form.EndProgram = [] {};
    }
    int64_t OutAt(std::size_t k) const {   // time of the k-th write
        for (const auto& c : link.calls)
            if (c.what == "out" && k-- == 0) return c.atMs;
        return -1;
    }
    BootSim unit;
    testing_support::SimLink link{unit};
    testing_support::GatedClock clock{link};
    platform::ScopedClock scoped{&clock};
    upgrade::Form1 form{"", &link};
    int beeps = 0;
    int64_t failedAt = -1;
};

class SimUpload : public UploadTest {};

TEST_F(SimUpload, FlashesTheUnitByteForByteAtEachStagesLineSettings) {
    // A boot loader larger than the line holds: the rest is fed as the unit takes it.
    const auto boot = Pattern(29999, 1), code = Pattern(2999, 2);
    WriteFirmware(boot, code);
    SimRun run(boot, code);
    run.unit.Start();
    run.form.Command1_Click();

    EXPECT_EQ(Status(run.form), "Programming OK");
    EXPECT_EQ(run.form.StatusColour(), kGreen);
    EXPECT_EQ(run.beeps, 0);
    EXPECT_TRUE(run.unit.Faults().empty()) << run.unit.Faults().front();
    EXPECT_EQ(run.unit.State().stage, Stage::Done);
    EXPECT_EQ(run.unit.Received(), "ATE0+XLDR\r" + Str(ImageOf(boot)) + "\x76\x32" +
                                       std::string("\xB8\x0B\0\0", 4) + Str(ImageOf(code)));

    const auto settings = run.unit.LineSettings();
    const std::set<std::string> slow = {"2400,n,8,1"}, fast = {"19200,n,8,1"};
    EXPECT_EQ(settings.at(Stage::Command), slow);
    for (Stage s : {Stage::BootLoader, Stage::BootLength, Stage::CodeLength, Stage::MainCode})
        EXPECT_EQ(settings.at(s), fast) << sim::StageName(s);

    // The pauses: 2 s before the command, 1 s after it, 0.1 s after the second open.
    const auto& c = run.link.calls;
    ASSERT_GE(c.size(), 5u);
    EXPECT_EQ(c[0].what + c[0].detail, "open2400,n,8,1");
    EXPECT_EQ(c[0].atMs, 0);
    EXPECT_EQ(c[1].atMs, 2000);
    EXPECT_EQ(c[2].what, "close");
    EXPECT_EQ(c[2].atMs, 3000);
    EXPECT_EQ(c[3].what + c[3].detail, "open19200,n,8,1");
    EXPECT_EQ(c[4].atMs, 3100);
    EXPECT_EQ(c.back().what, "close");
    EXPECT_FALSE(run.link.PortOpen());
    EXPECT_TRUE(run.form.Command1->isEnabled());
    EXPECT_EQ(run.clock.forced, 0);
}

TEST_F(SimUpload, RepliesMustBeExact) {
    struct Case {
        const char* name;
        Reply fatStub, flashOk;
        std::string status;
    };
    const Case cases[] = {
        {"no FAT STUB", Reply::None, Reply::Proper, "Bootloader Transfer failed"},
        {"FAT STUB without LF", Reply::Wrong, Reply::Proper, "Bootloader Transfer failed"},
        {"lower-case FAT STUB", Reply::LowerCase, Reply::Proper, "Bootloader Transfer failed"},
        {"FAT STUB after a stray byte", Reply::ExtraByte, Reply::Proper,
         "Bootloader Transfer failed"},
        {"FAT STUB in two pieces", Reply::InPieces, Reply::Proper, "Programming OK"},
        {"no FLASH OK", Reply::Proper, Reply::None, "Code Transfer failed"},
        {"FLASH OK without LF", Reply::Proper, Reply::Wrong, "Code Transfer failed"},
        {"lower-case FLASH OK", Reply::Proper, Reply::LowerCase, "Code Transfer failed"},
        {"FLASH OK in two pieces", Reply::Proper, Reply::InPieces, "Programming OK"},
    };
    const auto boot = Pattern(300, 3), code = Pattern(420, 4);
    WriteFirmware(boot, code);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        SimRun run(boot, code);
        run.unit.SetFatStubReply(k.fatStub);
        run.unit.SetFlashOkReply(k.flashOk);
        run.unit.Start();
        run.form.Command1_Click();

        EXPECT_EQ(Status(run.form), k.status);
        EXPECT_TRUE(run.unit.Faults().empty());
        EXPECT_FALSE(run.link.PortOpen());
        EXPECT_EQ(run.clock.forced, 0);
        if (k.status == "Programming OK") {
            EXPECT_EQ(run.beeps, 0);
            continue;
        }
        EXPECT_EQ(run.form.StatusColour(), kRed);
        EXPECT_EQ(run.beeps, 1);
        if (k.status == "Bootloader Transfer failed") {
            // Nothing of the main code went; the wait ran 5 s after the queue drained.
            EXPECT_EQ(run.unit.State().stage, Stage::CodeLength);
            EXPECT_GT(run.failedAt - run.OutAt(2), 5000);
            EXPECT_LE(run.failedAt - run.OutAt(2), 5002);
        } else {
            EXPECT_EQ(run.unit.State().stage, Stage::Done);
        }
    }
}

TEST_F(SimUpload, PacedUnitTakesEachBlockBeforeTheNext) {
    const auto boot = Pattern(200, 5), code = Pattern(449, 6);
    WriteFirmware(boot, code);
    SimRun run(boot, code);
    run.unit.SetPaced(true);
    run.unit.Start();
    run.form.Command1_Click();

    EXPECT_EQ(Status(run.form), "Programming OK");
    for (const auto& f : run.unit.Faults()) ADD_FAILURE() << f;
    int blocks = 0;
    for (std::size_t k = 0, outs = 0; k < run.link.calls.size(); ++k) {
        const auto& c = run.link.calls[k];
        if (c.what != "out" || ++outs <= 4) continue;
        ++blocks;
        EXPECT_EQ(c.queued, 0) << "block " << blocks;
    }
    EXPECT_EQ(blocks, 5);
    EXPECT_EQ(run.clock.forced, 0);
}

// A line that takes nothing more once its buffers are full: the boot loader's write must
// not hold the window, so "E&xit" ends the upload in the middle of it.
TEST_F(SimUpload, ExitInTheMiddleOfTheBootLoadersWrite) {
    testing_support::TestPty line;   // nobody reads its far end
    env.MapCom(4, line.slavePath());
    const auto boot = Pattern(59999, 1);
    WriteFirmware(boot, Pattern(100, 2));
    struct Link : upgrade::CommLink {
        using upgrade::CommLink::Output;
        void Output(const std::vector<uint8_t>& bytes) override {
            upgrade::CommLink::Output(bytes);
            if (written) written(bytes.size());
        }
        std::function<void(std::size_t)> written;
    } comm;
    upgrade::Form1 form("", &comm);
    form.Beep = [this] { ++beeps; };
    form.EndProgram = [this] { ++ends; };
    comm.written = [&](std::size_t size) {
        if (size == boot.size() + 1)
            QMetaObject::invokeMethod(&form, [&] { form.mnuExit->trigger(); }, Qt::QueuedConnection);
    };
    form.Command1_Click();
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(beeps, 0);
    EXPECT_EQ(Status(form), "transferring boot loader");
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_LT(line.Read(boot.size() + 20, 200).size(), boot.size());
}

} // namespace
