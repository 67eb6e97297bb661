// The main window's serial port, free of any window: the one control and the rules for
// opening, re-targeting, closing and writing it, and the receive event's read. The main
// window derives from it and adds the trace, the Inbox and the tray icon; so do the test
// windows that run the engine against a real line.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "engine/mainwindow.h"
#include "platform/serial.h"

class PortWindow : public IMainWindow {
public:
    // The serial port control.
    platform::CommControl MSComm1;

    // Nothing is written while Suspended; a closed port is opened first on the current
    // number. A lost line is first reopened and asked whether the unit is on it (unless a
    // receiving exchange runs, which the loss has ended): another device refuses the write.
    // The text is traced as sent before it goes out; a failed write reaches the caller.
    int WriteToModem(const std::string& text) override;
    // Opens a closed port unless Suspended or the line is lost (n != 0 sets the number
    // first); an open port keeps its number. Errors of the control are dropped; the result
    // is read back. A lost line opens again only where the unit is first asked whether it
    // is there (a write, ReopenLostLine), so that nothing takes another device.
    bool OpenPort(int n) override;
    // Closes the port and sets the number for the next opening (n != 0).
    // Like a close asked for from outside, it ends a lost line's wait to be reopened.
    void SetPort(int n) override;
    // Closes the port when open and empties ReceiveBuffer; returns whether still open.
    bool ClosePort() override;
    // A failure of the open port (the line went dead) is taken as LineLost, then raised.
    std::string ReadInput() override;
    void SetCommPort(int n) override;

    // The receive event's work: reads Input, traces it as received and appends it to
    // ReceiveBuffer. An error of the control reaches the caller.
    void ReadReceived();

    // The line went dead under the open port (the unit hung up, a read or write failed, or
    // the event pump gave up on the line): closes the port so that the next opening starts
    // afresh, and holds the lost state until a reopen finds the unit on it again.
    void LineLost();
    bool LineIsLost() const { return lineLost_; }
    // The event pump saw the line hang up: what the line still held goes to ReceiveBuffer,
    // then the line's failure is raised (and the line taken as lost), for the one box that
    // tells the user.
    void LineHungUp();
    // Run by the receive timers: while the line is lost, not Suspended and no exchange runs,
    // reopens it (ReopenLine). A device that did not answer as the unit is asked again only
    // after a pause that doubles from 1 s up to the poll's 60 s.
    bool ReopenLostLine();
    // Milliseconds until a device that did not answer as the unit is asked again; 0 when
    // nothing waits for that.
    int64_t NextAskInMs() const;

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
    // Opens a lost line again on the current number and asks the device there whether it
    // is the unit (IdentifyUnit). True when it is: the lost state is over, the port stays
    // open, and the next tick collects what arrived meanwhile (that poll also lists the
    // messages the unit holds as read). Any other device is closed again.
    bool ReopenLine();
    void EndLostState();

    bool lineLost_ = false;
    bool collectOwed_ = false;   // the line came back; the next tick polls
    int64_t askPauseMs_ = 0;     // the last pause before a device is asked again; 0: none
    int64_t nextAskMs_ = 0;      // when it is asked again
};
