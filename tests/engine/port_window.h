// A main window over a real serial control, for engine tests and benchmarks against the
// simulated unit: the main window's port rules without any Qt.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "engine/portwindow.h"
#include "engine/serparse.h"

namespace enginetest {

// The main window's port rules over a real control; records what was written and read.
class PortWindow : public ::PortWindow {
public:
    std::string sent;       // every text written, traced as sent
    std::size_t receivedBytes = 0;
    std::vector<SMSMessage> inbox;
    std::vector<int> icons;

    void AddTrace(const std::string& text, bool received) override {
        if (received)
            receivedBytes += text.size();
        else
            sent += text;
    }
    InboxFiling AddInboxMessage(const std::string& number, const std::string& text,
                                const std::string& date, bool, bool) override {
        inbox.push_back({number, text, date});
        return {};
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
