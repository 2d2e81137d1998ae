#include <gtest/gtest.h>

#include <set>

#include "ui/AuthDialogTexts.h"
#include "ui/PreferencesTexts.h"

namespace Lumenbox {
namespace {

TEST(AuthDialogContent, NamesTheIdleTimeInItsLargestWholeUnitAndShowsTextThatIsNotUtf8AsEmpty) {
    const std::pair<std::int64_t, const char*> durations[] = {
        {7200, "2 hours"}, {3600, "1 hour"},       {86400, "24 hours"},  {120, "2 minutes"},   {60, "1 minute"},
        {3660, "61 minutes"}, {61, "61 seconds"},  {1, "1 second"},      {3599, "3599 seconds"},
    };
    for (const auto& [seconds, text] : durations) EXPECT_EQ(formatIdleDuration(seconds), text) << seconds;
    auto content = makeAuthDialogContent("Rechnungen \xC3\xBC", "agent\xFF", "", "ab\xE2\x82", 7200);
    EXPECT_NE(content.body.find("idle for 2 hours."), std::string::npos);
    EXPECT_NE(content.bodyAccessibilityLabel.find("idle for 2 hours."), std::string::npos);
    EXPECT_EQ(content.fileName, "Rechnungen \xC3\xBC");
    EXPECT_EQ(content.clientName, "");
    EXPECT_EQ(rowValue(content.clientDescription), "Not provided");
    EXPECT_EQ(rowValue(content.sessionIdPrefix), "Not provided");  // an id cut after 8 bytes inside a character
}

TEST(PreferencesLogo, FollowsTheAppearanceThenFallsBackToTheBitmap) {
    auto chosen = [](bool dark, std::set<std::string> available) {
        auto logo = choosePreferencesLogo(dark, [&](const LogoResource& resource) {
            return available.count(std::string(resource.name) + "." + std::string(resource.type)) > 0;
        });
        return logo ? std::string(logo->name) + "." + std::string(logo->type) : std::string("none");
    };
    const std::set<std::string> all = {"lumenbox-horiz-dark.svg", "lumenbox-horiz-light.svg", "lumenbox-horiz.png"};
    EXPECT_EQ(chosen(true, all), "lumenbox-horiz-dark.svg");
    EXPECT_EQ(chosen(false, all), "lumenbox-horiz-light.svg");
    EXPECT_EQ(chosen(true, {"lumenbox-horiz-light.svg", "lumenbox-horiz.png"}), "lumenbox-horiz.png");
    EXPECT_EQ(chosen(false, {"lumenbox-horiz-dark.svg"}), "none");
}

}  // namespace
}  // namespace Lumenbox
