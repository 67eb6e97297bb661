#include "engine/portwindow.h"

#include <exception>

#include "engine/globals.h"
#include "engine/serparse.h"

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
    if (!MSComm1.PortOpen() && !Suspended) {
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
    lineLost_ = false;
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

bool PortWindow::ReopenLostLine() {
    if (!lineLost_ || Sending || ModemBusy || Polling) return false;
    if (!OpenPort(0)) return false;
    lineLost_ = false;
    return true;
}
