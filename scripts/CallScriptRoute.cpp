#include "scripts/CallScriptRoute.h"

#include <climits>
#include <optional>

#include <nlohmann/json.hpp>

#include "base/Text.h"
#include "server/json/JsonReply.h"
#include "server/json/JsonBuilders.h"
#include "base/FileName.h"

namespace Lumenbox {

namespace {

constexpr std::int32_t kDefaultScriptTimeoutMs = 30000;
constexpr const char* kInvalidPayload = "Invalid payload. Expected { connectedFileName, scriptName, data }.";

void writeOutcome(transport::HttpResponse& res, const ScriptCallRequest& call, const ScriptOutcome& outcome) {
    using Kind = ScriptOutcome::Kind;
    const std::string& file = call.fileName;
    switch (outcome.kind) {
        case Kind::Result: {
            // A string result is read once here, for the error check and the reply alike.
            nlohmann::json parsed;
            const nlohmann::json& sent = *outcome.result;
            const nlohmann::json& value = sent.is_string() ? (parsed = json::resultValue(sent)) : sent;
            // The script ran and said it failed: 422, apart from the 502s of a call that never got
            // an answer, so that a caller needs no look inside a 200 to see the failure.
            if (auto error = json::scriptError(value)) {
                return writeCodedJsonError(res, status::kUnprocessableContent, "script_error", *error,
                                           {{"connectedFileName", file},
                                            {"fetchId", outcome.fetchId},
                                            {"result", value},
                                            {"scriptName", call.scriptName}});
            }
            return writeJsonReply(res, status::kOk, json::resultValueResponse(outcome.fetchId, value));
        }
        case Kind::NoWebviewer:
            return writeCodedJsonError(res, status::kNotFound, "webviewer_not_connected",
                                       "File " + file + " has no connected web viewer",
                                       {{"connectedFileName", file}, {"webviewerConnected", false}});
        case Kind::NotAuthorized:
            return writeCodedJsonError(res, status::kUnauthorized, "session_not_authorized",
                                       "Session is not authorized for " + file);
        case Kind::RequestTooLarge:
            return writeJsonError(res, status::kPayloadTooLarge, "Request too large to send to the web viewer of " + file);
        case Kind::SendFailed: return writeJsonError(res, status::kBadGateway, "Failed to send to webviewer for " + file);
        case Kind::Disconnected:
            return writeJsonError(res, status::kBadGateway, "WebSocket disconnected before callback for " + file);
        case Kind::TimedOut:
            return writeCodedJsonError(res, status::kBadGateway, "script_timeout", "Timed out waiting for FileMaker callback",
                                       {{"connectedFileName", file},
                                        {"scriptName", call.scriptName},
                                        {"timeoutMs", call.timeoutMs},
                                        {"webviewerConnected", outcome.webviewerConnected}});
        case Kind::ResultTooLarge:
            return writeCodedJsonError(
                res, status::kBadGateway, "result_too_large", "Script result too large to send over the WebSocket",
                {{"connectedFileName", file},
                 {"limitBytes", kMaxWebSocketMessageBytes},
                 {"resultBytes", outcome.resultBytes ? *outcome.resultBytes : nlohmann::json()},
                 {"scriptName", call.scriptName}});
    }
}

}  // namespace

void serveCallScript(ScriptCalls& calls, std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req) {
    std::string session(req.getHeader("x-lumenbox-session"));
    auto timeoutMs = parseTimeLimitMs(req.getQuery("timeout"), kDefaultScriptTimeoutMs, INT32_MAX);
    if (!timeoutMs) {
        return writeJsonError(*res, status::kBadRequest,
                              "Invalid timeout query parameter. Expected positive integer milliseconds.");
    }
    // The body is handed over right after this handler returns, while `calls` is alive.
    res->onBody([&calls, res, limit = *timeoutMs, session = std::move(session)](std::string body) {
        json::CallScriptRequest request = json::parseCallScriptRequest(body);
        std::string().swap(body);
        if (request.invalidJson) return writeJsonError(*res, status::kBadRequest, "Invalid JSON body.");
        if (!request.error.empty()) return writeJsonError(*res, status::kBadRequest, kInvalidPayload);
        ScriptCallRequest call;
        call.fileName = normalizeFileName(request.connectedFileName);
        call.scriptName = std::string(trimAsciiWhitespace(request.scriptName));
        if (call.fileName.empty() || call.scriptName.empty()) {
            return writeJsonError(*res, status::kBadRequest, kInvalidPayload);
        }
        call.data = std::move(request.data);
        call.session = trimAsciiWhitespace(session).empty() ? std::string() : session;  // white space only is none
        call.timeoutMs = limit;
        ScriptCallRequest described{call.fileName, call.scriptName, {}, {}, call.timeoutMs};
        auto fetchId = calls.run(std::move(call), [res, described = std::move(described)](const ScriptOutcome& outcome) {
            writeOutcome(*res, described, outcome);
        });
        if (fetchId) calls.abandonWhenAborted(*res, *fetchId);
    });
}

}  // namespace Lumenbox
