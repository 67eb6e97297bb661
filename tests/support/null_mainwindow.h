// A main window that does nothing: no port, no trace, no Inbox. Fakes that care about one
// call derive from it and override that call.
#pragma once
#include <string>

#include "engine/mainwindow.h"

class NullMainWindow : public IMainWindow {
public:
    int WriteToModem(const std::string&) override { return 2; }
    bool OpenPort(int) override { return false; }
    void SetPort(int) override {}
    bool ClosePort() override { return false; }
    std::string ReadInput() override { return ""; }
    void SetCommPort(int) override {}
    void AddTrace(const std::string&, bool) override {}
    InboxFiling AddInboxMessage(const std::string&, const std::string&, const std::string&,
                                bool, bool) override {
        return {};
    }
    void ModifyIcon(int) override {}
};
