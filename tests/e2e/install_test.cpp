// The installed tree: both programs, their help pages, and for each program a menu entry
// whose command and icon are really there.
#include <gtest/gtest.h>

#include <QFile>
#include <QXmlStreamReader>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

#include "tests/e2e/e2e_support.h"
#include "tests/support/testenv.h"

namespace fs = std::filesystem;

namespace {

// The keys of a desktop entry's main group; "" for the group name when it is not first.
std::map<std::string, std::string> ReadDesktopEntry(const fs::path& path, std::string& group) {
    std::map<std::string, std::string> keys;
    std::ifstream in(path);
    std::string line;
    group.clear();
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            if (!group.empty()) break;
            group = line;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

// The root element's name when the file is well-formed XML; "" otherwise.
std::string XmlRoot(const fs::path& path) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) return "";
    QXmlStreamReader xml(&file);
    std::string root;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && root.empty()) root = xml.name().toString().toStdString();
    }
    return xml.hasError() ? "" : root;
}

TEST(Install, PutsTheProgramsHelpMenuEntriesAndIcons) {
    const std::string build = e2e::BuildDir();
    const std::string cmake = e2e::FindInPath("cmake");
    if (cmake.empty()) GTEST_SKIP() << "needs cmake";
    ASSERT_FALSE(e2e::BuiltProgram("client/corvane").empty()) << "corvane is not built";
    ASSERT_FALSE(e2e::BuiltProgram("upgrade/upgrade").empty()) << "upgrade is not built";

    testing_support::TestEnv env;
    const fs::path prefix = fs::path(env.root()) / "prefix";
    const e2e::ToolResult run = e2e::RunTool(
        {cmake, "--install", build, "--prefix", prefix.string()}, e2e::ChildEnvironment({}),
        120000);
    ASSERT_TRUE(run.finished) << "cmake --install did not end";
    ASSERT_EQ(run.code, 0) << run.out;

    for (const char* page : {"index.html", "help-100.html", "help-140.html", "help-170.html"})
        EXPECT_TRUE(fs::is_regular_file(prefix / "share/corvane/help" / page)) << page;

    struct Entry {
        const char* file;
        const char* program;
        const char* icon;
    };
    for (const Entry& e : {Entry{"corvane.desktop", "corvane", "corvane"},
                           Entry{"corvane-upgrade.desktop", "upgrade", "corvane-upgrade"}}) {
        SCOPED_TRACE(e.file);
        const fs::path desktop = prefix / "share/applications" / e.file;
        ASSERT_TRUE(fs::is_regular_file(desktop));
        std::string group;
        auto keys = ReadDesktopEntry(desktop, group);
        EXPECT_EQ(group, "[Desktop Entry]");
        EXPECT_EQ(keys["Type"], "Application");
        EXPECT_FALSE(keys["Name"].empty());
        EXPECT_EQ(keys["Terminal"], "false");
        EXPECT_EQ(keys["Exec"], e.program);
        EXPECT_EQ(keys["Icon"], e.icon);

        const fs::path program = prefix / "bin" / keys["Exec"];
        EXPECT_EQ(access(program.c_str(), X_OK), 0) << program;
        const fs::path icon =
            prefix / "share/icons/hicolor/scalable/apps" / (keys["Icon"] + ".svg");
        EXPECT_EQ(XmlRoot(icon), "svg") << icon;
    }
}

} // namespace
