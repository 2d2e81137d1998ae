#include "ui/EnhancedSecurity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "support/ScopedEnv.h"

namespace Lumenbox {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;

class EnhancedSecuritySettingTest : public ::testing::Test {
protected:
    fs::path file() const { return config_.path() / "lumenbox" / "defaults.json"; }
    void write(const std::string& text) {
        fs::create_directories(file().parent_path());
        std::ofstream(file(), std::ios::binary) << text;
    }
    nlohmann::json stored() const { return nlohmann::json::parse(testing::readFile(file())); }
    // Nothing but the settings file is left beside it (no temporary file of a write).
    void expectOnlyTheFile() const {
        for (const auto& entry : fs::directory_iterator(file().parent_path())) EXPECT_EQ(entry.path(), file());
    }

    TempDir config_, home_;
    ScopedEnv xdg_{"XDG_CONFIG_HOME", config_.path().string()};
    ScopedEnv homeEnv_{"HOME", home_.path().string()};
};

TEST_F(EnhancedSecuritySettingTest, OffUntilWrittenThenReadBackKeepingOtherSettings) {
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    EXPECT_FALSE(fs::exists(file()));
    setEnhancedSecurityEnabled(true);
    EXPECT_TRUE(isEnhancedSecurityEnabled());
    EXPECT_EQ(stored(), nlohmann::json({{"EnableEnhancedSecurity", true}}));

    write(R"({"Other": [1, 2], "EnableEnhancedSecurity": true})");
    setEnhancedSecurityEnabled(false);
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    EXPECT_EQ(stored(), nlohmann::json::parse(R"({"Other": [1, 2], "EnableEnhancedSecurity": false})"));
    expectOnlyTheFile();
    write("{garbage");  // a corrupt file is replaced
    setEnhancedSecurityEnabled(true);
    EXPECT_TRUE(isEnhancedSecurityEnabled());
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
    for (const char* text : {"", "not json", "{\"EnableEnhancedSecurity\": true", "// note\n{\"EnableEnhancedSecurity\": true}",
                             "true", "[{\"EnableEnhancedSecurity\": true}]", "{\"enableEnhancedSecurity\": true}",
                             "{\"EnableEnhancedSecurity\": 1}", "{\"EnableEnhancedSecurity\": \"true\"}",
                             "{\"EnableEnhancedSecurity\": true}\xff"}) {
        write(text);
        EXPECT_FALSE(isEnhancedSecurityEnabled()) << text;
    }
    // Rewritten in place at the same size within the file system's time resolution: still noticed.
    for (const char* text : {"{\"EnableEnhancedSecurity\": true }", "{\"EnableEnhancedSecurity\": false}",
                             "{\"EnableEnhancedSecurity\": true}"}) {
        write(text);
        EXPECT_EQ(isEnhancedSecurityEnabled(), std::string(text).find("true") != std::string::npos) << text;
    }
    fs::remove(file());
    EXPECT_FALSE(isEnhancedSecurityEnabled());
}

// Permission bits do not stop root, so the failures are made with paths that cannot work at all.
TEST_F(EnhancedSecuritySettingTest, FailedWriteIsSilentAndLeavesNothingBehind) {
    std::ofstream(config_.path() / "plain-file") << "x";
    {
        ScopedEnv xdgIsAFile("XDG_CONFIG_HOME", (config_.path() / "plain-file").string());
        setEnhancedSecurityEnabled(true);
        EXPECT_FALSE(isEnhancedSecurityEnabled());
    }
    fs::create_directories(file() / "in-the-way");
    setEnhancedSecurityEnabled(true);
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    expectOnlyTheFile();
}

}  // namespace
}  // namespace Lumenbox
