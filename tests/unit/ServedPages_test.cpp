#include "webviewer/ServedPages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "webviewer/EmbeddedPages.h"

namespace Lumenbox {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::size_t occurrences(std::string_view text, std::string_view part, std::size_t from = 0) {
    const auto at = text.find(part, from);
    return at == std::string_view::npos ? 0 : 1 + occurrences(text, part, at + 1);
}

TEST(KnownCallbacks, AParameterAddsTrimmedNamesOnceAndSortsAllInByteOrder) {
    EXPECT_THAT(parseKnownCallbacks(" zed ,\tAlpha,,zed,handleFMCallback, ,"),
                ElementsAre("Alpha", "chunkReceived", "handleFMCallback", "handleFmWVFetchCallback", "streamingChunkReceived",
                            "streamingComplete", "zed"));
}

// Other control bytes, a NUL, single quotes and UTF-8 pass unchanged; a filled-in value is never scanned again.
TEST(PageValues, EscapingStopsAValueFromEndingItsStringOrScriptAndTokensAreFilledInOnePass) {
    const std::string passed = std::string("\t\x01'\0>", 5) + "Caf\xC3\xA9 \xE2\x80\xA8 \xFF";
    for (const auto& [value, escaped] : std::initializer_list<std::pair<std::string, std::string>>{{R"(a"b)", R"(a\"b)"}, {R"(a\b)", R"(a\\b)"},
             {"</script>", R"(\u003c/script>)"}, {"a\nb\rc", R"(a\nb\rc)"}, {R"(\")", R"(\\\")"}, {"", ""}, {passed, passed}})
        EXPECT_EQ(escapeJsString(value), escaped) << value;
    using Tokens = std::vector<std::pair<std::string_view, std::string>>;
    for (const auto& [text, tokens, filled] : std::initializer_list<std::tuple<const char*, Tokens, const char*>>{
             {"[A][B][A]", {{"[A]", "1"}, {"[B]", "22"}}, "1221"}, {"", {{"[A]", "1"}}, ""},
             {"<[A]|[B]>", {{"[A]", "[A][B]"}, {"[B]", "b"}}, "<[A][B]|b>"},
             {"<[B]|[A]>", {{"[A]", "a"}, {"[B]", "[A]"}}, "<[A]|a>"}, {"[A]B]", {{"[A]", "["}, {"[B]", "x"}}, "[B]"}})
        EXPECT_EQ(replaceAllTokens(text, tokens), filled) << text;
}

// The expected page is built by replacing each placeholder once, independently of replaceAllTokens;
// the file name goes last, as it names another placeholder.
TEST(WebviewerPage, EachPlaceholderStandsOnceInAScriptStringAndIsFilledEscapedWithNothingElseChanged) {
    std::string expected(resources::kWebviewerPageTemplate);
    for (const auto& [placeholder, value] : std::initializer_list<std::pair<std::string_view, std::string_view>>{{kVersionPlaceholder, "3.2.0"},
             {kCallbacksPlaceholder, R"([\"a\"])"}, {kWsUrlPlaceholder, ""}, {kMessageLimitPlaceholder, "16777216"},
             {kFileNamePlaceholder, R"(Q\"3 \\ \u003cb>\n__LUMENBOX_VERSION__)"}}) {
        const std::string quoted = "\"" + std::string(placeholder) + "\"";
        EXPECT_EQ(std::make_pair(occurrences(expected, placeholder), occurrences(expected, quoted)), std::make_pair(1ul, 1ul)) << placeholder;
        if (auto at = expected.find(placeholder); at != std::string::npos) expected.replace(at, placeholder.size(), value);
    }
    EXPECT_LT(expected.find("Q\\\"3"), expected.find("</head>"));
    EXPECT_EQ(generateWebviewerHtml("Q\"3 \\ <b>\n__LUMENBOX_VERSION__", R"(["a"])"), expected);
}

TEST(MockScript, ConfigurationCarriesEscapedValuesAndASessionAndClientNameOnlyWhenGiven) {
    const std::string script = generateFmMockScript("Sales \"Q3\"", "ws://127.0.0.1:9/<x>", true);
    const std::string config = R"(= {"fileName":"Sales \"Q3\"","wsUrl":"ws://127.0.0.1:9/\u003cx>","debug":true};)";
    EXPECT_EQ(std::make_pair(occurrences(script, config), occurrences(script, "__LUMENBOX")), std::make_pair(1ul, 0ul));
    EXPECT_THAT(generateFmMockScript("Sales", "", false, "s-\"</script>", "dev"),
                HasSubstr(R"("debug":false,"session":"s-\"\u003c/script>","clientName":"dev"};)"));
    for (const char* on : {"1", "true", "yes", "on"}) EXPECT_TRUE(isDebugFlag(on)) << on;
    for (const char* off : {"", "0", "TRUE", "Yes", "false", "no", " 1", "true "}) EXPECT_FALSE(isDebugFlag(off)) << off;
}

}  // namespace
}  // namespace Lumenbox
