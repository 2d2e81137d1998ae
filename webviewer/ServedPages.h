#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The pages and the script the bridge serves: the web viewer page (GET /webviewer), the mock of
// the host's web-viewer interface for browser pages (GET /fm-mock.js) and the configuration page
// (GET /config). The assets themselves live in resources/; this code only fills in values.
// The free functions are pure and safe from any thread, except writePageHead; writePageHead and
// the ServedPages routes run on the loop thread only.
namespace Lumenbox {

namespace transport {
class HttpRequest;
class HttpResponse;
}  // namespace transport

// The three routes. They read nothing but the request and the port the bridge listens on.
class ServedPages {
public:
    explicit ServedPages(std::function<int()> listenPort);

    // The page for the "fileName" query (an empty name is served too: that page never registers)
    // with the callbacks of "knownCallbacks".
    void webviewerPage(transport::HttpResponse& res, transport::HttpRequest& req);
    // The mock for the "fileName" query, which is required, with "wsUrl", "debug", "session" and
    // "clientName".
    void fmMockScript(transport::HttpResponse& res, transport::HttpRequest& req);
    // Needs no session; names the port the bridge actually listens on.
    void configPage(transport::HttpResponse& res);

private:
    const std::function<int()> listenPort_;
};

// The global callback functions every web viewer page defines, in this order.
inline constexpr std::string_view kDefaultCallbacks[] = {
    "handleFMCallback", "handleFmWVFetchCallback", "streamingChunkReceived", "streamingComplete", "chunkReceived",
};

// Placeholders of the web viewer page, each inside a double-quoted script string.
inline constexpr std::string_view kFileNamePlaceholder = "__LUMENBOX_FILENAME__";
inline constexpr std::string_view kVersionPlaceholder = "__LUMENBOX_VERSION__";
inline constexpr std::string_view kCallbacksPlaceholder = "__LUMENBOX_CALLBACKS_JSON__";
inline constexpr std::string_view kWsUrlPlaceholder = "__LUMENBOX_WS_URL__";
inline constexpr std::string_view kMessageLimitPlaceholder = "__LUMENBOX_MESSAGE_LIMIT__";

// The callback names a page defines, from the raw "knownCallbacks" query value. Empty: the
// defaults in their order. Otherwise the defaults plus every comma-separated, whitespace-trimmed,
// non-empty piece, each once, in ascending byte order: a page can add names, never remove one.
std::vector<std::string> parseKnownCallbacks(const std::string& raw);

// `value` made safe inside a double-quoted script string: '"' and '\' are backslash-escaped, line
// feed and carriage return become \n and \r, and '<' becomes \u003c so that no value can close
// the enclosing script element. Every other byte is kept as it is.
std::string escapeJsString(std::string_view value);

// Replaces every occurrence of each token in one pass from the start of `text`. Inserted values
// are never scanned again, so a value that happens to contain a token (a file named like a
// placeholder) is written as it is. Tokens must be non-empty; where two could start at the same
// byte, the first listed wins.
std::string replaceAllTokens(std::string_view text,
                             const std::vector<std::pair<std::string_view, std::string>>& replacements);

// The web viewer page for `fileName` (normalised; may be empty) with the callback names given as
// JSON array text ("[]" when empty). Values are escaped; the WebSocket URL is always left empty,
// so the page connects back to the server it came from.
std::string generateWebviewerHtml(const std::string& fileName, const std::string& callbacksJson);

// The mock script: its prefix, the escaped file name, the escaped WebSocket URL and the debug
// flag written as the configuration object's members (and the escaped session and client name,
// each when given), then its body. Nothing else is changed.
std::string generateFmMockScript(const std::string& fileName, const std::string& wsUrl, bool debug,
                                 const std::string& session = "", const std::string& clientName = "");

// True exactly for the "debug" query values "1", "true", "yes" and "on".
bool isDebugFlag(std::string_view value);

// Starts the "200 OK" answer of a served page or script: its content type, and headers that
// forbid any other site to frame it (a framed /webviewer could register as a file's web viewer;
// a framed /config could be clicked through). The caller ends the response with the body.
transport::HttpResponse& writePageHead(transport::HttpResponse& res, std::string_view contentType);

// The configuration page, naming the bridge at http://127.0.0.1:<port>.
std::string generateConfigHtml(int port);

}  // namespace Lumenbox
