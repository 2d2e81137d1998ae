#include <array>
#include <utility>

#include <nlohmann/json.hpp>

#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/json/JsonText.h"
#include "webviewer/FileName.h"

namespace Lumenbox {

namespace {

using MessageHandler = void (HttpServer::Impl::*)(WebSocketConnection*, const nlohmann::json&);

// Message types and their handlers. A type missing here is ignored like an unknown one.
constexpr std::array<std::pair<std::string_view, MessageHandler>, 5> kMessageHandlers{{
    {"register", &HttpServer::Impl::handleRegister},
    {"callback", &HttpServer::Impl::handleCallback},
    {"callScript", &HttpServer::Impl::handleAgentBrowserCall},
    {"callScriptWithOption", &HttpServer::Impl::handleAgentBrowserCall},
    {"pong", &HttpServer::Impl::handlePong},
}};

// Reads an optional string member: empty when absent, nullopt when present with another type
// (such a message is ignored as invalid rather than trusted).
std::optional<std::string> optionalString(const nlohmann::json& message, const char* key) {
    auto it = message.find(key);
    if (it == message.end()) return std::string();
    if (!it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

void HttpServer::Impl::onWsMessage(WebSocketConnection* ws, std::string_view message, transport::OpCode opCode) {
    if (opCode != transport::OpCode::Text) return;
    auto parsed = json::parseStrict(message);
    if (!parsed || !parsed->is_object()) return;
    auto type = parsed->find("type");
    if (type == parsed->end() || !type->is_string()) return;
    const auto& typeName = type->get_ref<const std::string&>();
    for (const auto& [name, handler] : kMessageHandlers) {
        if (name == typeName) {
            (this->*handler)(ws, *parsed);
            return;
        }
    }
}

void HttpServer::Impl::handleRegister(WebSocketConnection* ws, const nlohmann::json& message) {
    auto rawName = optionalString(message, "fileName");
    auto role = optionalString(message, "role");
    if (!rawName || !role) return;
    std::string fileName = normalizeFileName(*rawName);
    if (fileName.empty()) return;
    if (*role != kRoleWebviewer && *role != kRoleAgentBrowser) return;

    PerSocketData& data = *ws->getUserData();
    auto mapOf = [this](const std::string& r) -> std::map<std::string, WebSocketConnection*>& {
        return r == kRoleWebviewer ? webviewers_ : agentBrowsers_;
    };
    if (data.registered && (data.fileName != fileName || data.role != *role)) {
        // The connection leaves its previous entry (a name or a role it no longer serves), so that
        // no entry can point to it once it has closed.
        auto& previousMap = mapOf(data.role);
        auto it = previousMap.find(data.fileName);
        if (it != previousMap.end() && it->second == ws) previousMap.erase(it);
        if (data.fileName != fileName) broadcastStatus(data.fileName);
    }
    data.fileName = fileName;
    data.role = *role;
    data.registered = true;
    rememberAgentBrowserSession(ws, message);
    mapOf(*role)[fileName] = ws;
    broadcastStatus(fileName);
}

void HttpServer::Impl::broadcastStatus(const std::string& fileName) {
    auto webviewer = webviewers_.find(fileName);
    auto agentBrowser = agentBrowsers_.find(fileName);
    const std::string text = json::serialize({
        {"agentBrowserConnected", agentBrowser != agentBrowsers_.end()},
        {"type", "status"},
        {"webviewerConnected", webviewer != webviewers_.end()},
    });
    // The send result does not matter: a page that misses a status gets the next one.
    if (webviewer != webviewers_.end()) webviewer->second->send(text);
    if (agentBrowser != agentBrowsers_.end()) agentBrowser->second->send(text);
}

void HttpServer::Impl::onWsClose(WebSocketConnection* ws) {
    PerSocketData& data = *ws->getUserData();
    if (!data.registered) return;
    const std::string fileName = data.fileName;
    auto& map = data.role == kRoleWebviewer ? webviewers_ : agentBrowsers_;
    auto it = map.find(fileName);
    if (it != map.end() && it->second == ws) map.erase(it);
    abandonAuthorizationsOf(ws);  // whatever its role now: calls it made as an agent browser
    if (data.role == kRoleWebviewer) {
        answerCallsOf(fileName, ws);
        if (rejectPendingWebviewerPings_) rejectPendingWebviewerPings_(fileName, ws);
    }
    broadcastStatus(fileName);
}

// Answers the script calls that were forwarded to the closing web viewer; calls forwarded to a
// newer web viewer of the same file keep waiting for it.
void HttpServer::Impl::answerCallsOf(const std::string& fileName, WebSocketConnection* closing) {
    for (auto it = pendingHttpCalls_.begin(); it != pendingHttpCalls_.end();) {
        PendingHttpCall& call = it->second;
        if (call.fileName != fileName || call.target != closing || call.aborted || !call.res) {
            ++it;
            continue;
        }
        auto res = std::move(call.res);
        it = pendingHttpCalls_.erase(it);
        writeJsonError(*res, "502 Bad Gateway", "WebSocket disconnected before callback for " + fileName);
    }
}

}  // namespace Lumenbox
