// The updater's window: its controls, the start-up port decision, "AUTO", and the choice of
// the main-code file.
#include <QAction>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>

#include "platform/qt/dialogs.h"
#include "platform/registry.h"
#include "tests/upgrade/uploadrig.h"

using namespace upgrade_test;

namespace {

// Answers modal dialogs through a function and counts them; restores the previous script.
class Dialogs {
public:
    explicit Dialogs(std::function<int(QDialog&)> answer) : answer_(std::move(answer)) {
        previous_ = platform::SetDialogScript([this](QDialog& d) {
            ++shown;
            return answer_(d);
        });
    }
    ~Dialogs() { platform::SetDialogScript(std::move(previous_)); }
    int shown = 0;

private:
    std::function<int(QDialog&)> answer_;
    platform::DialogScript previous_;
};

class Window : public UploadTest {};

TEST_F(Window, StartUpAsksForAPortOnlyWhenTheMainProgramsIsNegative) {
    struct Case {
        const char* name;
        std::optional<platform::RegValue> value;
        int dialogs;
    };
    const Case cases[] = {
        {"dword -1", platform::RegValue::Dword(0xFFFFFFFFu), 1},
        {"dword large negative", platform::RegValue::Dword(0x80000000u), 1},
        {"dword 3", platform::RegValue::Dword(3), 0},
        {"dword above 16 bits", platform::RegValue::Dword(70000), 0},
        {"text -2", platform::RegValue::String("-2"), 1},
        {"garbled text", platform::RegValue::String("COM?"), 0},
        {"other type", platform::RegValue::String("-1", platform::REG_EXPAND_SZ), 0},
        {"missing", std::nullopt, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto key = platform::RegKey::Open("Software\\Hobrin\\Corvane\\1.0", true);
        ASSERT_TRUE(key);
        if (k.value)
            key->Set("port", *k.value);
        else
            key->Remove("port");
        auto form = MakeForm();
        bool visibleAtDialog = true;
        Dialogs dialogs([&](QDialog& d) {
            EXPECT_NE(qobject_cast<upgrade::SerialPort*>(&d), nullptr);
            visibleAtDialog = form->isVisible();
            return int(QDialog::Rejected);
        });
        form->Form_Load();
        EXPECT_EQ(dialogs.shown, k.dialogs);
        if (k.dialogs) {
            EXPECT_FALSE(visibleAtDialog);   // before the window shows
        }
        EXPECT_TRUE(form->isVisible());
        EXPECT_FALSE(form->AutoMode);
    }
}

TEST_F(Window, AutoStartsAtOnceAndEndsTwoSecondsAfterSuccess) {
    WriteFirmware(Pattern(40, 1), Pattern(150, 2));
    auto form = MakeForm("AUTO");
    form->Form_Load();
    EXPECT_TRUE(form->AutoMode);
    EXPECT_TRUE(link.calls.empty());   // the upload starts from the event loop
    QCoreApplication::processEvents();
    EXPECT_EQ(Status(*form), "Programming OK");
    EXPECT_TRUE(form->TimerAuto->isActive());
    EXPECT_EQ(form->TimerAuto->interval(), 2000);
    EXPECT_EQ(form->TimerAuto->timerType(), Qt::PreciseTimer);   // a coarse one ends early
    EXPECT_EQ(ends, 0);
    QMetaObject::invokeMethod(form->TimerAuto, "timeout");   // its first tick
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(form->TimerAuto->isActive());
}

TEST_F(Window, AutoStaysOpenAfterAFailure) {
    WriteFirmware(Pattern(40, 1), Pattern(150, 2));
    link.flashOk = nullptr;
    auto form = MakeForm("AUTO");
    form->Form_Load();
    QCoreApplication::processEvents();
    EXPECT_EQ(Status(*form), "Code Transfer failed");
    EXPECT_FALSE(form->TimerAuto->isActive());
    EXPECT_EQ(ends, 0);
    EXPECT_TRUE(form->Command1->isEnabled());
}

TEST_F(Window, OnlyExactlyAutoIsAnAutomaticStart) {
    WriteFirmware(Pattern(40, 1), Pattern(150, 2));
    for (const char* line : {"auto", "AUTO x", " AUTO", "AUTOMATIC", ""}) {
        SCOPED_TRACE(line);
        auto form = MakeForm(line);
        form->Form_Load();
        QCoreApplication::processEvents();
        EXPECT_FALSE(form->AutoMode);
        EXPECT_TRUE(link.calls.empty());
    }
}

TEST_F(Window, ManualSuccessKeepsTheWindowOpen) {
    WriteFirmware(Pattern(40, 1), Pattern(150, 2));
    auto form = MakeForm();
    form->Form_Load();
    form->Command1->click();
    EXPECT_EQ(Status(*form), "Programming OK");
    EXPECT_FALSE(form->TimerAuto->isActive());
    EXPECT_TRUE(form->Command1->isEnabled());
    EXPECT_FALSE(form->ProgressBar1->isVisibleTo(form.get()));
}

TEST_F(Window, OneHexFileIsTakenOtherwiseTheDialogAsks) {
    const auto code = Pattern(150, 2), other = Pattern(150, 9);
    struct Case {
        const char* name;
        std::vector<std::string> hexFiles;
        int dialogs;
        std::string bootFile = upgrade::kBootLoaderFile;
    };
    const Case cases[] = {
        {"one", {"main.hex"}, 0},
        {"one in capitals", {"MAIN.HEX"}, 0},
        {"boot loader in capitals", {"main.hex"}, 0, "W39L512.DAT"},
        {"none", {}, 1},
        {"two", {"a.hex", "b.hex"}, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::filesystem::remove_all(firmware);
        std::filesystem::create_directories(firmware);
        WriteFile(k.bootFile, HexText(Pattern(40, 1)));
        WriteFile("main.txt", HexText(code));   // no "*.hex": only through the dialog
        for (const auto& name : k.hexFiles) WriteFile(name, HexText(other));
        link.calls.clear();
        QStringList filters;
        Dialogs dialogs([&](QDialog& d) {
            auto& files = dynamic_cast<QFileDialog&>(d);
            filters = files.nameFilters();
            files.selectFile(QString::fromStdString(firmware + "/main.txt"));
            return int(QDialog::Accepted);
        });
        auto form = MakeForm();
        form->Command1_Click();
        EXPECT_EQ(dialogs.shown, k.dialogs);
        if (k.dialogs) {
            EXPECT_EQ(filters, (QStringList{"Hex files (*.hex)", "All Files (*)"}));
        }
        EXPECT_EQ(Status(*form), "Programming OK");
        const auto outs = link.Outputs();
        ASSERT_GE(outs.size(), 5u);
        EXPECT_EQ(outs[4], Str(k.dialogs ? code : other).substr(0, 100));
    }
}

TEST_F(Window, CancelledOrVanishedChoiceChangesNothing) {
    WriteFile(upgrade::kBootLoaderFile, HexText(Pattern(40, 1)));
    struct Case {
        const char* name;
        int answer;
        std::string file;
    };
    const Case cases[] = {
        {"cancelled", QDialog::Rejected, ""},
        {"file gone", QDialog::Accepted, "/gone.hex"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Dialogs dialogs([&](QDialog& d) {
            if (!k.file.empty())
                dynamic_cast<QFileDialog&>(d).selectFile(QString::fromStdString(firmware + k.file));
            return k.answer;
        });
        auto form = MakeForm();
        form->Label1->setText("earlier result");
        form->Command1_Click();
        EXPECT_EQ(dialogs.shown, 1);
        EXPECT_TRUE(link.calls.empty());
        EXPECT_EQ(Status(*form), "earlier result");
        EXPECT_EQ(beeps, 0);
    }
}

TEST_F(Window, ComPortMenuShowsThePortDialog) {
    auto form = MakeForm();
    Dialogs dialogs([](QDialog& d) {
        EXPECT_EQ(d.windowTitle(), "COM port");
        return int(QDialog::Rejected);
    });
    form->mnuComport->trigger();
    EXPECT_EQ(dialogs.shown, 1);
}

} // namespace
