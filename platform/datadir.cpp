#include "platform/datadir.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string HomeDir() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

// An XDG base directory: the variable when it holds an absolute path, else HOME + fallback.
std::string XdgDir(const char* var, const char* fallback) {
    std::string v = Env(var);
    if (!v.empty() && v[0] == '/') return v;
    return HomeDir() + fallback;
}

std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

} // namespace

bool MakeDirs(const std::string& dir, unsigned mode) {
    if (dir.empty()) return false;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    std::string::size_type slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (!MakeDirs(dir.substr(0, slash), mode)) return false;
    }
    if (mkdir(dir.c_str(), mode) == 0) return true;
    return errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ConfigDir() { return XdgDir("XDG_CONFIG_HOME", "/.config") + "/corvane"; }

std::string DataDir() {
    std::string dir = Env("CORVANE_DATA");
    if (dir.empty()) dir = XdgDir("XDG_DATA_HOME", "/.local/share") + "/corvane";
    dir = StripTrailingSlashes(dir);
    MakeDirs(dir, 0700);
    return dir;
}

std::string DataPath(const std::string& name) {
    std::string::size_type cut = name.find_last_of("/\\");
    std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
    // "." and ".." would name the folder or its parent, not a file in it.
    if (base == "." || base == "..") base.clear();
    return DataDir() + "/" + base;
}

std::string ProgramDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string exe(buf, std::size_t(n));
    std::string::size_type slash = exe.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : exe.substr(0, slash);
}

} // namespace platform
