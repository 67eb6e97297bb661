// upgrade as a separate process on a private X server, in "AUTO" mode, against the simulated
// boot loader on a pseudo-terminal: the firmware files it reads, the bytes the unit takes,
// the status it shows and whether it ends by itself.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/settingsstore.h"
#include "tests/e2e/e2e_support.h"
#include "tests/sim/bootsim.h"
#include "tests/support/testenv.h"

namespace {

using namespace std::chrono_literals;
using e2e::XDisplay;
using sim::BootSim;

constexpr int kStartMs = 20000;
// 2 s before the command, 1 s after it, the transfer, and up to two 5 s reply waits.
constexpr int kUploadMs = 40000;
constexpr char kTitle[] = "^Corvane Software Updater";
constexpr uint32_t kRed = 0xFF0000, kGreen = 0x00FF00;

std::vector<uint8_t> Bytes(std::size_t count, unsigned seed) {
    std::vector<uint8_t> v(count);
    for (std::size_t i = 0; i < count; ++i) v[i] = uint8_t((i * 13 + seed * 71 + i / 256) % 256);
    return v;
}

// Data records of 32 bytes from address 0, then the end record.
std::string IntelHex(const std::vector<uint8_t>& data) {
    std::string text;
    char field[16];
    for (std::size_t at = 0; at < data.size(); at += 32) {
        const std::size_t n = std::min<std::size_t>(32, data.size() - at);
        unsigned sum = unsigned(n) + unsigned(at >> 8 & 0xFF) + unsigned(at & 0xFF);
        std::snprintf(field, sizeof field, ":%02X%04X00", unsigned(n), unsigned(at));
        text += field;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(field, sizeof field, "%02X", data[at + i]);
            text += field;
            sum += data[at + i];
        }
        std::snprintf(field, sizeof field, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += field;
    }
    return text + ":00000001FF";
}

// What the unit is sent of such a file: its bytes and the 0 the reader leaves behind the
// last record (sizes here never end on a record of one byte).
std::vector<uint8_t> Image(std::vector<uint8_t> data) {
    data.push_back(0);
    return data;
}

std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class UpgradeRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = XDisplay::MissingTools(); !missing.empty())
            GTEST_SKIP() << "needs " << missing << " (scripts/setup-deps.sh installs them)";
        program_ = e2e::BuiltProgram("upgrade/upgrade");
        ASSERT_FALSE(program_.empty()) << "the upgrade program is not built beside the tests";
        env_ = std::make_unique<testing_support::TestEnv>();
        firmware_ = env_->root() + "/firmware";
        std::filesystem::create_directories(firmware_);
        WriteFile(firmware_ + "/W39L512.dat", IntelHex(boot_));
        WriteFile(firmware_ + "/unit-2.1.hex", IntelHex(code_));
        // The updater's own port setting; the client's "port" value is absent.
        ASSERT_TRUE(platform::SaveSetting("VardelUPG", "Port", "COMport", "4"));
        unit_ = std::make_unique<BootSim>();
        unit_->SetImages(Image(boot_), Image(code_));
        unit_->LinkAsCom(env_->ports(), 4);
        display_ = std::make_unique<XDisplay>(env_->root() + "/x");
    }

    void TearDown() override {
        if (HasFailure() && app_.pid() > 0) {
            std::ostringstream faults;
            if (unit_)
                for (const std::string& f : unit_->Faults()) faults << "  " << f << "\n";
            ADD_FAILURE() << "upgrade's output:\n" << app_.Log() << "\nthe unit's faults:\n"
                          << faults.str();
        }
        app_.Stop();
        display_.reset();
        if (unit_) unit_->Stop();
        unit_.reset();
        env_.reset();
    }

    void StartAuto() {
        unit_->Start();
        app_.Start({program_, "AUTO"},
                   display_->Environment({{"CORVANE_FIRMWARE_DIR", firmware_}}),
                   env_->root() + "/upgrade.log", env_->root());
    }

    // Pixels of the status colour in the window (0 when the screen cannot be read).
    std::size_t ColourInWindow(const e2e::Geometry& where, uint32_t colour) {
        try {
            return display_->Screenshot().Count(colour, where.x, where.y, where.width,
                                                where.height);
        } catch (const std::exception&) {
            return 0;
        }
    }

    std::string Expected() const {
        const std::size_t bootTrailer = Image(boot_).size() + 258;
        const std::size_t codeLength = Image(code_).size();
        return "ATE0+XLDR\r" + Str(Image(boot_)) + char(bootTrailer >> 8) +
               char(bootTrailer & 0xFF) + char(codeLength & 0xFF) + char(codeLength >> 8) +
               std::string(2, '\0') + Str(Image(code_));
    }

    const std::vector<uint8_t> boot_ = Bytes(1800, 1);
    const std::vector<uint8_t> code_ = Bytes(7010, 2);
    std::string program_;
    std::string firmware_;
    std::unique_ptr<testing_support::TestEnv> env_;
    std::unique_ptr<BootSim> unit_;
    std::unique_ptr<XDisplay> display_;
    e2e::Process app_;
};

// Started with "AUTO", the updater flashes both images at once, shows its success in green
// and ends by itself with exit code 0.
TEST_F(UpgradeRun, AutoModeFlashesTheUnitAndEndsByItself) {
    StartAuto();
    const std::string window = display_->WaitForWindow(kTitle, kStartMs);
    ASSERT_FALSE(window.empty()) << "the updater's window did not come up";
    const auto where = display_->WindowGeometry(window);
    ASSERT_TRUE(where);

    // The green status stays up for two seconds before the program ends.
    bool sawGreen = false;
    const bool ended = e2e::WaitUntil(
        [&] {
            if (!sawGreen && unit_->State().stage == BootSim::Stage::Done)
                sawGreen = ColourInWindow(*where, kGreen) > 200;
            return !app_.Running();
        },
        kUploadMs, 100);
    ASSERT_TRUE(ended) << "the updater did not end by itself";
    EXPECT_EQ(app_.WaitExit(0), 0);
    EXPECT_TRUE(sawGreen) << "no green status was seen";

    EXPECT_EQ(unit_->State().stage, BootSim::Stage::Done);
    for (const std::string& fault : unit_->Faults()) ADD_FAILURE() << fault;
    const std::string received = unit_->Received();
    EXPECT_EQ(received.size(), Expected().size());
    EXPECT_TRUE(received == Expected()) << "the unit took other bytes than the images";
    const auto settings = unit_->LineSettings();
    EXPECT_EQ(settings.at(BootSim::Stage::Command), std::set<std::string>{"2400,n,8,1"});
    EXPECT_EQ(settings.at(BootSim::Stage::MainCode), std::set<std::string>{"19200,n,8,1"});
}

// When the unit does not answer, the failure shows in red and the program stays open for the
// user to see it.
TEST_F(UpgradeRun, AutoModeShowsAFailureInRedAndStaysOpen) {
    struct Case {
        const char* name;
        bool fatStub;   // false: no "FAT STUB"; true: "FAT STUB" but no "FLASH OK"
        BootSim::Stage reached;
    };
    const Case cases[] = {
        {"no FAT STUB", false, BootSim::Stage::CodeLength},
        {"no FLASH OK", true, BootSim::Stage::Done},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        if (i > 0) {   // a fresh unit and program for each case
            app_.Stop();
            unit_ = std::make_unique<BootSim>();
            unit_->SetImages(Image(boot_), Image(code_));
            unit_->LinkAsCom(env_->ports(), 4);
        }
        unit_->SetFatStubReply(c.fatStub ? BootSim::Reply::Proper : BootSim::Reply::None);
        unit_->SetFlashOkReply(BootSim::Reply::None);
        StartAuto();
        const std::string window = display_->WaitForWindow(kTitle, kStartMs);
        ASSERT_FALSE(window.empty()) << "the updater's window did not come up";
        const auto where = display_->WindowGeometry(window);
        ASSERT_TRUE(where);

        EXPECT_TRUE(e2e::WaitUntil([&] { return ColourInWindow(*where, kRed) > 200; },
                                   kUploadMs, 250))
            << "no red status was seen";
        EXPECT_TRUE(app_.Running()) << "the updater ended after a failure";
        EXPECT_EQ(unit_->State().stage, c.reached);
        EXPECT_EQ(ColourInWindow(*where, kGreen), 0u);
    }
}

} // namespace
