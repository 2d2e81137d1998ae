#include "base/Log.h"

#include "support/ScopedEnv.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace Lumenbox {
namespace {

using testing::readFile;
using testing::ScopedEnv;
using testing::TempDir;

TEST(PluginLogLine, HasUtcStampEventAndDetailsWithoutTrailingSpaceOrLineBreaks) {
    EXPECT_EQ(formatPluginLogLine(0, "bridge_start_recovered", ""), "1970-01-01T00:00:00Z bridge_start_recovered\n");
    EXPECT_EQ(formatPluginLogLine(1700000000, "bridge_start_failed", "host=127.0.0.1 port=1365"),
              "2023-11-14T22:13:20Z bridge_start_failed host=127.0.0.1 port=1365\n");
    EXPECT_EQ(formatPluginLogLine(0, "a\r\nb", "error=\"x\ry\nz\""), "1970-01-01T00:00:00Z a  b error=\"x y z\"\n");
}

TEST(PluginLogPath, ExplicitVariableWinsThenHomeThenNothing) {
    ScopedEnv home("HOME", "/Users/someone");
    {
        ScopedEnv explicitPath("LUMENBOX_PLUGIN_LOG_PATH", "relative/log.txt");
        EXPECT_EQ(pluginLogPath(), std::filesystem::path("relative/log.txt"));
    }
    const std::filesystem::path underHome("/Users/someone/Library/Application Support/Lumenbox/MCP/logs/lumenbox-plugin.log");
    {
        ScopedEnv unsetPath("LUMENBOX_PLUGIN_LOG_PATH", std::nullopt);
        EXPECT_EQ(pluginLogPath(), underHome);
    }
    ScopedEnv emptyPath("LUMENBOX_PLUGIN_LOG_PATH", "");
    EXPECT_EQ(pluginLogPath(), underHome);
    ScopedEnv emptyHome("HOME", "");
    EXPECT_EQ(pluginLogPath(), std::nullopt);
    ScopedEnv noHome("HOME", std::nullopt);
    EXPECT_EQ(pluginLogPath(), std::nullopt);
    appendPluginLog("plugin_init_exception", "nowhere to go");  // must simply do nothing
}

TEST(PluginLog, CreatesMissingDirectoriesAndAppendsOneLinePerCall) {
    TempDir dir;
    const auto path = dir.path() / "a" / "b" / "plugin.log";
    ScopedEnv logPath("LUMENBOX_PLUGIN_LOG_PATH", path.string());

    appendPluginLog("bridge_start_failed", "error=\"first\nsecond\"");
    appendPluginLog("bridge_start_recovered", "");

    const std::string contents = readFile(path);
    const std::regex expected(
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ bridge_start_failed error=\"first second\"\n"
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ bridge_start_recovered\n");
    EXPECT_TRUE(std::regex_match(contents, expected)) << contents;
}

TEST(PluginLog, UnusableLocationsAreSilentlyIgnored) {
    TempDir dir;
    const auto regularFile = dir.path() / "file";
    std::ofstream(regularFile) << "keep";

    {  // The parent "directory" is a regular file, so it can be neither created nor opened.
        ScopedEnv logPath("LUMENBOX_PLUGIN_LOG_PATH", (regularFile / "sub" / "plugin.log").string());
        appendPluginLog("bridge_runtime_exception", "lost");
    }
    {  // The path names an existing directory.
        ScopedEnv logPath("LUMENBOX_PLUGIN_LOG_PATH", dir.path().string());
        appendPluginLog("bridge_runtime_exception", "lost");
    }
    EXPECT_EQ(readFile(regularFile), "keep");
    EXPECT_FALSE(std::filesystem::exists(regularFile / "sub"));
}

}  // namespace
}  // namespace Lumenbox
