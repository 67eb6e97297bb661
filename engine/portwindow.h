// The main window's serial port, free of any window: the one control and the rules for
// opening, re-targeting, closing and writing it, and the receive event's read. The main
// window derives from it and adds the trace, the Inbox and the tray icon; so do the test
// windows that run the engine against a real line.
#pragma once
#include <string>

#include "engine/mainwindow.h"
#include "platform/serial.h"

class PortWindow : public IMainWindow {
public:
    // The serial port control.
    platform::CommControl MSComm1;

    // Nothing is written while Suspended; a closed port is opened first on the current
    // number. The text is traced as sent before it goes out; a failed write reaches the
    // caller.
    int WriteToModem(const std::string& text) override;
    // Opens a closed port unless Suspended (n != 0 sets the number first); an open port
    // keeps its number. Errors of the control are dropped; the result is read back.
    bool OpenPort(int n) override;
    // Closes the port and sets the number for the next opening (n != 0).
    void SetPort(int n) override;
    // Closes the port when open and empties ReceiveBuffer; returns whether still open.
    // A close asked for from outside also ends a lost line's wait to be reopened.
    bool ClosePort() override;
    // A failure of the open port (the line went dead) is taken as LineLost, then raised.
    std::string ReadInput() override;
    void SetCommPort(int n) override;

    // The receive event's work: reads Input, traces it as received and appends it to
    // ReceiveBuffer. An error of the control reaches the caller.
    void ReadReceived();

    // The line went dead under the open port (the unit hung up, a read or write failed, or
    // the event pump gave up on the line): closes the port so that the next opening starts
    // afresh, and holds the lost state until ReopenLostLine brings the port back.
    void LineLost();
    bool LineIsLost() const { return lineLost_; }
    // Run by the receive timers: while the line is lost, not Suspended and no exchange
    // runs, opens the port again on the current number. True when it is open again; the
    // lost state is then over and the caller collects what arrived meanwhile.
    bool ReopenLostLine();

private:
    bool lineLost_ = false;
};
