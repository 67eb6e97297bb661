// The unit in boot-loader mode, simulated on a pseudo-terminal: it takes the upgrade-mode
// command, the boot loader with its length, answers "FAT STUB", takes the main code with its
// length, checks every byte against the images it was given and answers "FLASH OK". It runs
// on its own thread; the program under test opens the slave side like a serial port. It can
// drain its input at the line's own rate (baud / 10 bytes a second, 1920 at 19200 baud) and
// misbehave in its replies.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sim {

class BootSim {
public:
    // How a reply goes out.
    enum class Reply {
        Proper,      // the reply, whole
        None,        // nothing
        Wrong,       // the reply without its LF
        LowerCase,   // the reply in lower case
        InPieces,    // its first four characters, then the rest after the piece gap
        ExtraByte,   // one stray byte, then the reply
    };
    // Where the unit is in the exchange.
    enum class Stage { Command, BootLoader, BootLength, CodeLength, MainCode, Done };

    struct Status {
        int64_t consumed = 0;   // bytes taken from the line
        int64_t sent = 0;       // bytes put on the line
        bool busy = false;      // a reply (or a piece of one) is still due
        Stage stage = Stage::Command;
    };

    BootSim();    // opens the pty pair in raw mode; the slave stays open
    ~BootSim();   // stops the thread
    BootSim(const BootSim&) = delete;
    BootSim& operator=(const BootSim&) = delete;

    const std::string& SlavePath() const;
    // Makes <portsFolder>/com<n> a link to the slave side.
    void LinkAsCom(const std::string& portsFolder, int n) const;

    // Behaviour; set before Start.
    void SetImages(std::vector<uint8_t> bootLoader, std::vector<uint8_t> mainCode);
    void SetFatStubReply(Reply reply);
    void SetFlashOkReply(Reply reply);
    void SetPaced(bool paced);                           // drain at the line's rate
    void SetReplyDelay(std::chrono::milliseconds delay); // the unit's work before a reply
    void SetPieceGap(std::chrono::milliseconds gap);

    void Start();
    void Stop();

    Status State() const;
    // Waits (real time) until the unit has reached the stage.
    bool WaitForStage(Stage stage, std::chrono::milliseconds timeout) const;

    // What the unit saw.
    std::string Received() const;                    // every byte, in order
    std::vector<std::string> Faults() const;         // each departure from the exchange
    // The line settings ("19200,n,8,1") read from the slave side when each stage's bytes
    // arrived.
    std::map<Stage, std::set<std::string>> LineSettings() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

const char* StageName(BootSim::Stage stage);

} // namespace sim
