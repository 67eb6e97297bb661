// Starting an outside program with an argument list (never through a shell).
#pragma once
#include <string>
#include <vector>

namespace platform {

class ChildProcess {
public:
    // Starts program with args; false when it could not be started (reason in error()).
    bool Start(const std::string& program, const std::vector<std::string>& args);
    // Non-blocking: true once the program has ended; exitCode() is then valid.
    bool Finished();
    // Blocks up to timeoutMs (-1: no limit) without a busy loop; true when ended.
    bool Wait(int timeoutMs);
    int exitCode() const { return exitCode_; }
    const std::string& error() const { return error_; }
    int pid() const { return pid_; }
private:
    int pid_ = -1;
    int exitCode_ = 259;   // still running
    std::string error_;
};

} // namespace platform
