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

} // namespace testing_support
