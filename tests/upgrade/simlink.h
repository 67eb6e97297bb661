// The real serial control on the simulated boot loader's pty, seen through a thin layer that
// keeps a log of the upload's calls and reports as queued the bytes the unit has not yet
// taken off the line (a pty has no transmit queue of its own: its TIOCOUTQ is always 0, so
// without this the unit's pace would be invisible). GatedClock: a test clock that moves only
// while nothing is on its way between the program and the unit, so pauses and time-outs take
// no real time and yet never expire while the unit is still working.
#pragma once
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/sim/bootsim.h"
#include "upgrade/uploadlink.h"

namespace testing_support {

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
