#include "webviewer/ServedPages.h"

#include <set>

#include <nlohmann/json.hpp>

#include "base/Text.h"
#include "base/Text.h"
#include "base/Version.h"
#include "server/json/JsonReply.h"
#include "server/json/JsonText.h"
#include "server/transport/HttpRequest.h"
#include "server/transport/HttpResponse.h"
#include "webviewer/EmbeddedPages.h"
#include "base/FileName.h"
#include "webviewer/PerSocketData.h"

namespace Lumenbox {

namespace {

constexpr std::string_view kHtmlContentType = "text/html; charset=utf-8";
constexpr std::string_view kScriptContentType = "application/javascript; charset=utf-8";

}  // namespace

std::vector<std::string> parseKnownCallbacks(const std::string& raw) {
    if (raw.empty()) return {std::begin(kDefaultCallbacks), std::end(kDefaultCallbacks)};
    std::set<std::string> names(std::begin(kDefaultCallbacks), std::end(kDefaultCallbacks));
    std::string_view rest = raw;
    while (true) {
        const auto comma = rest.find(',');
        const auto name = trimAsciiWhitespace(rest.substr(0, comma));
        if (!name.empty()) names.emplace(name);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return {names.begin(), names.end()};
}

std::string escapeJsString(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char byte : value) {
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '<': out += "\\u003c"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += byte;
        }
    }
    return out;
}

std::string replaceAllTokens(std::string_view text,
                             const std::vector<std::pair<std::string_view, std::string>>& replacements) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        // The earliest token from here on; the value goes out, the scan goes on behind the token.
        std::size_t found = std::string_view::npos;
        const std::pair<std::string_view, std::string>* match = nullptr;
        for (const auto& replacement : replacements) {
            if (replacement.first.empty()) continue;
            const auto at = text.find(replacement.first, pos);
            if (at < found) {
                found = at;
                match = &replacement;
            }
        }
        if (!match) break;
        out.append(text.substr(pos, found - pos));
        out.append(match->second);
        pos = found + match->first.size();
    }
    if (pos < text.size()) out.append(text.substr(pos));
    return out;
}

std::string generateWebviewerHtml(const std::string& fileName, const std::string& callbacksJson) {
    return replaceAllTokens(resources::kWebviewerPageTemplate,
                            {
                                {kFileNamePlaceholder, escapeJsString(fileName)},
                                {kVersionPlaceholder, escapeJsString(kPluginVersion)},
                                {kCallbacksPlaceholder, escapeJsString(callbacksJson.empty() ? "[]" : callbacksJson)},
                                {kWsUrlPlaceholder, std::string()},
                                {kMessageLimitPlaceholder, std::to_string(kMaxWebSocketMessageBytes)},
                            });
}

std::string generateFmMockScript(const std::string& fileName, const std::string& wsUrl, bool debug,
                                 const std::string& session, const std::string& clientName) {
    // The script's own default, an empty object, is replaced with the whole configuration.
    constexpr std::string_view kConfigPlaceholder = "/*__LUMENBOX_MOCK_CONFIG__*/ {}";
    std::string config = "{\"fileName\":\"";
    config += escapeJsString(fileName);
    config += "\",\"wsUrl\":\"";
    config += escapeJsString(wsUrl);
    config += "\",\"debug\":";
    config += debug ? "true" : "false";
    // Only when given: without a session the page makes up its own.
    for (const auto& [key, value] : {std::pair{"session", &session}, std::pair{"clientName", &clientName}}) {
        if (value->empty()) continue;
        config += ",\"";
        config += key;
        config += "\":\"";
        config += escapeJsString(*value);
        config += "\"";
    }
    config += "}";
    return replaceAllTokens(resources::kFmMockScript, {{kConfigPlaceholder, std::move(config)}});
}

transport::HttpResponse& writePageHead(transport::HttpResponse& res, std::string_view contentType) {
    res.writeStatus(status::kOk)
        ->writeHeader("Content-Type", contentType)
        ->writeHeader("Content-Security-Policy", "frame-ancestors 'none'")
        ->writeHeader("X-Frame-Options", "DENY");
    return res;
}

bool isDebugFlag(std::string_view value) {
    return value == "1" || value == "true" || value == "yes" || value == "on";
}

ServedPages::ServedPages(std::function<int()> listenPort) : listenPort_(std::move(listenPort)) {}

void ServedPages::webviewerPage(transport::HttpResponse& res, transport::HttpRequest& req) {
    const std::string fileName = normalizeFileName(req.getQuery("fileName"));
    nlohmann::json names = parseKnownCallbacks(req.getQuery("knownCallbacks"));
    const std::string page = generateWebviewerHtml(fileName, json::serialize(names));
    writePageHead(res, kHtmlContentType).end(page);
}

void ServedPages::fmMockScript(transport::HttpResponse& res, transport::HttpRequest& req) {
    const std::string fileName = normalizeFileName(req.getQuery("fileName"));
    if (fileName.empty()) {
        return writeCodedJsonError(res, status::kBadRequest, "missing_file_name",
                                   "Missing required fileName query parameter.");
    }
    const std::string script = generateFmMockScript(fileName, req.getQuery("wsUrl"), isDebugFlag(req.getQuery("debug")),
                                                    sessionIdOrNone(req.getQuery("session")),
                                                    sanitizeClientText(req.getQuery("clientName"), kMaxClientNameChars));
    writePageHead(res, kScriptContentType).end(script);
}

void ServedPages::configPage(transport::HttpResponse& res) {
    writePageHead(res, kHtmlContentType).end(generateConfigHtml(listenPort_()));
}

}  // namespace Lumenbox
