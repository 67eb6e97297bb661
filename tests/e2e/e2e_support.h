// Helpers for end-to-end runs: the programs as separate processes on a private X server
// (Xvfb), driven and watched through xdotool and xwd. Every wait is bounded; every process
// started here is ended when its owner goes.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// The build tree this test program belongs to (it sits in <build>/tests); "" when unknown.
std::string BuildDir();

// Where a program of this build lies ("client/corvane", "upgrade/upgrade"), found from this
// test program's own place in the build tree; "" when it is not there.
std::string BuiltProgram(const std::string& relative);

// A program looked up in PATH; "" when missing.
std::string FindInPath(const std::string& name);

// The environment children get: this process's, with the changes applied (an empty value
// removes the variable).
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& changes);

// Polls pred every intervalMs until it holds or timeoutMs have passed.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs, int intervalMs = 50);

// A started program. Ends it (SIGTERM, then SIGKILL) and reaps it when it goes.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Output and errors go to logPath; cwd "" keeps ours. Raises std::runtime_error when the
    // program cannot be started or the last one started still runs.
    void Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& logPath, const std::string& cwd = "",
               const std::vector<std::pair<int, int>>& keepFds = {});
    bool Running();
    // Waits up to timeoutMs for the program to end by itself; its exit code (128 + signal
    // for a signal) or nullopt when it is still running.
    std::optional<int> WaitExit(int timeoutMs);
    // Sends a signal (while it runs).
    void Signal(int sig);
    // Ends it: SIGTERM, up to graceMs, then SIGKILL. Returns the exit code as WaitExit.
    std::optional<int> Stop(int graceMs = 3000);
    int pid() const { return pid_; }
    const std::string& logPath() const { return log_; }
    std::string Log() const;

private:
    int pid_ = -1;
    std::optional<int> exit_;
    std::string log_;
};

struct ToolResult {
    bool finished = false;   // false: it was killed at the time limit
    int code = -1;
    std::string out;         // standard output
};

// Runs a program to its end (at most timeoutMs), capturing its standard output.
ToolResult RunTool(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   int timeoutMs);

// An RGB picture (0xRRGGBB per pixel, row by row).
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;

    uint32_t at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
    // Distinct colours in a rectangle (clipped to the picture).
    std::size_t DistinctColours(int x, int y, int w, int h) const;
    // Share (0..1) of the rectangle's pixels that have this colour.
    double Share(uint32_t colour, int x, int y, int w, int h) const;
    // Pixels in the rectangle within tolerance of colour on every channel.
    std::size_t Count(uint32_t colour, int x, int y, int w, int h, int tolerance = 0) const;
};

// Reads an X window dump (the xwd format, TrueColor, 16/24/32 bits a pixel). Raises
// std::runtime_error for anything else.
Image ParseXwd(const std::string& bytes);

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

// A private X server (Xvfb) on a free display, with the tools that drive it. Ends the server
// when it goes.
class XDisplay {
public:
    // Missing tools, as a text for a skip message ("" when all are there).
    static std::string MissingTools();

    explicit XDisplay(const std::string& workDir);   // raises std::runtime_error on failure
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    const std::string& name() const { return display_; }   // ":<n>"
    // The environment for a Qt program on this display.
    std::vector<std::string> Environment(std::map<std::string, std::string> extra = {}) const;

    // xdotool with arguments; its output or nullopt when it failed.
    std::optional<std::string> Xdotool(const std::vector<std::string>& args, int timeoutMs = 5000);
    // First visible window whose name matches the regular expression, waiting up to
    // timeoutMs; "" when none came.
    std::string WaitForWindow(const std::string& namePattern, int timeoutMs);
    // True once no visible window's name matches (up to timeoutMs).
    bool WaitWindowGone(const std::string& namePattern, int timeoutMs);
    std::string WindowName(const std::string& id);
    std::optional<Geometry> WindowGeometry(const std::string& id);
    // Gives the window the keyboard focus (there is no window manager to do it).
    bool Focus(const std::string& id);
    bool Keys(const std::vector<std::string>& keys);
    bool Type(const std::string& text);
    // The whole screen.
    Image Screenshot();

private:
    std::string workDir_;
    std::string display_;
    Process server_;
};

} // namespace e2e
