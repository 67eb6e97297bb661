#include "engine/portwindow.h"

#include <exception>

#include "engine/globals.h"
#include "engine/serparse.h"
#include "platform/boxes.h"

int PortWindow::WriteToModem(const std::string& text) {
    if (Suspended) return 2;
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
    lineLost_ = wrongDevice_ = false;
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

bool PortWindow::ReopenLostLine(bool pollTick) {
    if (!lineLost_ || Sending || ModemBusy || Polling) return false;
    if (wrongDevice_ && !pollTick) return false;
    lineLost_ = false;   // a lost line opens again only here
    if (!OpenPort(0)) {
        lineLost_ = true;
        wrongDevice_ = false;   // nothing there now: the next device is asked at once
        return false;
    }
    bool unit = false;
    try {
        unit = IdentifyUnit();
    } catch (const std::exception&) {
        // a line that fails while it is asked is no unit either
    }
    if (!unit) {
        LineLost();
        wrongDevice_ = true;
        return false;
    }
    ReadListOwed = true;   // a read may have been cut off before its delete
    return true;
}

void PortWindow::Timer1Timer() {
    if (NoticeCheckDisabled()) return;
    if (ReopenLostLine(false)) {
        RXPollTimerTimer();   // collects what arrived while the line was away
        return;
    }
    if (!MSComm1.PortOpen() || Sending || ModemBusy || Polling) return;
    RunExchange(ModemBusy, [] { CheckUnsolicited(); });
}

void PortWindow::RXPollTimerTimer() {
    if (PollDisabled()) return;
    ReopenLostLine(true);
    if (!MSComm1.PortOpen() || Sending || ModemBusy || Polling) return;
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
