// A private world for one benchmark run: a temporary folder with the ports folder, the data
// directory, an empty device folder and the registry file, and the variables pointing there.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>

inline std::string MakeBenchWorld() {
    namespace fs = std::filesystem;
    std::string root = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
    if (!mkdtemp(root.data())) std::exit(1);
    for (const char* dir : {"/ports", "/data", "/devices"}) fs::create_directories(root + dir);
    setenv("CORVANE_PORTS", (root + "/ports").c_str(), 1);
    setenv("CORVANE_DATA", (root + "/data").c_str(), 1);
    setenv("CORVANE_DEVICES", (root + "/devices").c_str(), 1);
    setenv("CORVANE_REGISTRY", (root + "/registry.reg").c_str(), 1);
    return root;
}
