// Injectable steady clock: every time-out and pause in the system reads it.
#pragma once
#include <cstdint>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a steady (monotonic) time line; never steps with the wall clock.
    virtual int64_t NowMs() = 0;
    virtual void SleepMs(int64_t ms) = 0;
};

// The clock in force: the steady system clock unless a test installed another.
Clock& clock();
// Installs a clock (nullptr restores the system clock). Not owned.
void SetClock(Clock* c);

// A clock for tests: time moves only by Advance() and SleepMs(); sleeping returns at once.
class FakeClock : public Clock {
public:
    int64_t NowMs() override;
    void SleepMs(int64_t ms) override;
    void Advance(int64_t ms);
    int64_t sleptMs() const;   // total of all SleepMs calls
    int sleepCalls() const;
private:
    int64_t now_ = 0;
    int64_t slept_ = 0;
    int calls_ = 0;
};

// Restores the previous clock when it goes out of scope.
class ScopedClock {
public:
    explicit ScopedClock(Clock* c);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
private:
    Clock* previous_;
};

} // namespace platform
