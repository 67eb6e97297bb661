#include "platform/comports.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/datadir.h"

namespace platform {
namespace {

// Rank of a device name in the default map (family, then number); family -1: not a port.
struct Rank {
    int family = -1;
    long number = 0;
};

Rank RankOf(const std::string& name) {
    static const char* const kFamilies[] = {"ttyUSB", "ttyACM", "ttyS"};
    for (int f = 0; f < 3; ++f) {
        std::string prefix = kFamilies[f];
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string digits = name.substr(prefix.size());
        if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(),
                                              [](char c) { return c >= '0' && c <= '9'; }))
            return {};
        return {f, std::atol(digits.c_str())};
    }
    return {};
}

std::vector<std::string> DefaultMap() {
    std::vector<std::string> names;
    std::string folder = DeviceFolder();
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == 't') names.emplace_back(e->d_name);
        }
        closedir(dir);
    }
    std::vector<std::string> ordered = OrderSerialDevices(names);
    for (std::string& n : ordered) n = folder + "/" + n;
    return ordered;
}

// Opens the device for a quick look; -1 with errno set when it cannot.
int OpenQuietly(const std::string& path) {
    return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

bool Denied(int err) { return err == EACCES || err == EPERM || err == EBUSY; }

} // namespace

std::string PortsFolder() {
    const char* env = std::getenv("CORVANE_PORTS");
    if (env && *env) return env;
    return ConfigDir() + "/ports";
}

std::string DeviceFolder() {
    const char* env = std::getenv("CORVANE_DEVICES");
    std::string folder = env && *env ? env : "/dev";
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

std::vector<std::string> OrderSerialDevices(const std::vector<std::string>& names) {
    std::vector<std::pair<Rank, std::string>> ranked;
    for (const std::string& n : names) {
        Rank r = RankOf(n);
        if (r.family >= 0) ranked.emplace_back(r, n);
    }
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        if (a.first.family != b.first.family) return a.first.family < b.first.family;
        if (a.first.number != b.first.number) return a.first.number < b.first.number;
        return a.second < b.second;   // "ttyS01" and "ttyS1": keep a fixed order
    });
    std::vector<std::string> out;
    for (auto& [rank, name] : ranked) out.push_back(name);
    return out;
}

std::string ResolveComPort(int n) {
    if (n < 0) return "";
    std::string link = PortsFolder() + "/com" + std::to_string(n);
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) return link;
    std::vector<std::string> map = DefaultMap();
    if (n >= 1 && std::size_t(n) <= map.size()) return map[std::size_t(n) - 1];
    return "";
}

bool ComPortExists(int n) {
    std::string path = ResolveComPort(n);
    if (path.empty()) return false;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return Denied(errno);
    if (!S_ISCHR(st.st_mode)) return false;
    int fd = OpenQuietly(path);
    if (fd < 0) return Denied(errno);
    bool exists = true;
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN) {
        exists = false;   // a UART slot with nothing behind it
    } else {
        termios tio;   // fails with EIO on a dead slot, ENOTTY on what is no terminal
        if (tcgetattr(fd, &tio) != 0) exists = false;
    }
    close(fd);
    return exists;
}

bool ComPortBusy(int n) {
    std::string path = ResolveComPort(n);
    if (path.empty()) return false;
    int fd = OpenQuietly(path);
    if (fd < 0) return errno == EBUSY;
    // A shared lock is refused while another holder has the exclusive one.
    bool busy = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);   // drops our shared lock with the descriptor
    return busy;
}

} // namespace platform
