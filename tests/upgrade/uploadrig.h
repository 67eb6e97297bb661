// Test rig for the upload: firmware files in a private folder, a stand-in serial control that
// plays the unit (its transmit queue drains in clock time, CTS follows a script) and a fake
// clock that lets the stand-in answer as time goes by.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/settingsstore.h"
#include "tests/support/testenv.h"
#include "tests/upgrade/simlink.h"
#include "upgrade/form1.h"
#include "upgrade/serialport.h"
#include "upgrade/uploadlink.h"

namespace upgrade_test {

using testing_support::HexText;
using testing_support::ImageOf;
using testing_support::Pattern;
using testing_support::Str;

// The unit behind a stand-in serial control. Its replies reach the window through the
// receive event on the next pass of the event loop after they fall due.
class FakeLink : public upgrade::UploadLink {
public:
    struct Call {
        std::string what;     // "port", "settings", "open", "close", "out"
        std::string detail;
        int64_t atMs;
        int queued;           // OutBufferCount just before an "out"
        bool cts;             // CTSHolding just before an "out"
    };

    void SetCommPort(int n) override {
        if (n < 0 || n > 255) throw platform::SerialError("invalid port number");
        calls.push_back({"port", std::to_string(n), Now(), 0, true});
    }
    void SetSettings(const std::string& s) override {
        settings_ = s;
        calls.push_back({"settings", s, Now(), 0, true});
    }
    void SetPortOpen(bool open) override {
        if (open && failOpen) throw platform::SerialError("COM4: No such file or directory");
        open_ = open;
        calls.push_back({open ? "open" : "close", open ? settings_ : "", Now(), 0, true});
        if (open && settings_.rfind("19200", 0) == 0) fastWrites_ = 0;
        queue_ = 0;
    }
    bool PortOpen() const override { return open_; }
    void Output(const std::string& bytes) override {
        if (!open_) throw platform::SerialError("Output: the port is not open");
        calls.push_back({"out", bytes, Now(), OutBufferCount(), CTSHolding()});
        if (onOutput) onOutput(calls.back());
        queue_ += double(bytes.size());
        if (settings_.rfind("19200", 0) != 0) return;
        // The unit at 19200 baud: boot loader, its length, the main-code length, blocks.
        const int k = fastWrites_++;
        if (k == 1 && fatStub) ReplyWhenDrained(fatStub);
        if (k == 2 && bytes.size() == 4) codeLeft_ = uint8_t(bytes[0]) + 256 * uint8_t(bytes[1]);
        if (k >= 3) {
            codeLeft_ -= int(bytes.size());
            if (codeLeft_ == 0 && flashOk && flashOkBeforeDrain) due_.emplace_back(Now(), flashOk);
            else if (codeLeft_ == 0 && flashOk) ReplyWhenDrained(flashOk);
        }
    }
    void Output(const std::vector<uint8_t>& bytes) override { Output(Str(bytes)); }
    std::string Input() override {
        std::string in;
        in.swap(pending_);
        return in;
    }
    int CommEvent() const override { return platform::comEvReceive; }
    int OutBufferCount() const override {
        if (!open_) throw platform::SerialError("OutBufferCount: the port is not open");
        Drain();
        return int(queue_ + 0.999);
    }
    bool CTSHolding() const override { return cts(Now()); }

    // Called as the clock moves: replies that fell due go out through the event loop.
    void Tick() {
        Drain();
        for (auto it = due_.begin(); it != due_.end();) {
            if (it->first > Now()) {
                ++it;
                continue;
            }
            std::string bytes = it->second;
            it = due_.erase(it);
            QTimer::singleShot(0, context_.get(), [this, bytes] {
                pending_ += bytes;
                if (OnComm) OnComm();
            });
        }
    }
    std::vector<std::string> Outputs() const {
        std::vector<std::string> out;
        for (const Call& c : calls)
            if (c.what == "out") out.push_back(c.detail);
        return out;
    }

    // The unit's behaviour.
    const char* fatStub = "FAT STUB\r\n";   // nullptr: no reply
    const char* flashOk = "FLASH OK\r\n";
    bool flashOkBeforeDrain = false;        // answer as soon as the last block is handed over
    bool failOpen = false;
    double drainPerMs = 1.92;               // 19200 baud
    std::function<bool(int64_t)> cts = [](int64_t) { return true; };
    std::function<void(const Call&)> onOutput;
    std::vector<Call> calls;

private:
    static int64_t Now() { return platform::clock().NowMs(); }
    void Drain() const {
        const int64_t now = Now();
        queue_ = std::max(0.0, queue_ - double(now - drainedAt_) * drainPerMs);
        drainedAt_ = now;
    }
    void ReplyWhenDrained(const char* reply) {
        if (drainPerMs <= 0) return;   // a queue that never drains: no reply either
        Drain();
        due_.emplace_back(Now() + int64_t(queue_ / drainPerMs) + 5, reply);
    }
    bool open_ = false;
    std::string settings_;
    int fastWrites_ = 0;
    int codeLeft_ = -1;
    mutable double queue_ = 0;
    mutable int64_t drainedAt_ = 0;
    std::string pending_;
    std::vector<std::pair<int64_t, std::string>> due_;
    std::unique_ptr<QObject> context_ = std::make_unique<QObject>();
};

// A fake clock that gives the stand-in unit its turn whenever the program rests.
class TickClock : public platform::FakeClock {
public:
    void SleepMs(int64_t ms) override {
        platform::FakeClock::SleepMs(ms);
        if (link) link->Tick();
    }
    FakeLink* link = nullptr;
};

// A private world with the firmware folder, port COM4 stored, and a window on a FakeLink.
class UploadTest : public ::testing::Test {
public:
    UploadTest() : scoped_(&clock) {
        clock.link = &link;
        firmware = env.root() + "/firmware";
        std::filesystem::create_directories(firmware);
        const char* old = std::getenv("CORVANE_FIRMWARE_DIR");
        oldFirmware_ = old ? old : "";
        hadFirmware_ = old != nullptr;
        setenv("CORVANE_FIRMWARE_DIR", firmware.c_str(), 1);
        platform::SaveSetting("VardelUPG", "Port", "COMport", "4");
    }
    ~UploadTest() override {
        if (hadFirmware_)
            setenv("CORVANE_FIRMWARE_DIR", oldFirmware_.c_str(), 1);
        else
            unsetenv("CORVANE_FIRMWARE_DIR");
    }

    void WriteFile(const std::string& name, const std::string& text) {
        std::ofstream(firmware + "/" + name, std::ios::binary | std::ios::trunc) << text;
    }
    // The boot loader and one main-code file, as data; the images add a 0 to each.
    void WriteFirmware(const std::vector<uint8_t>& boot, const std::vector<uint8_t>& code) {
        WriteFile(upgrade::kBootLoaderFile, HexText(boot));
        WriteFile("main.hex", HexText(code));
    }
    // A window on the stand-in, counting beeps and program ends.
    std::unique_ptr<upgrade::Form1> MakeForm(const QString& commandLine = "") {
        auto form = std::make_unique<upgrade::Form1>(commandLine, &link);
        form->Beep = [this] { ++beeps; };
        form->EndProgram = [this] { ++ends; };
        return form;
    }
    std::string Status(const upgrade::Form1& form) { return form.Label1->text().toStdString(); }

    testing_support::TestEnv env;
    TickClock clock;
    FakeLink link;
    std::string firmware;
    int beeps = 0;
    int ends = 0;

private:
    platform::ScopedClock scoped_;
    std::string oldFirmware_;
    bool hadFirmware_ = false;
};

} // namespace upgrade_test
