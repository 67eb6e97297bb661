// Shared by the upload tests and the benchmark (no test framework here). Firmware files;
// SimLink: the real serial control on the simulated boot loader's pty, seen through a thin
// layer that logs the upload's calls and reports as queued the bytes the unit has not yet
// taken off the line (a pty has no transmit queue: its TIOCOUTQ is always 0, so without this
// the unit's pace would be invisible); GatedClock: a test clock that moves only while nothing
// is on its way between the program and the unit, so pauses and time-outs take no real time
// and yet never expire while the unit is still working.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/sim/bootsim.h"
#include "upgrade/uploadlink.h"

namespace testing_support {

// Data bytes that differ from their neighbours and from 0.
inline std::vector<uint8_t> Pattern(int count, int seed) {
    std::vector<uint8_t> v(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) v[std::size_t(i)] = uint8_t((i * 7 + seed) % 251 + 1);
    return v;
}

// The records (32 bytes each, rising addresses) of data from address 0, and the end record.
inline std::string HexText(const std::vector<uint8_t>& data) {
    std::string text;
    char buf[8];
    for (std::size_t at = 0; at < data.size(); at += 32) {
        const std::size_t n = std::min<std::size_t>(32, data.size() - at);
        unsigned sum = unsigned(n) + unsigned(at >> 8) + unsigned(at & 255);
        std::snprintf(buf, sizeof buf, "%02X%04X", unsigned(n), unsigned(at));
        text += std::string(":") + buf + "00";
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", data[at + i]);
            text += buf;
            sum += data[at + i];
        }
        std::snprintf(buf, sizeof buf, "%02X", (256 - sum % 256) % 256);
        text += std::string(buf) + "\r\n";
    }
    return text + ":00000001FF\r\n";
}

// The image the reader makes of HexText(data): the data and one 0 behind it, unless the
// last record holds a single byte, which lands on the 0 its predecessor left.
inline std::vector<uint8_t> ImageOf(std::vector<uint8_t> data) {
    if (data.size() % 32 != 1 || data.size() == 1) data.push_back(0);
    return data;
}

inline std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

class SimLink : public upgrade::UploadLink {
public:
    struct Call {
        std::string what;      // "open", "close", "out"
        std::string detail;    // line settings for "open", the bytes for "out"
        int64_t atMs;          // platform::clock() when called
        int queued;            // bytes not yet taken by the unit, before an "out"
    };

    explicit SimLink(sim::BootSim& unit) : unit_(unit) {
        inner_.OnComm = [this] {
            if (OnComm) OnComm();
        };
    }

    void SetCommPort(int n) override { inner_.SetCommPort(n); }
    void SetSettings(const std::string& s) override {
        inner_.SetSettings(s);
        settings_ = s;
    }
    void SetPortOpen(bool open) override {
        inner_.SetPortOpen(open);
        calls.push_back({open ? "open" : "close", open ? settings_ : "", Now(), 0});
    }
    bool PortOpen() const override { return inner_.PortOpen(); }
    void Output(const std::string& bytes) override {
        calls.push_back({"out", bytes, Now(), OutBufferCount()});
        written_ += int64_t(bytes.size());
        inner_.Output(bytes);
    }
    void Output(const std::vector<uint8_t>& bytes) override {
        Output(std::string(bytes.begin(), bytes.end()));
    }
    std::string Input() override {
        std::string in = inner_.Input();
        read_ += int64_t(in.size());
        return in;
    }
    int CommEvent() const override { return inner_.CommEvent(); }
    int OutBufferCount() const override {
        return inner_.OutBufferCount() + int(written_ - unit_.State().consumed);
    }
    bool CTSHolding() const override { return inner_.CTSHolding(); }

    // Nothing in flight either way and no reply due.
    bool Quiet() const {
        const sim::BootSim::Status s = unit_.State();
        return !s.busy && s.consumed == written_ && s.sent == read_;
    }
    int64_t written() const { return written_; }

    std::vector<Call> calls;

private:
    static int64_t Now() { return platform::clock().NowMs(); }
    sim::BootSim& unit_;
    upgrade::CommLink inner_;
    std::string settings_;
    int64_t written_ = 0;
    int64_t read_ = 0;
};

class GatedClock : public platform::Clock {
public:
    explicit GatedClock(const SimLink& link) : link_(link) {}
    int64_t NowMs() override { return now_; }
    void SleepMs(int64_t ms) override {
        if (link_.Quiet()) {
            now_ += ms;
            stalled_ = {};
            return;
        }
        // The unit is at work: wait for it in real time, the clock stands still. A unit
        // that never settles cannot hold a test for ever.
        const auto real = std::chrono::steady_clock::now();
        if (stalled_ == std::chrono::steady_clock::time_point{}) stalled_ = real;
        if (real - stalled_ > std::chrono::seconds(5)) {
            now_ += ms;
            ++forced;
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    int forced = 0;   // moves made while the unit was still busy

private:
    const SimLink& link_;
    int64_t now_ = 0;
    std::chrono::steady_clock::time_point stalled_{};
};

} // namespace testing_support
