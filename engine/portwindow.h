// The main window's serial port, free of any window: the one control and the rules for
// opening, re-targeting, closing and writing it, and the receive event's read. The main
// window derives from it and adds the trace, the Inbox and the tray icon; so do the test
// windows that run the engine against a real line.
#pragma once
#include <functional>
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
    // Opens a closed port unless Suspended or the line is lost (n != 0 sets the number
    // first); an open port keeps its number. Errors of the control are dropped; the result
    // is read back. A lost line opens again only through ReopenLostLine, which first asks
    // whether the unit is there, so neither a write nor a poll takes another device.
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
    // The event pump saw the line hang up: what the line still held goes to ReceiveBuffer,
    // then the line's failure is raised (and the line taken as lost), for the one box that
    // tells the user.
    void LineHungUp();
    // Run by the receive timers: while the line is lost, not Suspended and no exchange runs,
    // opens the port again on the current number and asks the device there whether it is
    // the unit (IdentifyUnit). True when it is: the lost state is over, the port stays open
    // and the caller collects what arrived meanwhile (the next poll also lists the messages
    // the unit holds as read). Any other device is closed again and
    // left alone, and is asked again only by a poll tick (pollTick), so that it costs no
    // probe every 250 ms.
    bool ReopenLostLine(bool pollTick);

    // The receive timers' ticks: Timer1 (250 ms) checks for notices, RXPollTimer (60 s) polls.
    // A tick does nothing while its Disable box is ticked; otherwise it reopens a lost line
    // first, and then starts its exchange when the port is open and no exchange runs
    // (Sending, ModemBusy, Polling).
    void Timer1Timer();
    void RXPollTimerTimer();

protected:
    // The debug pane's "Disable CMT detection" and "Disable Polling"; clear by default.
    virtual bool NoticeCheckDisabled() const { return false; }
    virtual bool PollDisabled() const { return false; }
    // Tells the user of an error that ended an exchange: an "Error" box.
    virtual void ShowExchangeError(const std::string& text);
    // Runs one receiving exchange with flag set. Its boxes (the error that ended it, an
    // Inbox that could not be saved) are shown only once flag and ModemBusy are clear again,
    // so that nothing waits on a box: collecting, reopening and saving go on under it.
    void RunExchange(bool& flag, const std::function<void()>& work);

private:
    bool lineLost_ = false;
    bool wrongDevice_ = false;   // the last reopen found a device that is not the unit
};
