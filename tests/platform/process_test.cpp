// Starting outside programs: argument lists without a shell, exit codes, waiting.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/process.h"
#include "tests/support/testenv.h"

using platform::ChildProcess;
using testing_support::TestEnv;

TEST(Process, ExitCodesComeBack) {
    struct Case { std::vector<std::string> args; int code; };
    const Case cases[] = {{{"-c", "exit 0"}, 0}, {{"-c", "exit 3"}, 3}, {{"-c", "exit 255"}, 255},
                          {{"-c", "kill -TERM $$"}, 128 + SIGTERM}};
    for (const Case& c : cases) {
        ChildProcess p;
        ASSERT_TRUE(p.Start("/bin/sh", c.args)) << p.error();
        EXPECT_GT(p.pid(), 0);
        EXPECT_TRUE(p.Wait(-1));
        EXPECT_TRUE(p.Finished());
        EXPECT_EQ(p.exitCode(), c.code) << c.args[1];
    }
}

TEST(Process, ArgumentsReachTheProgramUntouched) {
    TestEnv env;
    const std::string out = env.root() + "/args.txt";
    const std::vector<std::string> args = {"$HOME", "a b", "*", "; rm -rf /", "'q'", ""};
    ChildProcess p;
    std::vector<std::string> all = {"-c", "for a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$0\"",
                                    out};
    all.insert(all.end(), args.begin(), args.end());
    ASSERT_TRUE(p.Start("sh", all)) << p.error();   // found on PATH
    ASSERT_TRUE(p.Wait(-1));
    std::ifstream in(out);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), "[$HOME][a b][*][; rm -rf /]['q'][]");
}

TEST(Process, MissingProgramFailsToStart) {
    TestEnv env;
    for (const std::string& program :
         {env.root() + "/no-such-program", std::string("corvane-no-such-program"), env.root()}) {
        ChildProcess p;
        EXPECT_FALSE(p.Start(program, {})) << program;
        EXPECT_FALSE(p.error().empty());
        EXPECT_EQ(p.pid(), -1);
    }
}

TEST(Process, WaitBlocksWithoutPollingTheClock) {
    platform::FakeClock fake;
    platform::ScopedClock scoped(&fake);
    ChildProcess p;
    ASSERT_TRUE(p.Start("/bin/sh", {"-c", "exec sleep 30"}));   // we end it ourselves
    EXPECT_FALSE(p.Finished());
    EXPECT_FALSE(p.Wait(0));
    EXPECT_EQ(p.exitCode(), 259);
    ASSERT_EQ(kill(p.pid(), SIGKILL), 0);
    EXPECT_TRUE(p.Wait(-1));
    EXPECT_EQ(p.exitCode(), 128 + SIGKILL);
    EXPECT_EQ(fake.sleepCalls(), 0);   // the wait slept in the kernel, not in a loop
}

TEST(Process, StartRefusedWhileTheLastOneRuns) {
    ChildProcess p;
    ASSERT_TRUE(p.Start("/bin/sh", {"-c", "exec sleep 30"}));
    EXPECT_FALSE(p.Start("/bin/true", {}));
    kill(p.pid(), SIGKILL);
    ASSERT_TRUE(p.Wait(-1));
    EXPECT_TRUE(p.Start("/bin/true", {}));
    EXPECT_TRUE(p.Wait(-1));
    EXPECT_EQ(p.exitCode(), 0);
}
