#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testing_support {
namespace {
const char* const kVars[] = {"CORVANE_PORTS", "CORVANE_DATA", "CORVANE_REGISTRY",
                            "CORVANE_DEVICES"};
}

TestEnv::TestEnv() {
    std::string tmpl = (fs::temp_directory_path() / "corvane-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
    fs::create_directories(ports());
    fs::create_directories(data());
    fs::create_directories(devices());
    for (const char* var : kVars) {
        const char* old = std::getenv(var);
        saved_.emplace_back(var, old ? std::string(old) : std::string("\x01unset"));
    }
    setenv("CORVANE_PORTS", ports().c_str(), 1);
    setenv("CORVANE_DATA", data().c_str(), 1);
    setenv("CORVANE_REGISTRY", registry().c_str(), 1);
    setenv("CORVANE_DEVICES", devices().c_str(), 1);
}

TestEnv::~TestEnv() {
    for (const auto& [var, value] : saved_) {
        if (value == "\x01unset")
            unsetenv(var.c_str());
        else
            setenv(var.c_str(), value.c_str(), 1);
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
}

void TestEnv::MapCom(int n, const std::string& device) const {
    fs::path link = fs::path(ports()) / ("com" + std::to_string(n));
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(device, link);
}

std::string TestEnv::ReadData(const std::string& name) const {
    std::ifstream in(fs::path(data()) / name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void TestEnv::WriteData(const std::string& name, const std::string& bytes) const {
    std::ofstream out(fs::path(data()) / name, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool TestEnv::DataExists(const std::string& name) const {
    return fs::exists(fs::path(data()) / name);
}

BoxScript::BoxScript() {
    previous_ = platform::SetBoxHandler([this](const platform::BoxRequest& request) {
        shown_.push_back(request);
        if (next_ < steps_.size()) {
            const Step step = steps_[next_++];
            if (!step.part.empty()) {
                EXPECT_NE(request.text.find(step.part), std::string::npos)
                    << "box \"" << request.caption << "\": " << request.text
                    << "\nexpected text with: " << step.part;
            }
            if (step.whileOpen) step.whileOpen();
            return step.answer;
        }
        if (answerAll_) return allAnswer_;
        ADD_FAILURE() << "unexpected box \"" << request.caption << "\": " << request.text;
        return request.buttons == platform::BoxButtons::YesNo ? int(platform::IDNO)
                                                              : int(platform::IDOK);
    });
}

BoxScript::~BoxScript() { platform::SetBoxHandler(std::move(previous_)); }

BoxScript& BoxScript::Expect(const std::string& textPart, int answer) {
    steps_.push_back({textPart, answer, {}});
    return *this;
}

BoxScript& BoxScript::ExpectHeld(const std::string& textPart, std::function<void()> whileOpen,
                                 int answer) {
    steps_.push_back({textPart, answer, std::move(whileOpen)});
    return *this;
}

BoxScript& BoxScript::AnswerAll(int answer) {
    answerAll_ = true;
    allAnswer_ = answer;
    return *this;
}

int BoxScript::pending() const { return int(steps_.size() - next_); }

} // namespace testing_support
