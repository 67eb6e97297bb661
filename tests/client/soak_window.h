// A main window for the receive soak: a real serial control and a real Inbox pane, with the
// main window's port rules and timer ticks, and its receive event as the event pump raises
// it, driven by hand instead of by a Qt main window.
#pragma once
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "client/msgframe.h"
#include "engine/globals.h"
#include "engine/portwindow.h"
#include "engine/serparse.h"
#include "platform/boxes.h"
#include "platform/serial.h"

namespace soak {

class SoakWindow : public PortWindow {
public:
    TMSGFrame1 inbox;

    int lines = 0;                  // command lines written to the unit
    std::string lastCommand;        // the last of them
    std::vector<int> icons;         // ModifyIcon calls
    int filedByNotice = 0;          // messages filed by a notice's read
    int filedByPoll = 0;            // the others

    SoakWindow() {
        inbox.LoadFromFile("inbox.csv", true);
        MSComm1.OnComm = [this] { ReadReceived(); };
    }

    // ---- IMainWindow: the main window's port rules, counting the lines written ----

    int WriteToModem(const std::string& text) override {
        const int result = PortWindow::WriteToModem(text);
        if (result == 1) {
            ++lines;
            lastCommand = text;
        }
        return result;
    }
    void AddTrace(const std::string&, bool) override {}
    InboxFiling AddInboxMessage(const std::string& number, const std::string& text,
                                const std::string& date, bool old, bool readBefore) override {
        const InboxFiling filing = inbox.AddReceived(number, text, date, old, readBefore);
        if (filing.added) (Polling ? filedByPoll : filedByNotice)++;
        return filing;
    }
    void ModifyIcon(int kind) override { icons.push_back(kind); }

    // ---- The event loop's side ----

    // The event pump's turn: what the line holds goes to ReceiveBuffer through the receive
    // event; a line that hung up under the open port is given up as lost.
    void ReceiveEvent() {
        if (MSComm1.PortOpen() && !MSComm1.DispatchReadable() && MSComm1.PortOpen())
            Guarded([this] { LineHungUp(); });
    }

private:
    // An error that escapes a handler is shown in a box captioned "Error".
    static void Guarded(const std::function<void()>& work) {
        try {
            work();
        } catch (const platform::UnansweredBox&) {
            throw;
        } catch (const std::exception& e) {
            platform::MessageBox(e.what(), "Error");
        }
    }
};

} // namespace soak
