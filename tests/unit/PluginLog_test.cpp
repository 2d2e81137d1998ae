#include "base/Log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "support/ScopedEnv.h"

namespace Lumenbox {
namespace {

using testing::ScopedEnv;
namespace fs = std::filesystem;

TEST(PluginLog, LineHasAUtcStampTheEventAndDetailsWithoutTrailingSpaceOrLineBreaks) {
    EXPECT_EQ(formatPluginLogLine(0, "bridge_start_recovered", ""), "1970-01-01T00:00:00Z bridge_start_recovered\n");
    EXPECT_EQ(formatPluginLogLine(1700000000, "a\r\nb", "error=\"x\ry\nz\""), "2023-11-14T22:13:20Z a  b error=\"x y z\"\n");
}

TEST(PluginLog, PathIsTheVariableThenUnderHomeThenNone) {
    const fs::path underHome("/Users/someone/Library/Application Support/Lumenbox/MCP/logs/lumenbox-plugin.log");
    const std::tuple<std::optional<std::string>, std::optional<std::string>, std::optional<fs::path>> cases[] = {
        {"relative/log.txt", "/Users/someone", "relative/log.txt"}, {std::nullopt, "/Users/someone", underHome},
        {"", "/Users/someone", underHome}, {"", "", std::nullopt}, {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& [variable, home, path] : cases) {
        ScopedEnv homeEnv("HOME", home);
        ScopedEnv pathEnv("LUMENBOX_PLUGIN_LOG_PATH", variable);
        EXPECT_EQ(pluginLogPath(), path) << variable.value_or("(unset)") << " " << home.value_or("(unset)");
        if (!path) appendPluginLog("plugin_init_exception", "nowhere to go");  // must simply do nothing
    }
}

TEST(PluginLog, AppendCreatesMissingDirectoriesWritesOneLinePerCallAndIgnoresUnusablePaths) {
    testing::TempDir dir;
    const auto path = dir.path() / "a" / "b" / "plugin.log";
    const auto regularFile = dir.path() / "file";
    std::ofstream(regularFile) << "keep";
    // The last two cannot be written: a parent that is a regular file, and a directory.
    for (const fs::path& target : {path, path, regularFile / "sub" / "plugin.log", dir.path()}) {
        ScopedEnv logPath("LUMENBOX_PLUGIN_LOG_PATH", target.string());
        appendPluginLog("bridge_start_failed", "error=\"first\nsecond\"");
    }
    const std::string line = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ bridge_start_failed error=\"first second\"\n";
    EXPECT_TRUE(std::regex_match(testing::readFile(path), std::regex(line + line))) << testing::readFile(path);
    EXPECT_EQ(testing::readFile(regularFile), "keep");
    EXPECT_FALSE(fs::exists(regularFile / "sub"));
}

}  // namespace
}  // namespace Lumenbox
