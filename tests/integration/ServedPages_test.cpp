#include <gmock/gmock.h>

#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"
#include "webviewer/ServedPages.h"

namespace Lumenbox::testing {
namespace {

using ::testing::HasSubstr;

using ServedPages = BridgeFixture;

TEST_F(ServedPages, PagesAreServedAsGeneratedWhateverTheSessionAndNoneMayBeFramedByAnotherSite) {
    setEnhancedSecurityEnabled(true);
    const std::string html = "text/html; charset=utf-8";
    const std::string defaultCallbacks =
        R"(["handleFMCallback","handleFmWVFetchCallback","streamingChunkReceived","streamingComplete","chunkReceived"])";
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"/webviewer", html, generateWebviewerHtml("", defaultCallbacks)},
        {"/config", html, generateConfigHtml(port())},
        {"/config?x=1&fileName=Sales", html, generateConfigHtml(port())},
        {"/fm-mock.js?fileName=Sales&wsUrl=ws%3A%2F%2F127.0.0.1%3A9%2Fws&debug=yes", "application/javascript; charset=utf-8",
         generateFmMockScript("Sales", "ws://127.0.0.1:9/ws", true)},
        {"/webviewer?fileName=Invoices", html, ""},
    };
    for (const auto& [target, contentType, body] : cases) {
        SCOPED_TRACE(target);
        auto reply = httpGet(port(), target, {{"x-lumenbox-session", "anyone"}});
        EXPECT_EQ(reply.statusLine, "200 OK");
        EXPECT_EQ(reply.headers["content-type"], contentType);
        EXPECT_TRUE(body.empty() || reply.body == body);
        EXPECT_EQ(reply.headers["content-security-policy"], "frame-ancestors 'none'");
        EXPECT_EQ(reply.headers["x-frame-options"], "DENY");
    }
}

TEST_F(ServedPages, WebviewerPageCarriesTheNormalisedFileAndTheCallbackList) {
    auto reply = httpGet(port(), "/webviewer?fileName=%20Sales%20%22Q3%22%3Cb%3E%20&knownCallbacks=showGreeting,%20Alpha");
    EXPECT_THAT(reply.body, HasSubstr(R"(const LUMENBOX_FILE_NAME = "Sales \"Q3\"\u003cb>";)"));
    EXPECT_THAT(reply.body, HasSubstr(
        R"(const LUMENBOX_CALLBACKS_JSON = "[\"Alpha\",\"chunkReceived\",\"handleFMCallback\",\"handleFmWVFetchCallback\",)"
        R"(\"showGreeting\",\"streamingChunkReceived\",\"streamingComplete\"]";)"));
    // A web viewer URL given as the file name is reduced to the name.
    auto fromUrl = httpGet(port(), "/webviewer?fileName=http%3A%2F%2F127.0.0.1%3A1365%2Fwebviewer%3FfileName%3DSales%26x%3D1");
    EXPECT_THAT(fromUrl.body, HasSubstr(R"(const LUMENBOX_FILE_NAME = "Sales";)"));
}

TEST_F(ServedPages, MockScriptNeedsAFileNameAndStaysQuietForOtherDebugValues) {
    for (const char* target : {"/fm-mock.js", "/fm-mock.js?fileName=%20%20&debug=1"}) {
        expectJsonReply(httpGet(port(), target), "400 Bad Request",
                        R"({"code":"missing_file_name","error":"Missing required fileName query parameter."})");
    }
    for (const char* debug : {"", "&debug=TRUE", "&debug=2", "&debug=off"}) {
        auto quiet = httpGet(port(), std::string("/fm-mock.js?fileName=Sales") + debug);
        EXPECT_THAT(quiet.body, HasSubstr(R"({"fileName":"Sales","wsUrl":"","debug":false};)")) << debug;
    }
}

}  // namespace
}  // namespace Lumenbox::testing
