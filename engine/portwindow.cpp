#include "engine/portwindow.h"

#include <algorithm>
#include <exception>

#include "engine/globals.h"
#include "engine/serparse.h"
#include "platform/boxes.h"
#include "platform/clock.h"

namespace {
// A device that did not answer as the unit is asked again after 1 s, then after twice the
// last pause, up to the poll's interval.
constexpr int64_t kFirstAskPauseMs = 1000;
constexpr int64_t kLastAskPauseMs = 60000;
} // namespace

int PortWindow::WriteToModem(const std::string& text) {
    if (Suspended) return 2;
    if (lineLost_ && !ModemBusy && !Polling && !ReopenLine()) return 2;
    if (!OpenPort(0)) return 2;
    AddTrace(text, false);
    try {
        MSComm1.Output(text);
    } catch (const platform::SerialError&) {
        LineLost();
        throw;
    }
    return 1;
}

bool PortWindow::OpenPort(int n) {
    if (!MSComm1.PortOpen() && !Suspended && !lineLost_) {
        try {
            if (n != 0) MSComm1.SetCommPort(n);
            MSComm1.SetPortOpen(true);
        } catch (const std::exception&) {
            // the outcome is read back below
        }
    }
    return MSComm1.PortOpen();
}

void PortWindow::SetPort(int n) {
    EndLostState();
    try {
        if (MSComm1.PortOpen()) ClosePort();
        if (n != 0) MSComm1.SetCommPort(n);
    } catch (const std::exception&) {
    }
}

bool PortWindow::ClosePort() {
    if (MSComm1.PortOpen()) {
        try {
            MSComm1.SetPortOpen(false);
        } catch (const std::exception&) {
        }
    }
    ReceiveBuffer.clear();
    PendingDeleteAnswers = 0;
    EndLostState();
    return MSComm1.PortOpen();
}

std::string PortWindow::ReadInput() {
    // An open port fails a read only when its line is dead.
    const bool open = MSComm1.PortOpen();
    try {
        return MSComm1.Input();
    } catch (const platform::SerialError&) {
        if (open) LineLost();
        throw;
    }
}

void PortWindow::SetCommPort(int n) { MSComm1.SetCommPort(n); }

void PortWindow::ReadReceived() {
    const std::string text = ReadInput();
    if (text.empty()) return;
    AddTrace(text, true);
    AppendReceived(text);
}

void PortWindow::LineLost() {
    ClosePort();
    lineLost_ = true;
}

void PortWindow::LineHungUp() {
    // Input hands out what came before the hang-up; the next read raises the failure.
    for (int i = 0; i < 2 && MSComm1.PortOpen(); ++i) ReadReceived();
    LineLost();
}

void PortWindow::EndLostState() {
    lineLost_ = false;
    askPauseMs_ = 0;
}

int64_t PortWindow::NextAskInMs() const {
    if (!lineLost_ || askPauseMs_ == 0) return 0;
    return std::max<int64_t>(0, nextAskMs_ - platform::clock().NowMs());
}

bool PortWindow::ReopenLostLine() {
    if (!lineLost_ || Sending || ModemBusy || Polling) return false;
    if (NextAskInMs() > 0) return false;
    return ReopenLine();
}

bool PortWindow::ReopenLine() {
    lineLost_ = false;   // so that the port opens and the question is written
    if (!OpenPort(0)) {
        lineLost_ = true;
        askPauseMs_ = 0;   // nothing there now: the next device is asked at once
        return false;
    }
    bool unit = false;
    try {
        unit = IdentifyUnit();
    } catch (const std::exception&) {
        // a line that fails while it is asked is no unit either
    }
    if (!unit) {
        const int64_t pause = std::clamp<int64_t>(askPauseMs_ * 2, kFirstAskPauseMs, kLastAskPauseMs);
        LineLost();
        askPauseMs_ = pause;
        nextAskMs_ = platform::clock().NowMs() + pause;
        return false;
    }
    askPauseMs_ = 0;
    ReadListOwed = true;   // a read may have been cut off before its delete
    collectOwed_ = true;
    return true;
}

void PortWindow::Timer1Timer() {
    if (NoticeCheckDisabled()) return;
    ReopenLostLine();
    if (collectOwed_ && !PollDisabled()) {
        RXPollTimerTimer();   // collects what arrived while the line was away
        return;
    }
    if (!MSComm1.PortOpen() || Sending || ModemBusy || Polling) return;
    RunExchange(ModemBusy, [] { CheckUnsolicited(); });
}

void PortWindow::RXPollTimerTimer() {
    if (PollDisabled()) return;
    ReopenLostLine();
    if (!MSComm1.PortOpen() || Sending || ModemBusy || Polling) return;
    collectOwed_ = false;
    RunExchange(Polling, [] { PollUnread(); });
}

void PortWindow::ShowExchangeError(const std::string& text) {
    platform::MessageBox(text, "Error");
}

void PortWindow::RunExchange(bool& flag, const std::function<void()>& work) {
    std::string error;
    std::vector<platform::BoxRequest> kept;
    {
        platform::BoxHold hold;
        flag = true;
        try {
            work();
        } catch (const platform::UnansweredBox&) {
            flag = ModemBusy = false;
            throw;
        } catch (const std::exception& e) {
            error = e.what();
        }
        flag = ModemBusy = false;
        kept = hold.Take();
    }
    for (const platform::BoxRequest& box : kept) platform::MessageBox(box.text, box.caption);
    if (!error.empty()) ShowExchangeError(error);
}
