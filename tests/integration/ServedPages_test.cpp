#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"
#include "webviewer/ServedPages.h"

namespace Lumenbox::testing {
namespace {

using ServedPages = BridgeFixture;

TEST_F(ServedPages, PagesAreServedAsGeneratedFromTheDecodedQueryWhateverTheSessionAndNoneMayBeFramed) {
    setEnhancedSecurityEnabled(true);
    const std::string html = "text/html; charset=utf-8";
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"/webviewer", html, generateWebviewerHtml("", R"(["handleFMCallback","handleFmWVFetchCallback","streamingChunkReceived","streamingComplete","chunkReceived"])")},
        {"/webviewer?fileName=http%3A%2F%2F127.0.0.1%3A1365%2Fwebviewer%3FfileName%3D%20Sales%26x%3D1&knownCallbacks=showGreeting,%20Alpha", html,
         generateWebviewerHtml("Sales", R"(["Alpha","chunkReceived","handleFMCallback","handleFmWVFetchCallback","showGreeting","streamingChunkReceived","streamingComplete"])")},
        {"/config?x=1&fileName=Sales", html, generateConfigHtml(port())},
        {"/fm-mock.js?fileName=Sales&wsUrl=ws%3A%2F%2F127.0.0.1%3A9%2Fws&debug=yes", "application/javascript; charset=utf-8", generateFmMockScript("Sales", "ws://127.0.0.1:9/ws", true)},
        {"/fm-mock.js?fileName=Sales&debug=off", "application/javascript; charset=utf-8", generateFmMockScript("Sales", "", false)},
    };
    for (const auto& [target, contentType, body] : cases) {
        auto reply = httpGet(port(), target, {{"x-lumenbox-session", "anyone"}});
        EXPECT_EQ(std::make_tuple(reply.statusLine, reply.headers["content-type"], reply.headers["content-security-policy"], reply.headers["x-frame-options"]),
                  std::make_tuple("200 OK", contentType, "frame-ancestors 'none'", "DENY")) << target;
        EXPECT_TRUE(reply.body == body) << target;
    }
    expectJsonReply(httpGet(port(), "/fm-mock.js?fileName=%20%20&debug=1"), "400 Bad Request",
                    R"({"code":"missing_file_name","error":"Missing required fileName query parameter."})");
}

}  // namespace
}  // namespace Lumenbox::testing
