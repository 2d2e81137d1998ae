#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "webviewer/EmbeddedPages.h"
#include "webviewer/ServedPages.h"

namespace Lumenbox {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::size_t occurrences(std::string_view text, std::string_view part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Replaces the one occurrence of `token` in `text`; written independently of replaceAllTokens.
std::string replaceOnce(std::string text, std::string_view token, std::string_view value) {
    auto at = text.find(token);
    EXPECT_NE(at, std::string::npos) << token;
    if (at != std::string::npos) text.replace(at, token.size(), value);
    return text;
}

TEST(KnownCallbacks, DefaultsKeepTheirOrderUnlessAParameterAddsNamesAndSortsThem) {
    EXPECT_THAT(parseKnownCallbacks(""), ElementsAre("handleFMCallback", "handleFmWVFetchCallback",
                                                     "streamingChunkReceived", "streamingComplete", "chunkReceived"));
    EXPECT_THAT(parseKnownCallbacks("showGreeting"),
                ElementsAre("chunkReceived", "handleFMCallback", "handleFmWVFetchCallback", "showGreeting",
                            "streamingChunkReceived", "streamingComplete"));
    // Trimmed, each once, blanks dropped, byte order (upper case before lower case).
    EXPECT_THAT(parseKnownCallbacks(" zed ,\tAlpha,,zed,handleFMCallback, ,"),
                ElementsAre("Alpha", "chunkReceived", "handleFMCallback", "handleFmWVFetchCallback",
                            "streamingChunkReceived", "streamingComplete", "zed"));
    // A parameter of separators only still sorts the defaults.
    EXPECT_THAT(parseKnownCallbacks(" , ,\n,"),
                ElementsAre("chunkReceived", "handleFMCallback", "handleFmWVFetchCallback", "streamingChunkReceived",
                            "streamingComplete"));
}

TEST(EscapeJsString, EscapesExactlyTheBytesThatCouldEndTheStringOrTheScript) {
    EXPECT_EQ(escapeJsString(R"(a"b)"), R"(a\"b)");
    EXPECT_EQ(escapeJsString(R"(a\b)"), R"(a\\b)");
    EXPECT_EQ(escapeJsString("</script>"), R"(\u003c/script>)");
    EXPECT_EQ(escapeJsString("a\nb\rc"), R"(a\nb\rc)");
    EXPECT_EQ(escapeJsString(R"(\")"), R"(\\\")");
    // Other control bytes, a NUL, single quotes and UTF-8 pass unchanged.
    const std::string kept = std::string("\t\x01'\0>", 5) + "Caf\xC3\xA9 \xE2\x80\xA8 \xFF";
    EXPECT_EQ(escapeJsString(kept), kept);
    EXPECT_EQ(escapeJsString(""), "");
}

TEST(ReplaceAllTokens, FillsEveryOccurrenceOfEveryTokenAndNeverScansAValueAgain) {
    EXPECT_EQ(replaceAllTokens("[A][B][A]", {{"[A]", "1"}, {"[B]", "22"}}), "1221");
    EXPECT_EQ(replaceAllTokens("no tokens here", {{"[A]", "1"}}), "no tokens here");
    EXPECT_EQ(replaceAllTokens("[A]", {{"[A]", ""}}), "");
    EXPECT_EQ(replaceAllTokens("", {{"[A]", "1"}}), "");
    // A value holding its own token or a later one stays as it is: one pass over the template.
    EXPECT_EQ(replaceAllTokens("<[A]|[B]>", {{"[A]", "[A][B]"}, {"[B]", "b"}}), "<[A][B]|b>");
    EXPECT_EQ(replaceAllTokens("<[B]|[A]>", {{"[A]", "a"}, {"[B]", "[A]"}}), "<[A]|a>");
    // A token is not formed across a value and the template text behind it.
    EXPECT_EQ(replaceAllTokens("[A]B]", {{"[A]", "["}, {"[B]", "x"}}), "[B]");
}

TEST(WebviewerPage, TemplateHoldsEachPlaceholderOnceInsideAScriptString) {
    const std::string_view page = resources::kWebviewerPageTemplate;
    for (auto placeholder : {kFileNamePlaceholder, kVersionPlaceholder, kCallbacksPlaceholder, kWsUrlPlaceholder,
                             kMessageLimitPlaceholder}) {
        SCOPED_TRACE(placeholder);
        EXPECT_EQ(occurrences(page, placeholder), 1u);
        EXPECT_EQ(occurrences(page, "\"" + std::string(placeholder) + "\""), 1u);
    }
    EXPECT_LT(page.find(kFileNamePlaceholder), page.find("</head>"));
}

TEST(WebviewerPage, ValuesAreEscapedAndTheRestOfTheTemplateIsUnchanged) {
    const std::string fileName = "Q\"3 \\ <b>\nreport";
    const std::string callbacks = R"(["a","b"])";
    std::string expected(resources::kWebviewerPageTemplate);
    expected = replaceOnce(expected, kFileNamePlaceholder, R"(Q\"3 \\ \u003cb>\nreport)");
    expected = replaceOnce(expected, kVersionPlaceholder, "3.2.0");
    expected = replaceOnce(expected, kCallbacksPlaceholder, R"([\"a\",\"b\"])");
    expected = replaceOnce(expected, kWsUrlPlaceholder, "");
    expected = replaceOnce(expected, kMessageLimitPlaceholder, "16777216");
    EXPECT_EQ(generateWebviewerHtml(fileName, callbacks), expected);
}

TEST(WebviewerPage, AFileNamedLikeAPlaceholderIsWrittenLiterally) {
    const std::string page = generateWebviewerHtml("__LUMENBOX_VERSION__ __LUMENBOX_WS_URL__", "");
    EXPECT_THAT(page, HasSubstr(R"(const LUMENBOX_FILE_NAME = "__LUMENBOX_VERSION__ __LUMENBOX_WS_URL__";)"));
    EXPECT_THAT(page, HasSubstr(R"(const LUMENBOX_VERSION = "3.2.0";)"));
    EXPECT_THAT(page, HasSubstr(R"(const LUMENBOX_CALLBACKS_JSON = "[]";)"));
    EXPECT_THAT(page, HasSubstr(R"(const LUMENBOX_WS_URL = "";)"));
}

TEST(MockScript, IsTheScriptWithTheConfigurationWrittenOverItsDefaultAndNothingElse) {
    const std::string script = generateFmMockScript("Sales \"Q3\"", "ws://127.0.0.1:9/<x>", true);
    EXPECT_EQ(script, replaceOnce(std::string(resources::kFmMockScript), "/*__LUMENBOX_MOCK_CONFIG__*/ {}",
                                  R"({"fileName":"Sales \"Q3\"","wsUrl":"ws://127.0.0.1:9/\u003cx>","debug":true})"));
    EXPECT_THAT(generateFmMockScript("Sales", "", false), HasSubstr(R"({"fileName":"Sales","wsUrl":"","debug":false};)"));
    // A session and a client name are written only when given, escaped like the rest.
    EXPECT_THAT(generateFmMockScript("Sales", "", false, "s-\"</script>", "dev"),
                HasSubstr(R"("debug":false,"session":"s-\"\u003c/script>","clientName":"dev"};)"));
}

TEST(MockScript, DebugIsOnForFourLowerCaseWordsOnly) {
    for (const char* on : {"1", "true", "yes", "on"}) EXPECT_TRUE(isDebugFlag(on)) << on;
    for (const char* off : {"", "0", "TRUE", "Yes", "On", "false", "no", " 1", "true "}) EXPECT_FALSE(isDebugFlag(off)) << off;
}

TEST(ConfigPage, NamesTheVersionAndTheBridgeAddress) {
    const std::string page = generateConfigHtml(1365);
    EXPECT_EQ(page, std::string(resources::kConfigPageHead) + "3.2.0" + std::string(resources::kConfigPageMiddle) +
                        "1365" + std::string(resources::kConfigPageTail));
    EXPECT_THAT(page, HasSubstr("<dd>v3.2.0</dd>"));
    EXPECT_THAT(page, HasSubstr("<dd>http://127.0.0.1:1365</dd>"));
    EXPECT_THAT(page, HasSubstr("<title>Lumenbox Plugin Configuration</title>"));
    EXPECT_THAT(generateConfigHtml(8080), HasSubstr("http://127.0.0.1:8080<"));
    EXPECT_THAT(page, Not(HasSubstr("__LUMENBOX")));
}

}  // namespace
}  // namespace Lumenbox
