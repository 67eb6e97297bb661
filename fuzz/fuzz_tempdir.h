// A private folder for one fuzz process, in memory where the machine has /dev/shm, removed
// when the process exits normally (a crash leaves it for a look).
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzsupport {

inline std::string& TempDirPath() {
    static std::string path;
    return path;
}

inline std::string MakeTempDir(const std::string& name) {
    for (const char* base : {"/dev/shm", "/tmp"}) {
        std::string pattern = std::string(base) + "/corvane-fuzz-" + name + "-XXXXXX";
        if (mkdtemp(pattern.data())) {
            TempDirPath() = pattern;
            std::atexit([] {
                std::error_code ec;
                std::filesystem::remove_all(TempDirPath(), ec);
            });
            return pattern;
        }
    }
    std::abort();
}

} // namespace fuzzsupport
