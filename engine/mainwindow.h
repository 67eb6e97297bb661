// What the engine needs of the main window. The window implements it; tests use fakes.
#pragma once
#include <string>

class IMainWindow {
public:
    virtual ~IMainWindow() = default;

    // 1 written (and traced as sent), 2 not written (suspended, or the port won't open).
    // An error of the serial control while writing reaches the caller.
    virtual int WriteToModem(const std::string& text) = 0;
    // Opens the port when closed and not suspended (n != 0 sets the number first);
    // returns whether it is open. Never raises.
    virtual bool OpenPort(int n) = 0;
    // Closes the port when open and sets the number when n != 0. Never raises.
    virtual void SetPort(int n) = 0;
    // Closes the port when open, always empties ReceiveBuffer; returns whether still open.
    virtual bool ClosePort() = 0;

    // The serial control itself: Input (raises platform::SerialError when it fails, for
    // example on a closed port) and CommPort set.
    virtual std::string ReadInput() = 0;
    virtual void SetCommPort(int n) = 0;

    // The debug pane's trace (does nothing unless the debug setting is on).
    virtual void AddTrace(const std::string& text, bool received) = 0;

    // Files a received message in the Inbox (TMSGFrame1::AddMessage on MSGFrame11). One that
    // the unit reports as read before (readBefore) is not filed again when a message of the
    // same number, date and text is in the Inbox already: it is that one, left on the unit by
    // a collection cut short after the save.
    struct InboxFiling {
        bool added = true;   // it is new in the list
        bool saved = true;   // the Inbox file holds it
    };
    virtual InboxFiling AddInboxMessage(const std::string& number, const std::string& text,
                                        const std::string& date, bool old,
                                        bool readBefore) = 0;
    // 1 normal, 2 mail waiting.
    virtual void ModifyIcon(int kind) = 0;
};

// The one main window the engine talks to; set by the window (or a test) before use.
IMainWindow& MainWindow();
void SetMainWindow(IMainWindow* window);
