#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace platform {
namespace {

class SteadyClock : public Clock {
public:
    int64_t NowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void SleepMs(int64_t ms) override {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

SteadyClock g_steady;
Clock* g_clock = &g_steady;

} // namespace

Clock& clock() { return *g_clock; }
void SetClock(Clock* c) { g_clock = c ? c : &g_steady; }

int64_t FakeClock::NowMs() { return now_; }
void FakeClock::SleepMs(int64_t ms) {
    ++calls_;
    if (ms > 0) {
        now_ += ms;
        slept_ += ms;
    }
}
void FakeClock::Advance(int64_t ms) { now_ += ms; }
int64_t FakeClock::sleptMs() const { return slept_; }
int FakeClock::sleepCalls() const { return calls_; }

ScopedClock::ScopedClock(Clock* c) : previous_(&clock()) { SetClock(c); }
ScopedClock::~ScopedClock() { SetClock(previous_); }

} // namespace platform
