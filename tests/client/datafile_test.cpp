// Safe saving of the data files: backups, injected write failures, failure reports, copies of
// files that failed to load, and crash safety under SIGKILL.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "client/datafile.h"
#include "client/msgfile.h"
#include "tests/support/testenv.h"

namespace fs = std::filesystem;
using testing_support::BoxScript;
using testing_support::TestEnv;

namespace {

// Fails every write once `limit` bytes have gone out in total (ENOSPC).
struct FailAfter {
    explicit FailAfter(long limit) {
        previous = datafile::SetWriteHook([this, limit](int fd, const char* data, std::size_t n) -> long {
            if (written >= limit) {
                errno = ENOSPC;
                return -1;
            }
            std::size_t allowed = std::min<std::size_t>(n, std::size_t(limit - written));
            long done = ::write(fd, data, allowed);
            if (done > 0) written += done;
            return done;
        });
    }
    ~FailAfter() { datafile::SetWriteHook(std::move(previous)); }
    long written = 0;
    datafile::WriteHook previous;
};

std::string Read(const std::string& path) {
    std::string bytes;
    datafile::ReadFile(path, bytes);
    return bytes;
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DataFile, BackupName) {
    const std::pair<std::string, std::string> cases[] = {
        {"inbox.csv", "inbox.BAK"}, {"phonebook.csv", "phonebook.BAK"},
        {"/x/y/sent.csv", "sent.BAK"}, {"noext", "noext.BAK"}, {"a.b.c", "a.b.BAK"},
    };
    for (const auto& [name, bak] : cases) EXPECT_EQ(datafile::BackupName(name), bak);
}

TEST(DataFile, SaveKeepsThePreviousFileAsBackupBesideIt) {
    TestEnv env;
    const std::string path = env.data() + "/inbox.csv";
    ASSERT_TRUE(datafile::SafeWrite(path, "one"));
    EXPECT_EQ(Names(env.data()), std::vector<std::string>{"inbox.csv"});
    ASSERT_TRUE(datafile::SafeWrite(path, "two"));
    ASSERT_TRUE(datafile::SafeWrite(path, "three"));
    EXPECT_EQ(Read(path), "three");
    EXPECT_EQ(env.ReadData("inbox.BAK"), "two");   // an older backup is replaced
    EXPECT_EQ(Names(env.data()), (std::vector<std::string>{"inbox.BAK", "inbox.csv"}));
    ASSERT_TRUE(datafile::SafeWrite(path, ""));
    EXPECT_TRUE(env.DataExists("inbox.csv"));
    EXPECT_EQ(Read(path), "");
}

TEST(DataFile, AFailedWriteLeavesTheOldFileWhole) {
    TestEnv env;
    const std::string path = env.data() + "/sent.csv";
    const std::string oldBytes(5000, 'o');
    ASSERT_TRUE(datafile::SafeWrite(path, "backup"));
    ASSERT_TRUE(datafile::SafeWrite(path, oldBytes));
    const std::string newBytes(9000, 'n');
    for (long failAt : {0L, 1L, 4096L, 8999L}) {
        FailAfter fail(failAt);
        std::string reason;
        EXPECT_FALSE(datafile::SafeWrite(path, newBytes, &reason)) << failAt;
        EXPECT_NE(reason.find("No space left"), std::string::npos) << reason;
        EXPECT_EQ(Read(path), oldBytes) << failAt;
        EXPECT_EQ(env.ReadData("sent.BAK"), "backup") << failAt;
        EXPECT_EQ(Names(env.data()), (std::vector<std::string>{"sent.BAK", "sent.csv"}));
    }
    FailAfter enough(9000);
    EXPECT_TRUE(datafile::SafeWrite(path, newBytes));
    EXPECT_EQ(Read(path), newBytes);
}

TEST(DataFile, FailedSavesAreReportedOncePerEpisode) {
    TestEnv env;
    BoxScript boxes;
    boxes.AnswerAll();
    {
        FailAfter fail(10);
        for (int i = 0; i < 5; ++i) EXPECT_FALSE(datafile::SaveDataFile("inbox.csv", "0123456789ABC"));
        EXPECT_FALSE(datafile::SaveDataFile("sent.csv", "0123456789ABC"));   // its own episode
    }
    ASSERT_EQ(boxes.shown().size(), 2u);
    EXPECT_EQ(boxes.shown()[0].caption, "Error");
    EXPECT_NE(boxes.shown()[0].text.find(env.data() + "/inbox.csv"), std::string::npos);
    EXPECT_NE(boxes.shown()[1].text.find("sent.csv"), std::string::npos);
    EXPECT_TRUE(datafile::SaveDataFile("inbox.csv", "ok"));
    EXPECT_EQ(env.ReadData("inbox.csv"), "ok");
    {
        FailAfter fail(0);
        EXPECT_FALSE(datafile::SaveDataFile("inbox.csv", "again"));   // a new episode
    }
    EXPECT_EQ(boxes.shown().size(), 3u);
    EXPECT_EQ(env.ReadData("inbox.csv"), "ok");
    EXPECT_TRUE(datafile::SaveDataFile("sent.csv", ""));
}

TEST(DataFile, KeepAsideNeverReplacesACopy) {
    TestEnv env;
    const std::string path = env.data() + "/inbox.csv";
    env.WriteData("inbox.csv", "bad file");
    std::string first = datafile::KeepAside(path, "bad file");
    std::string second = datafile::KeepAside(path, "worse file");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind(path + ".bad-", 0), 0u) << first;
    EXPECT_EQ(Read(first), "bad file");
    EXPECT_EQ(Read(second), "worse file");
    // Saves rotate inbox.BAK, never the copies.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(datafile::SafeWrite(path, "new " + std::to_string(i)));
    EXPECT_EQ(Read(first), "bad file");
    EXPECT_EQ(Read(second), "worse file");
}

TEST(DataFile, NoSaveReplacesAFileThatFailedToLoadBeforeACopyExists) {
    TestEnv env;
    BoxScript boxes;
    boxes.AnswerAll();
    const std::string path = env.data() + "/phonebook.csv";
    env.WriteData("phonebook.csv", "original");
    std::string pending;
    {
        FailAfter fail(0);
        pending = path;   // as a loader records a file that failed to load
        EXPECT_FALSE(datafile::SaveDataFile("phonebook.csv", "replacement", &pending));
        EXPECT_FALSE(datafile::SaveDataFile("phonebook.csv", "replacement", &pending));
    }
    {
        FailAfter fail(8);   // the copy is made, the save over the file fails
        EXPECT_FALSE(datafile::SaveDataFile("phonebook.csv", "replacement", &pending));
        EXPECT_EQ(pending, path);
    }
    EXPECT_EQ(env.ReadData("phonebook.csv"), "original");
    EXPECT_EQ(boxes.shown().size(), 1u);
    EXPECT_TRUE(datafile::SaveDataFile("phonebook.csv", "replacement", &pending));
    EXPECT_TRUE(pending.empty());
    EXPECT_EQ(env.ReadData("phonebook.csv"), "replacement");
    int copies = 0;
    for (const auto& name : Names(env.data())) {
        if (name.rfind("phonebook.csv.bad-", 0) == 0) {
            ++copies;
            EXPECT_EQ(env.ReadData(name), "original");
        }
    }
    EXPECT_EQ(copies, 1);
}

// A large message file whose records tell which version it is.
std::string Version(char tag, int records) {
    std::vector<msgfile::Record> list;
    for (int i = 0; i < records; ++i)
        list.push_back({"+4477009" + std::to_string(i), std::string(120, tag) + " text",
                        "2006/01/02 10:20:30", "Old"});
    return msgfile::FormatFile(list);
}

// Children save the file again and again and die by SIGKILL: either at a seeded step of
// their own (inside a write, before a flush, between backup and rename) or whenever the
// parent kills them after a seeded number of finished saves. The file must always be one
// of the versions, whole, and load.
TEST(DataFileCrash, KilledSavesLeaveAWholeFile) {
    TestEnv env;
    const std::string path = env.data() + "/inbox.csv";
    const std::string versions[2] = {Version('a', 1500), Version('b', 1700)};
    ASSERT_TRUE(datafile::SafeWrite(path, versions[0]));
    std::mt19937 rng(424242);
    const int kIterations = 60;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        const bool selfKill = iteration % 2 == 0;
        const int killAt = int(rng() % 400);        // event index for a self kill
        const int savesBeforeKill = int(rng() % 4);  // finished saves before an outside kill
        int pipeFd[2];
        ASSERT_EQ(pipe(pipeFd), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipeFd[0]);
            int events = 0;
            auto event = [&] {
                if (selfKill && events++ == killAt) raise(SIGKILL);
            };
            datafile::SetStepHook([&](const char*) { event(); });
            datafile::SetWriteHook([&](int fd, const char* data, std::size_t n) -> long {
                event();
                return ::write(fd, data, std::min<std::size_t>(n, 4096));
            });
            for (int round = 0;; ++round) {
                datafile::SafeWrite(path, versions[(round + iteration) % 2]);
                if (write(pipeFd[1], "s", 1) != 1) _exit(3);
            }
        }
        close(pipeFd[1]);
        if (!selfKill) {
            char c;
            for (int i = 0; i < savesBeforeKill; ++i) ASSERT_EQ(read(pipeFd[0], &c, 1), 1);
            kill(child, SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(pipeFd[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "iteration " << iteration;
        EXPECT_EQ(WTERMSIG(status), SIGKILL);

        const std::string now = Read(path);
        ASSERT_TRUE(now == versions[0] || now == versions[1])
            << "iteration " << iteration << ": " << now.size() << " bytes";
        auto parsed = msgfile::ParseFile(now);
        EXPECT_EQ(parsed.badLine, -1);
        EXPECT_TRUE(parsed.records.size() == 1500 || parsed.records.size() == 1700);
        if (env.DataExists("inbox.BAK")) {
            std::string bak = env.ReadData("inbox.BAK");
            EXPECT_TRUE(bak == versions[0] || bak == versions[1]) << "iteration " << iteration;
        }
    }
    // The next save after all that still works and clears any leftover temporary file.
    ASSERT_TRUE(datafile::SafeWrite(path, versions[1]));
    EXPECT_EQ(Read(path), versions[1]);
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

} // namespace
