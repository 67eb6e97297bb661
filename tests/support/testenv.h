// A private world for one test: a temporary directory holding the ports folder, the data
// directory and the registry file, with CORVANE_PORTS, CORVANE_DATA and CORVANE_REGISTRY
// pointing there. CORVANE_DEVICES points at an empty folder, so the default COM map sees
// none of the machine's own serial devices. Restores the environment when it goes.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/boxes.h"

namespace testing_support {

class TestEnv {
public:
    TestEnv();
    ~TestEnv();
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    const std::string& root() const { return root_; }
    std::string ports() const { return root_ + "/ports"; }
    std::string data() const { return root_ + "/data"; }
    std::string registry() const { return root_ + "/registry.reg"; }
    std::string devices() const { return root_ + "/devices"; }

    // Points COM<n> at a device path (a link in the ports folder).
    void MapCom(int n, const std::string& device) const;
    // Reads / writes a file in the data directory (bytes as they are).
    std::string ReadData(const std::string& name) const;
    void WriteData(const std::string& name, const std::string& bytes) const;
    bool DataExists(const std::string& name) const;

private:
    std::string root_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

// Answers message boxes from a script, in order, and records every box shown. A box beyond
// the script fails the test (and answers OK/No so the code under test can go on).
class BoxScript {
public:
    BoxScript();
    ~BoxScript();
    // Expect a box whose text contains textPart (empty: any) and answer it.
    BoxScript& Expect(const std::string& textPart, int answer = platform::IDOK);
    // The same, keeping the box open while whileOpen runs (what the box's own loop would
    // deliver meanwhile: ticks, receive events), then answering it.
    BoxScript& ExpectHeld(const std::string& textPart, std::function<void()> whileOpen,
                          int answer = platform::IDOK);
    // Answer every box with answer, recording it (no failure for unexpected boxes).
    BoxScript& AnswerAll(int answer = platform::IDOK);
    const std::vector<platform::BoxRequest>& shown() const { return shown_; }
    int pending() const;   // expected boxes not yet shown
private:
    struct Step { std::string part; int answer; std::function<void()> whileOpen; };
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    bool answerAll_ = false;
    int allAnswer_ = platform::IDOK;
    std::vector<platform::BoxRequest> shown_;
    platform::BoxHandler previous_;
};

} // namespace testing_support
