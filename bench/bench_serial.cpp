// Serial control throughput through a pty (both ways) and CPU use while the port is open
// and idle with the receive pump in a running event loop. Prints figures; asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "platform/qt/commpump.h"
#include "platform/serial.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void MakeRaw(int fd) {
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string root = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
    if (!mkdtemp(root.data())) return 1;
    fs::create_directories(root + "/ports");
    setenv("CORVANE_PORTS", (root + "/ports").c_str(), 1);

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) || unlockpt(master)) return 1;
    std::string slave = ptsname(master);
    int keep = open(slave.c_str(), O_RDWR | O_NOCTTY);   // keeps the pty alive across opens
    MakeRaw(master);
    MakeRaw(keep);
    fs::create_symlink(slave, root + "/ports/com1");

    platform::CommControl comm;
    comm.SetCommPort(1);
    comm.SetPortOpen(true);

    const std::size_t total = 16u << 20;
    std::string block(64 * 1024, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = char(i * 31);

    // Out: Output() to the line, a thread drains the far end.
    {
        std::thread reader([&] {
            std::string buf(1 << 16, '\0');
            std::size_t got = 0;
            while (got < total) {
                ssize_t n = read(master, buf.data(), buf.size());
                if (n > 0) got += std::size_t(n);
                else if (n < 0) break;
            }
        });
        auto start = Clock::now();
        for (std::size_t sent = 0; sent < total; sent += block.size()) comm.Output(block);
        reader.join();
        double s = Seconds(Clock::now() - start);
        std::printf("Output  -> pty : %7.1f MB/s (%zu MB in %.3f s)\n", total / s / 1e6,
                    total >> 20, s);
    }
    // In: the far end writes, Input() collects.
    {
        std::thread writer([&] {
            for (std::size_t sent = 0; sent < total;) {
                ssize_t n = write(master, block.data(), block.size());
                if (n > 0) sent += std::size_t(n);
                else if (n < 0) break;
            }
        });
        auto start = Clock::now();
        std::size_t got = 0;
        while (got < total) {
            std::size_t n = comm.Input().size();
            got += n;
            if (n == 0) {
                pollfd p{comm.fd(), POLLIN, 0};
                poll(&p, 1, 100);
            }
        }
        writer.join();
        double s = Seconds(Clock::now() - start);
        std::printf("pty -> Input   : %7.1f MB/s (%zu MB in %.3f s)\n", total / s / 1e6,
                    total >> 20, s);
    }

    // Idle: port open, pump watching, event loop running for 2 s.
    {
        platform::CommPump pump(comm);
        comm.SetPortOpen(false);
        comm.SetPortOpen(true);
        int events = 0;
        comm.OnComm = [&] { ++events; comm.Input(); };
        QEventLoop loop;
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        double cpu0 = CpuSeconds();
        auto start = Clock::now();
        loop.exec();
        double wall = Seconds(Clock::now() - start), cpu = CpuSeconds() - cpu0;
        std::printf("idle, open, pump running  : CPU %.2f%% (%.4f s CPU in %.2f s), %d events, "
                    "%d activations\n",
                    cpu / wall * 100, cpu, wall, events, pump.activations());

        // The far end hangs up: the pump must stop watching, not spin.
        close(master);
        close(keep);
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        cpu0 = CpuSeconds();
        start = Clock::now();
        int before = pump.activations();
        loop.exec();
        wall = Seconds(Clock::now() - start);
        cpu = CpuSeconds() - cpu0;
        std::printf("after hang-up, pump running: CPU %.2f%% (%.4f s CPU in %.2f s), "
                    "%d activations, watching=%d\n",
                    cpu / wall * 100, cpu, wall, pump.activations() - before,
                    int(pump.watching()));
    }
    comm.SetPortOpen(false);
    fs::remove_all(root);
    return 0;
}
