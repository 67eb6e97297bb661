// Shared pieces of the main window tests: the shared state at its start values, a private
// environment, the quit request recorded instead of ending the test program, and a way to
// let the simulated unit's answers arrive.
#pragma once
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>
#include <memory>
#include <string>

#include "client/dbgframe.h"
#include "client/mainunit.h"
#include "engine/globals.h"
#include "engine/serparse.h"
#include "engine/settings.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/help.h"
#include "tests/sim/modemsim.h"
#include "tests/support/testenv.h"

namespace maintest {

inline void ResetGlobals() {
    Settings = SettingsRecord{};
    ModemBusy = MailWaiting = ModemFound = Polling = Sending = Suspended = false;
    ExitRequested = false;
    CurrentView = 0;
    ReceiveBuffer.clear();
    LastResponse.clear();
    PendingDeleteAnswers = 0;
    ReadListOwed = false;
    BuildLineEnds();
}

// Processes events until the condition holds; the simulated unit answers from its own
// thread, so this is the one place where real time passes. False when it never held.
inline bool WaitUntil(const std::function<bool()>& condition, int limitMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& line : lines)
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

class MainTest : public ::testing::Test {
protected:
    testing_support::TestEnv env;
    std::unique_ptr<TMainForm> form;
    int quits = 0;

    void SetUp() override {
        ResetGlobals();
        oldQuit_ = SetQuitHook([this] { ++quits; });
    }
    void TearDown() override {
        form.reset();
        SetQuitHook(oldQuit_);
        platform::SetDialogScript({});
        platform::SetHelpOpener({});
        ResetGlobals();
    }

    // The window as its constructor leaves it, before the creation handler.
    TMainForm& Make() {
        form = std::make_unique<TMainForm>();
        return *form;
    }
    // Stores the port in the registry as a saved settings record.
    static void SavePort(int n) {
        Settings.Port = n;
        SaveSettings();
        Settings = SettingsRecord{};
    }
    // A running unit on COM<n>.
    std::unique_ptr<sim::ModemSim> Unit(int n) {
        auto unit = std::make_unique<sim::ModemSim>();
        unit->LinkAsCom(env.ports(), n);
        unit->Start();
        return unit;
    }

private:
    std::function<void()> oldQuit_;
};

} // namespace maintest
