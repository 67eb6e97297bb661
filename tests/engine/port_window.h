// A main window over a real serial control, for engine tests and benchmarks against the
// simulated unit: the port rules of the main window without any Qt.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "engine/mainwindow.h"
#include "engine/serparse.h"
#include "platform/serial.h"

namespace enginetest {

class PortWindow : public IMainWindow {
public:
    platform::CommControl comm;
    bool suspended = false;
    std::string sent;       // every text written, traced as sent
    std::size_t receivedBytes = 0;
    std::vector<SMSMessage> inbox;
    std::vector<int> icons;

    int WriteToModem(const std::string& text) override {
        if (suspended || !OpenPort(0)) return 2;
        AddTrace(text, false);
        comm.Output(text);
        return 1;
    }
    bool OpenPort(int n) override {
        if (!comm.PortOpen() && !suspended) {
            try {
                if (n != 0) comm.SetCommPort(n);
                comm.SetPortOpen(true);
            } catch (const platform::SerialError&) {
            }
        }
        return comm.PortOpen();
    }
    void SetPort(int n) override {
        try {
            if (comm.PortOpen()) ClosePort();
            if (n != 0) comm.SetCommPort(n);
        } catch (const platform::SerialError&) {
        }
    }
    bool ClosePort() override {
        if (comm.PortOpen()) {
            try {
                comm.SetPortOpen(false);
            } catch (const platform::SerialError&) {
            }
        }
        ReceiveBuffer.clear();
        return comm.PortOpen();
    }
    std::string ReadInput() override { return comm.Input(); }
    void SetCommPort(int n) override { comm.SetCommPort(n); }
    void AddTrace(const std::string& text, bool received) override {
        if (received)
            receivedBytes += text.size();
        else
            sent += text;
    }
    void AddInboxMessage(const std::string& number, const std::string& text,
                         const std::string& date, bool) override {
        inbox.push_back({number, text, date});
    }
    void ModifyIcon(int kind) override { icons.push_back(kind); }
};

// Points COM1 to COM49 in the ports folder at nothing, so only the ports mapped later exist.
inline void MapNoPorts(const std::string& portsFolder) {
    namespace fs = std::filesystem;
    fs::create_directories(portsFolder);
    for (int n = 1; n <= 49; ++n) {
        fs::path link = fs::path(portsFolder) / ("com" + std::to_string(n));
        std::error_code ec;
        fs::remove(link, ec);
        fs::create_symlink(fs::path(portsFolder) / "no-device", link);
    }
}

} // namespace enginetest
