// The settings dialog and the password prompt: filling, password rules, the port change
// with and without the unit, the outside settings program.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "client/config.h"
#include "client/passwd.h"
#include "engine/settings.h"
#include "tests/client/dlg_support.h"
#include "tests/sim/modemsim.h"
#include "tests/support/pty.h"

namespace {

using testing_support::BoxScript;
namespace fs = std::filesystem;

class OptionsTest : public dlgtest::DialogTest {
protected:
    dlgtest::PortWindow window;
    std::unique_ptr<TFormOptions> opts;
    int closes = 0;

    void SetUp() override {
        DialogTest::SetUp();
        SetMainWindow(&window);
        opts = std::make_unique<TFormOptions>();
        QObject::connect(opts.get(), &QDialog::finished, [this] { ++closes; });
    }
    void TearDown() override {
        SetAdvancedToolDir("");
        opts.reset();
        DialogTest::TearDown();
    }
    void Pick(const QString& entry) {
        const int i = opts->cmbport->findText(entry);
        ASSERT_GE(i, 0) << entry.toStdString();
        opts->cmbport->setCurrentIndex(i);
        emit opts->cmbport->activated(i);
    }
    std::string WriteTool(const std::string& body) {
        const std::string dir = env.root() + "/bin";
        fs::create_directories(dir);
        std::ofstream(dir + "/Corvanecfg") << "#!/bin/sh\n" << body;
        fs::permissions(dir + "/Corvanecfg", fs::perms::owner_all);
        SetAdvancedToolDir(dir);
        return dir;
    }
};

TEST_F(OptionsTest, ShowingFillsFromTheSettingsAndListsExistingPorts) {
    testing_support::TestPty two, five;
    env.MapCom(2, two.slavePath());
    env.MapCom(5, five.slavePath());
    Settings = {"ATE0", "Regards\r\nJo", "0000", "secret", true, true, false, false, 7};
    for (bool usePass : {false, true}) {
        Settings.UsePass = usePass;
        opts->FormShow();
        EXPECT_EQ(opts->txtInit->text(), "ATE0");
        EXPECT_TRUE(opts->chkPDU->isChecked());
        EXPECT_TRUE(opts->chkPDU->isHidden());
        EXPECT_EQ(opts->MemoSig->toPlainText(), "Regards\nJo");
        EXPECT_TRUE(opts->chkClearCompose->isChecked());
        EXPECT_EQ(opts->chkpass->isChecked(), usePass);
        EXPECT_EQ(opts->EditPass->text(), usePass ? "secret" : "");
        EXPECT_EQ(opts->EditPass2->text(), usePass ? "secret" : "");
        EXPECT_EQ(opts->EditPass->echoMode(), QLineEdit::Password);
        EXPECT_EQ(opts->EditPass2->displayText(), usePass ? "******" : "");
        for (QWidget* w : {(QWidget*)opts->EditPass, (QWidget*)opts->EditPass2,
                           (QWidget*)opts->lblpass1, (QWidget*)opts->lblpass2})
            EXPECT_EQ(w->isEnabled(), usePass);
        ASSERT_EQ(opts->cmbport->count(), 2);
        EXPECT_EQ(opts->cmbport->itemText(0), "COM2");
        EXPECT_EQ(opts->cmbport->itemText(1), "COM5");
        EXPECT_EQ(opts->cmbport->currentIndex(), -1);
        EXPECT_EQ(opts->cmbport->currentText(), "COM7");   // in use, though not listed
    }
}

TEST_F(OptionsTest, PasswordRules) {
    struct Case { bool check; const char* pass; const char* repeat; const char* box; };
    const Case cases[] = {
        {true, "", "", "No Password entered"},
        {true, "", "x", "No Password entered"},
        {true, "Ab", "ab", "Passwords do not match"},
        {true, "pw", "pw", nullptr},
        {false, "typed", "other", nullptr},   // kept, though not in force
    };
    for (const Case& c : cases) {
        Settings.Password = "before";
        Settings.UsePass = false;
        closes = 0;
        opts->FormShow();
        opts->chkpass->setChecked(c.check);
        opts->chkpassClick();
        opts->EditPass->setText(c.pass);
        opts->EditPass2->setText(c.repeat);
        opts->txtInit->setText("AT+NEW");
        BoxScript boxes;
        if (c.box) boxes.Expect(c.box);
        opts->btnOKClick();
        EXPECT_EQ(boxes.pending(), 0) << c.pass;
        EXPECT_EQ(closes, c.box ? 0 : 1) << c.pass;
        EXPECT_EQ(Settings.Password, c.box ? "before" : c.pass);
        EXPECT_EQ(Settings.UsePass, !c.box && c.check);
        EXPECT_EQ(Settings.Init, c.box ? "" : "AT+NEW");
    }
    // Stored, and read back from the registry as saved.
    Settings = SettingsRecord{};
    LoadSettings();
    EXPECT_EQ(Settings.Password, "typed");
    EXPECT_FALSE(Settings.UsePass);
    EXPECT_EQ(Settings.Init, "AT+NEW");
}

TEST_F(OptionsTest, PortChangeProbesTheUnit) {
    sim::ModemSim unit;
    unit.SetVersion("2.31");
    unit.LinkAsCom(env.ports(), 2);
    unit.Start();
    testing_support::TestPty silent;
    env.MapCom(3, silent.slavePath());
    Settings.Port = 1;

    struct Case {
        const char* pick; const char* box; int port; bool probed; const char* typed; bool lost;
    };
    const Case cases[] = {
        {"COM2", nullptr, 2, true, nullptr, false},
        {"COM2", nullptr, 2, false, nullptr, false},   // the port in use: closed and reopened only
        {"COM2", nullptr, 2, false, nullptr, true},    // the same, its line lost: opened again
        {"COM3", "The Corvane modem unit was not found on your chosen port.", 3, true, nullptr,
         false},
        {nullptr, nullptr, 3, false, nullptr, false},  // nothing picked: the port stays as it was
        {nullptr, nullptr, 3, false, "com2", false},   // typed and Enter: the box selects, no pick
    };
    for (const Case& c : cases) {
        unit.ClearLog();
        if (c.lost) window.LineLost();
        window.calls.clear();
        opts->FormShow();
        if (c.pick) {
            Pick(c.pick);
        } else if (c.typed) {
            QLineEdit* edit = opts->cmbport->lineEdit();
            edit->selectAll();
            for (const QChar ch : QString(c.typed)) {
                QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
                QApplication::sendEvent(edit, &key);
            }
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(edit, &enter);
            ASSERT_EQ(opts->cmbport->currentText(), "COM2");   // Qt selected the entry
        } else {
            opts->cmbport->setEditText("COM2");   // typed text does not count
        }
        BoxScript boxes;
        if (c.box) boxes.Expect(c.box);
        opts->btnOKClick();
        EXPECT_EQ(boxes.pending(), 0);
        EXPECT_EQ(Settings.Port, c.port);
        bool asked = false;
        for (const std::string& cmd : unit.Commands()) asked |= cmd.rfind("ATI9", 0) == 0;
        EXPECT_EQ(asked, c.probed && c.port == 2) << (c.pick ? c.pick : "none");
        if (c.pick) {
            const std::string port = std::to_string(c.port);
            ASSERT_GE(window.calls.size(), 2u);
            EXPECT_EQ(window.calls[window.calls.size() - 2], "SetPort " + port);
            EXPECT_EQ(window.calls.back(), "Open " + port);
            EXPECT_TRUE(window.MSComm1.PortOpen());
            EXPECT_EQ(window.MSComm1.CommPort(), c.port);
        } else {
            EXPECT_TRUE(window.calls.empty());
        }
    }
    EXPECT_EQ(Settings.ModemVersion, "2.31");
    Settings.Port = 0;
    LoadSettings();
    EXPECT_EQ(Settings.Port, 3);
}

TEST_F(OptionsTest, AdvancedRunsTheOutsideProgramWithThePortReleased) {
    const std::string dir = WriteTool(
        "echo \"$@\" > \"$(dirname \"$0\")/args\"\n"
        "i=0; while [ ! -f \"$(dirname \"$0\")/go\" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n");
    bool runningSeen = false, enabledSeen = true;
    std::vector<std::string> callsWhileRunning;
    QTimer::singleShot(0, [&] {
        runningSeen = opts->RunningTool;
        enabledSeen = opts->isEnabled();
        callsWhileRunning = window.calls;
        opts->btnCancelClick();      // no close while the program runs
        opts->btnAdvancedClick();    // and no second start
        std::ofstream(dir + "/go") << "";
    });
    opts->btnAdvancedClick();
    EXPECT_TRUE(runningSeen);
    EXPECT_FALSE(enabledSeen);
    EXPECT_EQ(callsWhileRunning, std::vector<std::string>{"Close"});
    EXPECT_EQ(closes, 0);
    std::ifstream args(dir + "/args");
    std::string line;
    std::getline(args, line);
    EXPECT_EQ(line, "corvane");
    EXPECT_FALSE(opts->RunningTool);
    EXPECT_TRUE(opts->isEnabled());
    EXPECT_EQ(window.calls, (std::vector<std::string>{"Close", "Open 0"}));
    opts->btnCancelClick();
    EXPECT_EQ(closes, 1);
}

TEST_F(OptionsTest, AdvancedThatCannotStartSaysNothingAndReopensThePort) {
    const std::string dir = WriteTool("exit 0\n");
    fs::permissions(dir + "/Corvanecfg", fs::perms::owner_read | fs::perms::owner_write);
    for (bool present : {false, true}) {
        SCOPED_TRACE(present ? "not runnable" : "missing");
        if (!present) SetAdvancedToolDir(env.root() + "/empty");
        else SetAdvancedToolDir(dir);
        window.calls.clear();
        BoxScript boxes;   // no box at all
        opts->btnAdvancedClick();
        EXPECT_TRUE(boxes.shown().empty());
        EXPECT_EQ(window.calls, (std::vector<std::string>{"Close", "Open 0"}));
        EXPECT_FALSE(opts->RunningTool);
        EXPECT_TRUE(opts->isEnabled());
    }
}

TEST(PasswordPrompt, EndsThroughOkOnly) {
    TFrmPass prompt;
    EXPECT_EQ(prompt.windowTitle(), "Password");
    EXPECT_EQ(prompt.lblinfo->text(), "To change the settings you must enter your password");
    EXPECT_EQ(prompt.EditPass->echoMode(), QLineEdit::Password);
    prompt.show();
    prompt.setWindowState(Qt::WindowMaximized);   // offered by the window manager
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(prompt.isMaximized());
    prompt.close();
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&prompt, &esc);
    EXPECT_TRUE(prompt.isVisible());
    prompt.EditPass->setText("pw");
    EXPECT_EQ(prompt.EditPass->displayText(), "**");
    prompt.btnOK->click();
    EXPECT_FALSE(prompt.isVisible());
    EXPECT_EQ(prompt.EditPass->text(), "pw");
}

} // namespace
