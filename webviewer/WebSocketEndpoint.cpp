#include <algorithm>
#include <array>
#include <utility>

#include <nlohmann/json.hpp>

#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/json/JsonText.h"
#include "ui/EnhancedSecurity.h"
#include "webviewer/ConnectorKeys.h"
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

// The "error" a page gets when it may not replace the file's web viewer.
constexpr const char* kWebviewerTakenPrefix = "Another web viewer is connected for ";
constexpr const char* kWebviewerTakenSuffix =
    "; open this page with the file's connector URL (Lumenbox_ConnectorURL) to replace it.";

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

// A registration makes the connection the file's web viewer or agent browser (the newest one
// wins), after it has left whatever it served before. A web viewer that moves to another file or
// role fails the calls and pings it was carrying at once, as if it had closed.
void HttpServer::Impl::handleRegister(WebSocketConnection* ws, const nlohmann::json& message) {
    auto rawName = optionalString(message, "fileName");
    auto role = optionalString(message, "role");
    if (!rawName || !role) return;
    std::string fileName = normalizeFileName(*rawName);
    if (fileName.empty()) return;
    if (*role != kRoleWebviewer && *role != kRoleAgentBrowser) return;
    // The connector key is optional; anything but a string counts as none.
    auto keyField = message.find("key");
    std::string_view key;
    if (keyField != message.end() && keyField->is_string()) key = keyField->get_ref<const std::string&>();
    if (*role == kRoleWebviewer && !mayServeAsWebviewer(ws, fileName, key)) {
        ws->send(json::serialize({{"message", kWebviewerTakenPrefix + fileName + kWebviewerTakenSuffix}, {"type", "error"}}));
        return;
    }

    PerSocketData& data = *ws->getUserData();
    if (data.registered) {
        const std::string previousFile = data.fileName;
        const bool wasWebviewer = data.role == kRoleWebviewer;
        const bool moves = previousFile != fileName || data.role != *role;
        withdrawRegistration(ws);
        if (moves && wasWebviewer) failWorkSentTo(previousFile, ws);
        if (previousFile != fileName) broadcastStatus(previousFile);
    }
    data.fileName = fileName;
    data.role = *role;
    data.registered = true;
    data.showedKey = *role == kRoleWebviewer && showsConnectorKey(fileName, key);
    rememberAgentBrowserSession(ws, message);
    if (*role == kRoleWebviewer) {
        auto [current, inserted] = webviewers_.try_emplace(fileName, ws);
        if (!inserted) {
            replacedWebviewers_[fileName].push_back(current->second);
            current->second = ws;
        }
    } else {
        agentBrowsers_[fileName] = ws;
    }
    broadcastStatus(fileName);
}

// With enhanced security on, a file's connected web viewer is replaced only by a page that shows
// the file's connector key, which only FileMaker hands out (Lumenbox_ConnectorURL): otherwise any
// local program could take the file over and read or forge approved clients' calls. The right key
// always wins; a file with no web viewer (or whose web viewer re-registers) needs none.
bool HttpServer::Impl::mayServeAsWebviewer(WebSocketConnection* ws, const std::string& fileName,
                                           std::string_view key) const {
    if (showsConnectorKey(fileName, key)) return true;
    auto current = webviewers_.find(fileName);
    if (current == webviewers_.end() || current->second == ws) return true;
    return !isEnhancedSecurityEnabled();
}

bool HttpServer::Impl::showsConnectorKey(const std::string& fileName, std::string_view key) const {
    return !key.empty() && connectorKeys_ && connectorKeys_->matches(fileName, key);
}

// Takes `ws` out of the registry entry it holds. A file's web viewer that goes hands the file back
// to the newest page it had replaced that is still connected, so that no file is lost while its
// real page is open.
void HttpServer::Impl::withdrawRegistration(WebSocketConnection* ws) {
    const PerSocketData& data = *ws->getUserData();
    if (!data.registered) return;
    if (data.role != kRoleWebviewer) {
        auto it = agentBrowsers_.find(data.fileName);
        if (it != agentBrowsers_.end() && it->second == ws) agentBrowsers_.erase(it);
        return;
    }
    auto replaced = replacedWebviewers_.find(data.fileName);
    if (replaced != replacedWebviewers_.end()) std::erase(replaced->second, ws);
    auto current = webviewers_.find(data.fileName);
    if (current != webviewers_.end() && current->second == ws) {
        // With enhanced security on, a page that showed the key hands the file only to another
        // that did: a keyless page it replaced (a stranger that was first, say) does not inherit it.
        const bool keyRequired = data.showedKey && isEnhancedSecurityEnabled();
        WebSocketConnection* heir = nullptr;
        if (replaced != replacedWebviewers_.end()) {
            auto& older = replaced->second;
            for (auto it = older.rbegin(); it != older.rend(); ++it) {
                if (keyRequired && !(*it)->getUserData()->showedKey) continue;
                heir = *it;
                older.erase(std::next(it).base());
                break;
            }
        }
        if (heir) {
            current->second = heir;
        } else {
            webviewers_.erase(current);
        }
    }
    if (replaced != replacedWebviewers_.end() && replaced->second.empty()) replacedWebviewers_.erase(replaced);
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
    const bool wasWebviewer = data.role == kRoleWebviewer;
    withdrawRegistration(ws);
    abandonAuthorizationsOf(ws);  // whatever its role now: calls it made as an agent browser
    if (wasWebviewer) failWorkSentTo(fileName, ws);
    broadcastStatus(fileName);
}

// Fails what was sent to a web viewer that closed or now serves another file or role: its script
// calls and pings. Work sent to another web viewer of the same file keeps waiting for it.
void HttpServer::Impl::failWorkSentTo(const std::string& fileName, WebSocketConnection* webviewer) {
    answerCallsOf(fileName, webviewer);
    if (rejectPendingWebviewerPings_) rejectPendingWebviewerPings_(fileName, webviewer);
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
