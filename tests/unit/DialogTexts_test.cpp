#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ui/AuthDialogTexts.h"
#include "ui/PreferencesTexts.h"

namespace Lumenbox {
namespace {

TEST(IdleDuration, UsesTheLargestWholeUnit) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {7200, "2 hours"},    {3600, "1 hour"},       {86400, "24 hours"}, {120, "2 minutes"},
        {60, "1 minute"},     {1800, "30 minutes"},   {3660, "61 minutes"}, {61, "61 seconds"},
        {90, "90 seconds"},   {1, "1 second"},        {59, "59 seconds"},   {3599, "3599 seconds"},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(formatIdleDuration(seconds), text) << seconds;
}

TEST(AuthDialogContent, FillsTheBodyAndDefaultsTheClientName) {
    auto content = makeAuthDialogContent("Invoices", "", "", "abc", 7200);
    EXPECT_EQ(content.clientName, "lumenbox-mcp");
    EXPECT_EQ(content.durationText, "2 hours");
    EXPECT_EQ(content.body,
              "Approving will allow this service to access this FileMaker file, read data from it, and run any "
              "script within it until the authorization expires or is revoked.\n\nThis authorization remains "
              "valid until the service is idle for 2 hours.");
    EXPECT_EQ(content.bodyAccessibilityLabel,
              "Warning. This will allow the service to access this FileMaker file, read data from it, and run any "
              "script within it. This authorization remains valid until the service is idle for 2 hours.");
    EXPECT_EQ(rowValue(content.clientDescription), "Not provided");
    EXPECT_EQ(rowValue(content.sessionIdPrefix), "abc");
}

TEST(AuthDialogContent, TextThatIsNotUtf8IsShownAsEmpty) {
    // A session id cut after 8 bytes may end inside a character.
    auto content = makeAuthDialogContent("Rechnungen \xC3\xBC", "agent\xFF", "ok", "ab\xE2\x82", 60);
    EXPECT_EQ(content.fileName, "Rechnungen \xC3\xBC");
    EXPECT_EQ(content.clientName, "");
    EXPECT_EQ(content.clientDescription, "ok");
    EXPECT_EQ(rowValue(content.sessionIdPrefix), "Not provided");
}

TEST(ClientText, LosesControlCharactersAndSeparatorsAndIsCutAtWholeCharacters) {
    struct Case {
        std::string text;
        std::size_t maxChars;
        std::string clean;
    };
    const Case cases[] = {
        {"plain agent", 80, "plain agent"},
        {"a\nb\r\tc\x1b[0m\x7f", 80, "abc[0m"},
        {std::string("nul\0byte", 8), 80, "nulbyte"},
        {"c1\xC2\x80\xC2\x9F\xC2\xA0ok", 80, "c1\xC2\xA0ok"},  // U+0080 and U+009F go, U+00A0 stays
        {"line\xE2\x80\xA8para\xE2\x80\xA9" "end\xE2\x80\xA7", 80, "lineparaend\xE2\x80\xA7"},
        {"bad\xFF\xC3utf8\xE2\x82", 80, "badutf8"},
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
        {"\n\n\nabc", 2, "ab"},  // what is removed does not count
        {std::string(500, 'x'), kMaxClientDescriptionChars, std::string(300, 'x')},
    };
    for (const auto& [text, maxChars, clean] : cases) EXPECT_EQ(sanitizeClientText(text, maxChars), clean) << text;
}

TEST(Utf8Validation, AcceptsWellFormedTextOnly) {
    for (const char* valid : {"", "plain", "\xC3\xBC", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(isValidUtf8(valid)) << valid;
    }
    const char* invalid[] = {
        "\x80",              // continuation without a lead
        "\xC3",              // cut short
        "\xC0\xAF",          // overlong "/"
        "\xE0\x80\xAF",      // overlong, three bytes
        "\xED\xA0\x80",      // surrogate
        "\xF4\x90\x80\x80",  // past U+10FFFF
        "\xF8\x88\x80\x80\x80",
        "a\xC3(b",
    };
    for (const char* text : invalid) EXPECT_FALSE(isValidUtf8(text)) << text;
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
    EXPECT_EQ(chosen(false, {}), "none");
    EXPECT_EQ(preferencesVersionText(), "v3.2.0");
}

}  // namespace
}  // namespace Lumenbox
