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
using Json = nlohmann::json;

class EnhancedSecuritySettingTest : public ::testing::Test {
protected:
    fs::path file() const { return config_.path() / "lumenbox" / "defaults.json"; }
    void write(const std::string& text) {
        fs::create_directories(file().parent_path());
        std::ofstream(file(), std::ios::binary) << text;
    }
    Json stored() const { return Json::parse(testing::readFile(file()), nullptr, false); }
    // Files a write left beside the settings file (a temporary file it did not rename).
    int strays() const {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(file().parent_path())) count += entry.path() != file();
        return count;
    }

    testing::TempDir config_, home_;
    ScopedEnv xdg_{"XDG_CONFIG_HOME", config_.path().string()};
    ScopedEnv homeEnv_{"HOME", home_.path().string()};
};

TEST_F(EnhancedSecuritySettingTest, OffUntilWrittenThenReadBackKeepingOtherSettingsAndReplacingACorruptFile) {
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    setEnhancedSecurityEnabled(true);
    EXPECT_TRUE(isEnhancedSecurityEnabled());
    EXPECT_EQ(stored(), Json({{"EnableEnhancedSecurity", true}}));
    write(R"({"Other": [1, 2], "EnableEnhancedSecurity": true})");
    setEnhancedSecurityEnabled(false);
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    EXPECT_EQ(stored(), Json::parse(R"({"Other": [1, 2], "EnableEnhancedSecurity": false})"));
    EXPECT_EQ(strays(), 0);
    write("{garbage");
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
        EXPECT_TRUE(isEnhancedSecurityEnabled() && fs::exists(homeFile));
        fs::remove(homeFile);
    }
    ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv noHome("HOME", std::nullopt);
    setEnhancedSecurityEnabled(true);
    EXPECT_FALSE(isEnhancedSecurityEnabled());
}

// A file rewritten in place at the same size within the file system's time resolution is still
// read afresh.
TEST_F(EnhancedSecuritySettingTest, OnlyABooleanTrueReadsAsOnAndEveryReadIsFresh) {
    const std::pair<const char*, bool> cases[] = {
        {"", false}, {"not json", false}, {"{\"EnableEnhancedSecurity\": true", false},
        {"// note\n{\"EnableEnhancedSecurity\": true}", false}, {"true", false}, {"[{\"EnableEnhancedSecurity\": true}]", false},
        {"{\"enableEnhancedSecurity\": true}", false}, {"{\"EnableEnhancedSecurity\": 1}", false},
        {"{\"EnableEnhancedSecurity\": \"true\"}", false}, {"{\"EnableEnhancedSecurity\": true}\xff", false},
        {"{\"EnableEnhancedSecurity\": true }", true}, {"{\"EnableEnhancedSecurity\": false}", false},
        {"{\"EnableEnhancedSecurity\": true}", true},
    };
    for (const auto& [text, on] : cases) {
        write(text);
        EXPECT_EQ(isEnhancedSecurityEnabled(), on) << text;
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
    EXPECT_EQ(strays(), 0);
}

}  // namespace
}  // namespace Lumenbox
