// The upload against a stand-in serial control: bytes and their order, the pauses, block
// pacing on the output queue and CTS, the length fields and their limits, and how each way
// of ending shows.
#include <QAction>
#include <QComboBox>
#include <QMenuBar>

#include <algorithm>

#include "platform/qt/dialogs.h"
#include "tests/support/pty.h"
#include "tests/upgrade/uploadrig.h"

using namespace upgrade_test;
using upgrade::Form1;

namespace {

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);

std::vector<std::string> Whats(const std::vector<FakeLink::Call>& calls) {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.what);
    return out;
}

// The main-code blocks: every "out" after the 4-byte length.
std::vector<FakeLink::Call> Blocks(const FakeLink& link) {
    std::vector<FakeLink::Call> blocks;
    int outs = 0;
    for (const auto& c : link.calls)
        if (c.what == "out" && ++outs > 4) blocks.push_back(c);
    return blocks;
}

class Upload : public UploadTest {};

TEST_F(Upload, BlocksWaitForAnEmptyQueueAndCts) {
    struct Case {
        int dataBytes;
        std::vector<std::size_t> sizes;
        std::vector<int> progress;
    };
    const Case cases[] = {
        {249, {100, 100, 50}, {0, 101, 201, 251}},
        {99, {100}, {0, 101}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.dataBytes);
        link = FakeLink();
        link.calls.clear();
        WriteFirmware(Pattern(40, 3), Pattern(k.dataBytes, 4));
        // The unit holds CTS off for 300 ms after each block while it programs.
        int64_t lastBlock = -100000;
        int outs = 0;
        link.onOutput = [&](const FakeLink::Call& c) {
            if (++outs > 4) lastBlock = c.atMs;
        };
        link.cts = [&](int64_t now) { return now >= lastBlock + 300; };
        auto form = MakeForm();
        std::vector<int> values;
        QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged,
                         [&](int v) { values.push_back(v); });
        form->Command1_Click();

        const auto blocks = Blocks(link);
        ASSERT_EQ(blocks.size(), k.sizes.size());
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(blocks[i].detail.size(), k.sizes[i]);
            EXPECT_EQ(blocks[i].queued, 0) << "block " << i << " written over queued bytes";
            EXPECT_TRUE(blocks[i].cts) << "block " << i << " written while CTS was off";
            if (i > 0) {
                EXPECT_GE(blocks[i].atMs, blocks[i - 1].atMs + 300);
            }
        }
        EXPECT_EQ(values, k.progress);
        EXPECT_EQ(form->ProgressBar1->maximum(), k.progress.back());
        EXPECT_EQ(Status(*form), "Programming OK");
    }
}

TEST_F(Upload, BlockNotSendableForFiveSecondsFails) {
    struct Case {
        const char* name;
        bool stuckCts;
    };
    for (const Case& k : {Case{"CTS stuck off", true}, Case{"queue stuck", false}}) {
        SCOPED_TRACE(k.name);
        link = FakeLink();
        beeps = 0;
        WriteFirmware(Pattern(40, 3), Pattern(249, 4));
        int outs = 0;
        int64_t firstBlock = -1;
        link.onOutput = [&](const FakeLink::Call& c) {
            if (++outs == 5) {
                firstBlock = c.atMs;
                if (!k.stuckCts) link.drainPerMs = 0;
            }
        };
        link.cts = [&](int64_t) { return !k.stuckCts || firstBlock < 0; };
        auto form = MakeForm();
        int64_t failedAt = -1;
        form->Beep = [&] {
            ++beeps;
            failedAt = platform::clock().NowMs();
        };
        form->Command1_Click();

        EXPECT_EQ(Blocks(link).size(), 1u);
        EXPECT_EQ(Status(*form), "Code Transfer failed");
        EXPECT_EQ(form->StatusColour(), kRed);
        EXPECT_EQ(beeps, 1);
        EXPECT_GT(failedAt - firstBlock, 5000);
        EXPECT_LE(failedAt - firstBlock, 5002);
        EXPECT_TRUE(form->ProgressBar1->isVisibleTo(form.get()));   // kept with its value
        EXPECT_EQ(form->ProgressBar1->value(), 101);
        EXPECT_FALSE(link.PortOpen());
        EXPECT_TRUE(form->Command1->isEnabled());
    }
}

TEST_F(Upload, LengthFieldsAtTheirLimits) {
    struct Case {
        const char* name;
        int bootData, codeData;
        std::string trailer, length, status;
    };
    const Case cases[] = {
        {"1000 and 4660 bytes", 999, 4659, "\x04\xEA", std::string("\x34\x12\0\0", 4),
         "Programming OK"},
        {"largest boot loader", 65276, 10, "\xFF\xFF", std::string("\x0B\0\0\0", 4),
         "Programming OK"},
        {"largest main code", 10, 65534, std::string("\x01\x0D", 2),
         std::string("\xFF\xFF\0\0", 4), "Programming OK"},
        {"boot loader too large", 65277, 10, "", "", "Bootloader Transfer failed"},
        {"main code too large", 10, 65535, "", "", "Code Transfer failed"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        link = FakeLink();
        link.drainPerMs = 1000;
        beeps = 0;
        WriteFirmware(Pattern(k.bootData, 5), Pattern(k.codeData, 6));
        auto form = MakeForm();
        form->Command1_Click();
        EXPECT_EQ(Status(*form), k.status);
        const auto outs = link.Outputs();
        if (k.trailer.empty()) {
            // Refused before the unit was switched: nothing opened, nothing sent.
            EXPECT_TRUE(outs.empty());
            EXPECT_EQ(beeps, 1);
            EXPECT_EQ(form->StatusColour(), kRed);
            continue;
        }
        ASSERT_GE(outs.size(), 4u);
        EXPECT_EQ(outs[1].size(), std::size_t(k.bootData + 1));
        EXPECT_EQ(outs[2], k.trailer);
        EXPECT_EQ(outs[3], k.length);
    }
}

TEST_F(Upload, EveryFailureShowsRedWithABeepAndEndsClean) {
    struct Case {
        const char* name;
        std::function<void(Upload&)> setup;
        std::string status;
        bool opened;     // the port was opened at some point
        int64_t afterMs;  // when the failure showed, after the last write (-1: not checked)
    };
    const std::vector<Case> cases = {
        {"boot loader missing",
         [](Upload& t) { std::filesystem::remove(t.firmware + "/W39L512.dat"); },
         "Bootloader Transfer failed", false, -1},
        {"boot loader empty", [](Upload& t) { t.WriteFile("W39L512.dat", ""); },
         "Bootloader Transfer failed", false, -1},
        {"boot loader without data",
         [](Upload& t) { t.WriteFile("W39L512.dat", ":00000001FF\r\n"); },
         "Bootloader Transfer failed", false, -1},
        {"main code empty", [](Upload& t) { t.WriteFile("main.hex", ""); },
         "Code Transfer failed", false, -1},
        {"port will not open", [](Upload& t) { t.link.failOpen = true; },
         "Bootloader Transfer failed", false, -1},
        {"port number unusable", [](Upload&) {
             platform::SaveSetting("VardelUPG", "Port", "COMport", "256");
         }, "Bootloader Transfer failed", false, -1},
        // 41 + 2 bytes at 1.92 a ms have left the queue 23 ms after the last write.
        {"no FAT STUB", [](Upload& t) { t.link.fatStub = nullptr; }, "Bootloader Transfer failed",
         true, 23 + 5001},
        {"boot loader stuck in the queue", [](Upload& t) { t.link.drainPerMs = 0; },
         "Bootloader Transfer failed", true, 5001},
        // The last block of 51 bytes takes 27 ms to leave.
        {"no FLASH OK", [](Upload& t) { t.link.flashOk = nullptr; }, "Code Transfer failed", true,
         27 + 5001},
        {"last block stuck in the queue", [](Upload& t) {
             t.link.onOutput = [&t](const FakeLink::Call& c) {
                 if (c.detail.size() == 51) t.link.drainPerMs = 0;
             };
         }, "Code Transfer failed", true, 5001},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        link = FakeLink();
        beeps = 0;
        clock.Advance(-clock.NowMs());
        WriteFirmware(Pattern(40, 7), Pattern(150, 8));
        platform::SaveSetting("VardelUPG", "Port", "COMport", "4");
        k.setup(*this);
        auto form = MakeForm();
        int64_t failedAt = -1;
        form->Beep = [&] {
            ++beeps;
            failedAt = clock.NowMs();
        };
        form->Command1_Click();
        EXPECT_EQ(Status(*form), k.status);
        EXPECT_EQ(form->StatusColour(), kRed);
        EXPECT_EQ(beeps, 1);
        if (k.afterMs >= 0) {
            auto last = std::find_if(link.calls.rbegin(), link.calls.rend(),
                                     [](const FakeLink::Call& c) { return c.what == "out"; });
            ASSERT_NE(last, link.calls.rend());
            EXPECT_EQ(failedAt - last->atMs, k.afterMs);
        }
        const auto whats = Whats(link.calls);
        EXPECT_EQ(std::count(whats.begin(), whats.end(), "open") > 0, k.opened);
        EXPECT_FALSE(link.PortOpen());
        EXPECT_TRUE(form->Command1->isEnabled());
        EXPECT_TRUE(form->mnuComport->isEnabled());
    }
}

TEST_F(Upload, FlashOkBeforeTheQueueIsSeenEmptyCounts) {
    WriteFirmware(Pattern(40, 7), Pattern(250, 8));
    link.flashOkBeforeDrain = true;
    auto form = MakeForm();
    form->Command1_Click();
    EXPECT_EQ(Status(*form), "Programming OK");
    EXPECT_EQ(beeps, 0);
}

TEST_F(Upload, RefusedFileShowsItsBoxAndNothingElse) {
    for (const char* file : {"W39L512.dat", "main.hex"}) {
        SCOPED_TRACE(file);
        link = FakeLink();
        WriteFirmware(Pattern(40, 7), Pattern(150, 8));
        WriteFile(file, ":0300000001020304\r\n:00000001FF\r\n");   // checksum off
        testing_support::BoxScript boxes;
        boxes.Expect("Bad checksum");
        auto form = MakeForm();
        form->Command1_Click();
        ASSERT_EQ(boxes.shown().size(), 1u);
        EXPECT_EQ(boxes.shown()[0].caption, "Upgrade");
        EXPECT_EQ(Status(*form), "transferring boot loader");
        EXPECT_EQ(beeps, 0);
        EXPECT_TRUE(link.Outputs().empty());   // both files are read before the unit is switched
        EXPECT_TRUE(form->Command1->isEnabled());
    }
}

TEST_F(Upload, ProgramStaysDisabledWhileItRunsComPortStaysActive) {
    WriteFirmware(Pattern(40, 7), Pattern(250, 8));
    auto form = MakeForm();
    int seen = 0;
    link.onOutput = [&](const FakeLink::Call&) {
        ++seen;
        EXPECT_FALSE(form->Command1->isEnabled());
        EXPECT_TRUE(form->mnuComport->isEnabled());
        EXPECT_TRUE(form->Uploading());
    };
    form->Command1_Click();
    EXPECT_EQ(seen, 7);   // command, boot loader, two lengths, three blocks
    EXPECT_TRUE(form->Command1->isEnabled());
    EXPECT_TRUE(form->mnuComport->isEnabled());
}

TEST_F(Upload, ExitDuringTheTransferEndsAtOnce) {
    WriteFirmware(Pattern(40, 7), Pattern(450, 8));
    auto form = MakeForm();
    int outs = 0;
    link.onOutput = [&](const FakeLink::Call&) {
        if (++outs == 5) form->mnuExit->trigger();
    };
    form->Command1_Click();
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(outs, 5);   // not one block more
    EXPECT_FALSE(link.PortOpen());
    EXPECT_EQ(beeps, 0);
    EXPECT_EQ(Status(*form), "Transferring main code");
}

TEST_F(Upload, SecondRunAfterAFailureStartsAfresh) {
    WriteFirmware(Pattern(40, 7), Pattern(150, 8));
    auto form = MakeForm();
    link.fatStub = nullptr;
    form->Command1_Click();
    ASSERT_EQ(Status(*form), "Bootloader Transfer failed");

    link.fatStub = "FAT STUB\r\n";
    link.calls.clear();
    std::string firstStatus;
    QColor firstColour;
    link.onOutput = [&](const FakeLink::Call&) {
        if (firstStatus.empty()) {
            firstStatus = Status(*form);
            firstColour = form->StatusColour();
        }
    };
    form->Command1_Click();
    EXPECT_EQ(firstStatus, "transferring boot loader");
    EXPECT_EQ(firstColour, QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(Status(*form), "Programming OK");
}

TEST_F(Upload, AsksForThePortWhenNoneIsStored) {
    testing_support::TestPty pty;
    env.MapCom(6, pty.slavePath());
    WriteFirmware(Pattern(40, 7), Pattern(150, 8));
    for (bool choose : {false, true}) {
        SCOPED_TRACE(choose ? "chosen" : "cancelled");
        link = FakeLink();
        platform::SaveSetting("VardelUPG", "Port", "COMport", "-1");
        int shown = 0;
        auto previous = platform::SetDialogScript([&](QDialog& d) {
            ++shown;
            auto& dialog = dynamic_cast<upgrade::SerialPort&>(d);
            EXPECT_EQ(dialog.Combo1->count(), 1);
            dialog.Combo1->setCurrentIndex(0);
            (choose ? dialog.cmdOK : dialog.cmdCancel)->click();
            return dialog.result();
        });
        auto form = MakeForm();
        form->Command1_Click();
        platform::SetDialogScript(previous);
        EXPECT_EQ(shown, 1);
        if (choose) {
            ASSERT_FALSE(link.calls.empty());
            EXPECT_EQ(link.calls[0].detail, "6");
            EXPECT_EQ(Status(*form), "Programming OK");
        } else {
            EXPECT_TRUE(link.calls.empty());   // no port: nothing started
            EXPECT_EQ(Status(*form), "");
            EXPECT_EQ(beeps, 0);
        }
    }
}

} // namespace
