#include <gmock/gmock.h>

#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"
#include "webviewer/ServedPages.h"

namespace Lumenbox::testing {
namespace {

using ::testing::HasSubstr;

constexpr const char* kHtml = "text/html; charset=utf-8";

class ServedPages : public BridgeFixture {};

TEST_F(ServedPages, WebviewerPageWithoutParametersIsServedWithDefaults) {
    auto reply = httpGet(port(), "/webviewer");
    EXPECT_EQ(reply.statusLine, "200 OK");
    EXPECT_EQ(reply.headers["content-type"], kHtml);
    EXPECT_EQ(reply.body, generateWebviewerHtml("", R"(["handleFMCallback","handleFmWVFetchCallback","streamingChunkReceived","streamingComplete","chunkReceived"])"));
}

TEST_F(ServedPages, WebviewerPageCarriesTheNormalisedFileAndTheCallbackList) {
    auto reply = httpGet(port(), "/webviewer?fileName=%20Sales%20%22Q3%22%3Cb%3E%20&knownCallbacks=showGreeting,%20Alpha");
    EXPECT_EQ(reply.statusLine, "200 OK");
    EXPECT_THAT(reply.body, HasSubstr(R"(const LUMENBOX_FILE_NAME = "Sales \"Q3\"\u003cb>";)"));
    EXPECT_THAT(reply.body, HasSubstr(
        R"(const LUMENBOX_CALLBACKS_JSON = "[\"Alpha\",\"chunkReceived\",\"handleFMCallback\",\"handleFmWVFetchCallback\",)"
        R"(\"showGreeting\",\"streamingChunkReceived\",\"streamingComplete\"]";)"));

    // A web viewer URL given as the file name is reduced to the name.
    auto fromUrl = httpGet(port(), "/webviewer?fileName=" + std::string("http%3A%2F%2F127.0.0.1%3A1365%2Fwebviewer%3FfileName%3DSales%26x%3D1"));
    EXPECT_THAT(fromUrl.body, HasSubstr(R"(const LUMENBOX_FILE_NAME = "Sales";)"));
}

TEST_F(ServedPages, MockScriptNeedsAFileName) {
    for (const char* target : {"/fm-mock.js", "/fm-mock.js?fileName=%20%20&debug=1"}) {
        auto reply = httpGet(port(), target);
        expectJsonReply(reply, "400 Bad Request", R"({"code":"missing_file_name","error":"Missing required fileName query parameter."})");
    }
}

TEST_F(ServedPages, MockScriptIsConfiguredFromTheQuery) {
    auto reply = httpGet(port(), "/fm-mock.js?fileName=Sales&wsUrl=ws%3A%2F%2F127.0.0.1%3A9%2Fws&debug=yes");
    EXPECT_EQ(reply.statusLine, "200 OK");
    EXPECT_EQ(reply.headers["content-type"], "application/javascript; charset=utf-8");
    EXPECT_EQ(reply.body, generateFmMockScript("Sales", "ws://127.0.0.1:9/ws", true));

    for (const char* debug : {"", "&debug=TRUE", "&debug=2", "&debug=off"}) {
        SCOPED_TRACE(debug);
        auto quiet = httpGet(port(), std::string("/fm-mock.js?fileName=Sales") + debug);
        EXPECT_THAT(quiet.body, HasSubstr(R"({"fileName":"Sales","wsUrl":"","debug":false};)"));
    }
}

TEST_F(ServedPages, ConfigPageNamesThisBridgeAndIgnoresTheRequest) {
    setEnhancedSecurityEnabled(true);
    const std::string expected = generateConfigHtml(port());
    for (auto reply : {httpGet(port(), "/config"), httpGet(port(), "/config?x=1&fileName=Sales"),
                              httpGet(port(), "/config", {{"x-lumenbox-session", "anyone"}})}) {
        EXPECT_EQ(reply.statusLine, "200 OK");
        EXPECT_EQ(reply.headers["content-type"], kHtml);
        EXPECT_EQ(reply.body, expected);
    }
}

TEST_F(ServedPages, NoServedPageMayBeFramedByAnotherSite) {
    for (const char* target : {"/webviewer?fileName=Invoices", "/webviewer", "/config", "/fm-mock.js?fileName=Invoices"}) {
        SCOPED_TRACE(target);
        auto reply = httpGet(port(), target);
        EXPECT_EQ(reply.statusLine, "200 OK");
        EXPECT_EQ(reply.headers["content-security-policy"], "frame-ancestors 'none'");
        EXPECT_EQ(reply.headers["x-frame-options"], "DENY");
    }
}

}  // namespace
}  // namespace Lumenbox::testing
