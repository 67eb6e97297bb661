// Shared pieces of the dialog tests: a clean global state per test and a main window for
// the engine over a real serial control, recording the port calls the dialogs make.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "engine/portwindow.h"
#include "engine/serparse.h"
#include "platform/qt/dialogs.h"
#include "platform/serial.h"
#include "tests/support/testenv.h"

namespace dlgtest {

// The main window's port rules; records the port calls made from outside ("Open n",
// "SetPort n", "Close"), not the close that SetPort makes itself.
class PortWindow : public ::PortWindow {
public:
    std::vector<std::string> calls;

    bool OpenPort(int n) override {
        calls.push_back("Open " + std::to_string(n));
        return ::PortWindow::OpenPort(n);
    }
    void SetPort(int n) override {
        calls.push_back("SetPort " + std::to_string(n));
        inSetPort_ = true;
        ::PortWindow::SetPort(n);   // never raises
        inSetPort_ = false;
    }
    bool ClosePort() override {
        if (!inSetPort_) calls.push_back("Close");
        return ::PortWindow::ClosePort();
    }
    void AddTrace(const std::string&, bool) override {}
    InboxFiling AddInboxMessage(const std::string&, const std::string&, const std::string&,
                                bool, bool) override {
        return {};
    }
    void ModifyIcon(int) override {}

private:
    bool inSetPort_ = false;
};

// A private environment where no COM number maps to a device unless a test maps it, the
// shared state at its start values, and no dialog script left behind.
class DialogTest : public ::testing::Test {
protected:
    testing_support::TestEnv env;

    void SetUp() override {
        for (int n = 1; n <= 49; ++n) env.MapCom(n, env.root() + "/no-device");
        Settings = SettingsRecord{};
        Settings.ModemVersion = "0000";
        Sending = ModemBusy = ModemFound = false;
        ReceiveBuffer.clear();
        PendingDeleteAnswers = 0;
        ReadListOwed = false;
        BuildLineEnds();
    }
    void TearDown() override {
        platform::SetDialogScript({});
        SetMainWindow(nullptr);
    }
};

} // namespace dlgtest
