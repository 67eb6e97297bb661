// A raw pseudo-terminal pair for tests: the test holds the master side and keeps the slave
// open, so the code under test can open, close and reopen the slave path like a port.
#pragma once
#include <string>

namespace testing_support {

class TestPty {
public:
    TestPty();                 // raises std::runtime_error when no pty can be had
    ~TestPty();
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }

    // Writes all bytes to the master side (the far end of the line).
    void Write(const std::string& bytes);
    // Reads from the master until `count` bytes came or `timeoutMs` passed without any.
    std::string Read(std::size_t count, int timeoutMs = 2000);
    // Hangs up: closes the master and the kept slave.
    void HangUp();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// A second process that opens a device and takes its exclusive lock, as another program
// holding the port would, until Release() or the end of the holder.
class LockHolder {
public:
    explicit LockHolder(const std::string& path);
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool held() const { return held_; }
    // Lets the process go and waits until it has ended (and the lock with it).
    void Release();

private:
    int pid_ = -1;
    int goFd_ = -1;
    bool held_ = false;
};

} // namespace testing_support
