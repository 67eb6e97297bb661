// The serial port control: the handful of operations both programs use, over termios.
// Bytes pass unchanged both ways (raw mode, no flow control, no translation).
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

struct termios;

namespace platform {

// Every failure of the control raises this, with the system's reason kept.
class SerialError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Kinds of receive event (CommEvent).
enum CommEventKind { comEvNone = 0, comEvSend = 1, comEvReceive = 2 };

class CommControl {
public:
    CommControl();
    ~CommControl();
    CommControl(const CommControl&) = delete;
    CommControl& operator=(const CommControl&) = delete;

    // COM<n>; set only while closed (raises when open or n is outside 0..255).
    void SetCommPort(int n);
    int CommPort() const;

    // "2400,n,8,1" style; set while closed. Raises on a form it cannot use.
    void SetSettings(const std::string& settings);
    std::string Settings() const;

    // Opening takes the port exclusively (also against root); raises when it cannot. Bytes
    // that reached the line before the open are dropped.
    void SetPortOpen(bool open);
    bool PortOpen() const;
    // Sees the terminal settings that an open hands the line (a pty keeps only their speed
    // and stop bits, so this is how tests see the data bits and parity).
    std::function<void(const termios&)> OnLineSet;

    // Sends the bytes unchanged and in order, one byte per character; waits while the line is
    // full. Raises when closed, when the line fails, or after 5 s in which it took nothing.
    // With queued output it never waits: what the line does not take at once is kept, in
    // order, for FeedOutput.
    void Output(const std::string& bytes);
    void Output(const std::vector<uint8_t>& bytes);

    // Queued output (off by default): bytes the line has not taken yet wait in the control,
    // count in OutBufferCount, and are dropped when the port closes (so closing never waits
    // for the line). A line that fails while it is fed makes the next Output or
    // OutBufferCount raise.
    void SetOutputQueued(bool queued);
    // For the event pump: hands the line what it takes now of the queued bytes; true while
    // some still wait. Never raises.
    bool FeedOutput();
    // Raised when Output leaves bytes waiting.
    std::function<void()> OnOutputWaiting;

    // All bytes received since the last read, emptying the receive buffer; "" when nothing
    // came. Raises when the port is closed, and once the peer has hung up and the bytes
    // taken in before that are handed out.
    std::string Input();

    // Kind of the event being handled: comEvReceive inside OnComm.
    int CommEvent() const;
    // Bytes queued and not yet sent (feeding the line first). Raises when closed.
    int OutBufferCount() const;
    // True while CTS is asserted; a port without modem-control lines (a pty) reports true.
    // Raises when closed.
    bool CTSHolding() const;

    // The receive event: raised by the event pump after at least one byte arrived.
    std::function<void()> OnComm;

    // For the event pump: the open descriptor (-1 when closed), and a notice when it changes.
    int fd() const;
    std::function<void()> OnPortStateChanged;

    // Called by the event pump when the descriptor is readable: raises OnComm with
    // CommEvent = comEvReceive when bytes wait. Returns false when the peer hung up, so the
    // pump stops watching until the port is reopened (no spinning on a dead line).
    bool DispatchReadable();

private:
    struct Impl;
    Impl* d_;
};

} // namespace platform
