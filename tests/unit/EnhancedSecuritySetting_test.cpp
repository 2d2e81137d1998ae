#include "ui/EnhancedSecurity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ScopedEnv.h"

namespace Lumenbox {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;

class EnhancedSecuritySettingTest : public ::testing::Test {
protected:
    fs::path settingsFile() const { return config_.path() / "lumenbox" / "defaults.json"; }

    void writeSettings(const std::string& text) {
        fs::create_directories(settingsFile().parent_path());
        std::ofstream(settingsFile(), std::ios::binary) << text;
    }

    static std::vector<fs::path> entriesOf(const fs::path& dir) {
        std::vector<fs::path> entries;
        for (const auto& e : fs::directory_iterator(dir)) entries.push_back(e.path().filename());
        return entries;
    }

    TempDir config_;
    TempDir home_;
    ScopedEnv xdgEnv_{"XDG_CONFIG_HOME", config_.path().string()};
    ScopedEnv homeEnv_{"HOME", home_.path().string()};
};

TEST_F(EnhancedSecuritySettingTest, OffUntilWrittenThenReadBackWithNoTemporaryFileLeft) {
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    EXPECT_FALSE(fs::exists(settingsFile()));
    setEnhancedSecurityEnabled(true);
    EXPECT_TRUE(isEnhancedSecurityEnabled());
    EXPECT_EQ(nlohmann::json::parse(testing::readFile(settingsFile())),
              nlohmann::json({{"EnableEnhancedSecurity", true}}));

    setEnhancedSecurityEnabled(false);
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    EXPECT_EQ(entriesOf(settingsFile().parent_path()), std::vector<fs::path>{"defaults.json"});
}

TEST_F(EnhancedSecuritySettingTest, XdgConfigHomeWinsAndHomeConfigIsTheFallback) {
    const fs::path homeFile = home_.path() / ".config" / "lumenbox" / "defaults.json";
    setEnhancedSecurityEnabled(true);
    EXPECT_FALSE(fs::exists(homeFile));

    for (const std::optional<std::string>& xdg : {std::optional<std::string>(""), std::optional<std::string>()}) {
        ScopedEnv noXdg("XDG_CONFIG_HOME", xdg);
        EXPECT_FALSE(isEnhancedSecurityEnabled());
        setEnhancedSecurityEnabled(true);
        EXPECT_TRUE(isEnhancedSecurityEnabled());
        EXPECT_TRUE(fs::exists(homeFile));
        fs::remove(homeFile);
    }

    ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv noHome("HOME", std::nullopt);
    setEnhancedSecurityEnabled(true);
    EXPECT_FALSE(isEnhancedSecurityEnabled());
}

TEST_F(EnhancedSecuritySettingTest, AnythingButABooleanTrueReadsAsOffAndEveryReadIsFresh) {
    const char* contents[] = {
        "",
        "not json",
        "{\"EnableEnhancedSecurity\": true",
        "// note\n{\"EnableEnhancedSecurity\": true}",
        "true",
        "[{\"EnableEnhancedSecurity\": true}]",
        "{}",
        "{\"enableEnhancedSecurity\": true}",
        "{\"EnableEnhancedSecurity\": 1}",
        "{\"EnableEnhancedSecurity\": \"true\"}",
        "{\"EnableEnhancedSecurity\": null}",
        "{\"EnableEnhancedSecurity\": true}\xff",
    };
    for (const char* text : contents) {
        writeSettings(text);
        EXPECT_FALSE(isEnhancedSecurityEnabled()) << text;
    }
    // The file changing behind its back is noticed at once, even when it is rewritten in place at
    // the same size within the file system's time resolution.
    writeSettings("{\"EnableEnhancedSecurity\": true }");
    EXPECT_TRUE(isEnhancedSecurityEnabled());
    writeSettings("{\"EnableEnhancedSecurity\": false}");
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    writeSettings("{\"EnableEnhancedSecurity\": true}");
    EXPECT_TRUE(isEnhancedSecurityEnabled());
    fs::remove(settingsFile());
    EXPECT_FALSE(isEnhancedSecurityEnabled());
}

TEST_F(EnhancedSecuritySettingTest, WritingKeepsOtherSettingsAndReplacesACorruptFile) {
    writeSettings(R"({"Other": [1, 2], "Name": "x", "EnableEnhancedSecurity": false})");
    setEnhancedSecurityEnabled(true);
    auto stored = nlohmann::json::parse(testing::readFile(settingsFile()));
    EXPECT_EQ(stored, nlohmann::json::parse(R"({"Other": [1, 2], "Name": "x", "EnableEnhancedSecurity": true})"));

    writeSettings("{garbage");
    setEnhancedSecurityEnabled(true);
    EXPECT_TRUE(isEnhancedSecurityEnabled());
}

// Permission bits do not stop root, so the failures are made with paths that cannot work at all.
TEST_F(EnhancedSecuritySettingTest, FailedWriteIsSilentAndLeavesNothingBehind) {
    std::ofstream(config_.path() / "plain-file") << "x";
    {
        ScopedEnv xdgIsAFile("XDG_CONFIG_HOME", (config_.path() / "plain-file").string());
        setEnhancedSecurityEnabled(true);
        EXPECT_FALSE(isEnhancedSecurityEnabled());
    }

    fs::create_directories(settingsFile() / "in-the-way");
    setEnhancedSecurityEnabled(true);
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    EXPECT_EQ(entriesOf(settingsFile().parent_path()), std::vector<fs::path>{"defaults.json"});
}

}  // namespace
}  // namespace Lumenbox
