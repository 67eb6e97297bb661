// Shared pieces of the dialog tests: a clean global state per test and a main window for
// the engine over a real serial control, recording the port calls the dialogs make.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "engine/serparse.h"
#include "platform/qt/dialogs.h"
#include "platform/serial.h"
#include "tests/support/testenv.h"

namespace dlgtest {

class PortWindow : public IMainWindow {
public:
    platform::CommControl comm;
    std::vector<std::string> calls;   // "Open n", "SetPort n", "Close"

    int WriteToModem(const std::string& text) override {
        if (!OpenPort(0)) return 2;
        comm.Output(text);
        return 1;
    }
    bool OpenPort(int n) override {
        calls.push_back("Open " + std::to_string(n));
        if (!comm.PortOpen()) {
            try {
                if (n != 0) comm.SetCommPort(n);
                comm.SetPortOpen(true);
            } catch (const platform::SerialError&) {
            }
        }
        return comm.PortOpen();
    }
    void SetPort(int n) override {
        calls.push_back("SetPort " + std::to_string(n));
        try {
            if (comm.PortOpen()) comm.SetPortOpen(false);
            if (n != 0) comm.SetCommPort(n);
        } catch (const platform::SerialError&) {
        }
    }
    bool ClosePort() override {
        calls.push_back("Close");
        try {
            if (comm.PortOpen()) comm.SetPortOpen(false);
        } catch (const platform::SerialError&) {
        }
        ReceiveBuffer.clear();
        return comm.PortOpen();
    }
    std::string ReadInput() override { return comm.Input(); }
    void SetCommPort(int n) override { comm.SetCommPort(n); }
    void AddTrace(const std::string&, bool) override {}
    void AddInboxMessage(const std::string&, const std::string&, const std::string&,
                         bool) override {}
    void ModifyIcon(int) override {}
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
        BuildLineEnds();
    }
    void TearDown() override {
        platform::SetDialogScript({});
        SetMainWindow(nullptr);
    }
};

} // namespace dlgtest
