// Figures for a large Inbox: loading "inbox.csv" into the pane, marking one "New" message
// "Old" (which rewrites the file), and resident memory.
//
// bench_inbox            runs 10,000 and 100,000 messages, each in a fresh process
// bench_inbox <count>    runs one size
#include <QApplication>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "client/datafile.h"
#include "client/msgfile.h"
#include "client/msgframe.h"
#include "platform/boxes.h"

namespace {

double Ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

std::string MakeInbox(int count) {
    std::vector<msgfile::Record> records;
    records.reserve(count);
    unsigned seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < count; ++i) {
        std::string text = "Message " + std::to_string(i) + ": ";
        const int len = 40 + int(next() % 120);
        while (int(text.size()) < len) text += "see you at 7, \"caf\xE9\" +1 "[next() % 24];
        char date[32];
        std::snprintf(date, sizeof date, "2006/%02d/%02d %02d:%02d:%02d", 1 + i % 12, 1 + i % 28,
                      i % 24, i % 60, (i * 7) % 60);
        records.push_back({"\"+4477009" + std::to_string(100000 + i) + "\"", text, date,
                           i % 2 ? "Old" : "New"});
    }
    return msgfile::FormatFile(records);
}

int RunOne(int count) {
    char tmpl[] = "/tmp/corvane-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    setenv("CORVANE_DATA", dir.c_str(), 1);
    platform::SetBoxHandler([](const platform::BoxRequest& r) {
        std::fprintf(stderr, "box: %s\n", r.text.c_str());
        return int(platform::IDOK);
    });
    {
        std::ofstream(dir + "/inbox.csv", std::ios::binary) << MakeInbox(count);
    }
    const long fileKb = long(std::filesystem::file_size(dir + "/inbox.csv") / 1024);
    const long rssBefore = RssKb();

    TMSGFrame1 frame;
    frame.resize(800, 600);
    auto t0 = std::chrono::steady_clock::now();
    frame.LoadFromFile("inbox.csv", true);
    auto t1 = std::chrono::steady_clock::now();
    frame.show();
    QApplication::processEvents();
    auto t2 = std::chrono::steady_clock::now();
    const long rssAfter = RssKb();

    // Mark "New" messages "Old" one at a time, spread over the list; each rewrites the file.
    std::vector<double> rewrites;
    for (int k = 0; k < 21; ++k) {
        int row = (k * (count / 21)) & ~1;   // even rows are "New"
        frame.msglist->clearSelection();
        auto a = std::chrono::steady_clock::now();
        frame.msglist->topLevelItem(row)->setSelected(true);
        auto b = std::chrono::steady_clock::now();
        if (frame.ItemStatus(row) != "Old") std::fprintf(stderr, "row %d not marked\n", row);
        rewrites.push_back(Ms(a, b));
    }
    std::sort(rewrites.begin(), rewrites.end());

    // The share of the rewrite that is the safe save itself (write, flush, backup, rename).
    std::string bytes;
    datafile::ReadFile(dir + "/inbox.csv", bytes);
    std::vector<double> saves;
    for (int k = 0; k < 11; ++k) {
        auto a = std::chrono::steady_clock::now();
        datafile::SafeWrite(dir + "/copy.csv", bytes);
        saves.push_back(Ms(a, std::chrono::steady_clock::now()));
    }
    std::sort(saves.begin(), saves.end());

    auto s0 = std::chrono::steady_clock::now();
    frame.msglistColumnClick(2);
    auto s1 = std::chrono::steady_clock::now();

    std::printf("messages %d (file %ld KiB)\n", frame.Count(), fileKb);
    std::printf("  load (LoadFromFile)        %8.1f ms\n", Ms(t0, t1));
    std::printf("  load + first paint         %8.1f ms\n", Ms(t0, t2));
    std::printf("  mark one Old + rewrite     %8.1f ms median, %.1f ms max (%zu runs)\n",
                rewrites[rewrites.size() / 2], rewrites.back(), rewrites.size());
    std::printf("    of which the safe save   %8.1f ms median\n", saves[saves.size() / 2]);
    std::printf("  sort by date               %8.1f ms\n", Ms(s0, s1));
    std::printf("  VmRSS                      %8.1f MiB (before load %.1f MiB)\n",
                rssAfter / 1024.0, rssBefore / 1024.0);
    std::filesystem::remove_all(dir);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        QApplication app(argc, argv);
        return RunOne(std::atoi(argv[1]));
    }
    // Each size in a process of its own, so the memory figures don't add up.
    for (const char* count : {"10000", "100000"}) {
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            execl("/proc/self/exe", argv[0], count, static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    }
    return 0;
}
