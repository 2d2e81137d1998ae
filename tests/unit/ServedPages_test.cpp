#include "webviewer/ServedPages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "webviewer/EmbeddedPages.h"

namespace Lumenbox {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::size_t occurrences(std::string_view text, std::string_view part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(KnownCallbacks, AParameterAddsTrimmedNamesOnceAndSortsAllInByteOrderEvenWhenItNamesNone) {
    EXPECT_THAT(parseKnownCallbacks(" zed ,\tAlpha,,zed,handleFMCallback, ,"),
                ElementsAre("Alpha", "chunkReceived", "handleFMCallback", "handleFmWVFetchCallback",
                            "streamingChunkReceived", "streamingComplete", "zed"));
    EXPECT_THAT(parseKnownCallbacks(" , ,\n,"), ElementsAre("chunkReceived", "handleFMCallback", "handleFmWVFetchCallback",
                                                            "streamingChunkReceived", "streamingComplete"));
}

TEST(PageValues, EscapingStopsAValueFromEndingItsStringOrScriptAndTokensAreFilledInOnePass) {
    const std::pair<std::string, std::string> escapes[] = {
        {R"(a"b)", R"(a\"b)"}, {R"(a\b)", R"(a\\b)"}, {"</script>", R"(\u003c/script>)"}, {"a\nb\rc", R"(a\nb\rc)"},
        {R"(\")", R"(\\\")"}, {"", ""},
        // Other control bytes, a NUL, single quotes and UTF-8 pass unchanged.
        {std::string("\t\x01'\0>", 5) + "Caf\xC3\xA9 \xE2\x80\xA8 \xFF", std::string("\t\x01'\0>", 5) + "Caf\xC3\xA9 \xE2\x80\xA8 \xFF"},
    };
    for (const auto& [value, escaped] : escapes) EXPECT_EQ(escapeJsString(value), escaped) << value;

    const std::tuple<const char*, std::vector<std::pair<std::string_view, std::string>>, const char*> fills[] = {
        {"[A][B][A]", {{"[A]", "1"}, {"[B]", "22"}}, "1221"},
        {"", {{"[A]", "1"}}, ""},
        {"<[A]|[B]>", {{"[A]", "[A][B]"}, {"[B]", "b"}}, "<[A][B]|b>"},  // a value is never scanned again
        {"<[B]|[A]>", {{"[A]", "a"}, {"[B]", "[A]"}}, "<[A]|a>"},
        {"[A]B]", {{"[A]", "["}, {"[B]", "x"}}, "[B]"},  // nor joined with the text behind it
    };
    for (const auto& [text, tokens, filled] : fills) EXPECT_EQ(replaceAllTokens(text, tokens), filled) << text;
}

// The expected page is built by replacing each placeholder once, independently of replaceAllTokens;
// the file name goes last, as it names another placeholder.
TEST(WebviewerPage, EachPlaceholderStandsOnceInAScriptStringAndIsFilledEscapedWithNothingElseChanged) {
    std::string expected(resources::kWebviewerPageTemplate);
    const std::pair<std::string_view, std::string_view> values[] = {
        {kVersionPlaceholder, "3.2.0"}, {kCallbacksPlaceholder, R"([\"a\"])"}, {kWsUrlPlaceholder, ""},
        {kMessageLimitPlaceholder, "16777216"}, {kFileNamePlaceholder, R"(Q\"3 \\ \u003cb>\n__LUMENBOX_VERSION__)"},
    };
    for (const auto& [placeholder, value] : values) {
        SCOPED_TRACE(placeholder);
        EXPECT_EQ(occurrences(expected, placeholder), 1u);
        EXPECT_EQ(occurrences(expected, "\"" + std::string(placeholder) + "\""), 1u);
        if (auto at = expected.find(placeholder); at != std::string::npos) expected.replace(at, placeholder.size(), value);
    }
    EXPECT_LT(expected.find("Q\\\"3"), expected.find("</head>"));
    EXPECT_EQ(generateWebviewerHtml("Q\"3 \\ <b>\n__LUMENBOX_VERSION__", R"(["a"])"), expected);
}

TEST(MockScript, ConfigurationCarriesEscapedValuesAndASessionAndClientNameOnlyWhenGiven) {
    EXPECT_THAT(generateFmMockScript("Sales \"Q3\"", "ws://127.0.0.1:9/<x>", true),
                HasSubstr(R"({"fileName":"Sales \"Q3\"","wsUrl":"ws://127.0.0.1:9/\u003cx>","debug":true};)"));
    EXPECT_THAT(generateFmMockScript("Sales", "", false, "s-\"</script>", "dev"),
                HasSubstr(R"("debug":false,"session":"s-\"\u003c/script>","clientName":"dev"};)"));
    for (const char* on : {"1", "true", "yes", "on"}) EXPECT_TRUE(isDebugFlag(on)) << on;
    for (const char* off : {"", "0", "TRUE", "Yes", "false", "no", " 1", "true "}) EXPECT_FALSE(isDebugFlag(off)) << off;
}

}  // namespace
}  // namespace Lumenbox
