#include "webviewer/WebviewerRegistry.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/Text.h"
#include "server/json/JsonText.h"
#include "base/FileName.h"

namespace Lumenbox {

namespace {

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

std::optional<Role> roleFromWire(std::string_view text) {
    if (text == "webviewer") return Role::Webviewer;
    if (text == "agent-browser") return Role::AgentBrowser;
    return std::nullopt;
}

WebviewerRegistry::WebviewerRegistry(Hooks hooks) : hooks_(std::move(hooks)) {}

// A web viewer that moves to another file or role fails the calls and pings it was carrying at
// once, as if it had closed.
void WebviewerRegistry::handleRegister(WebSocketConnection* ws, const nlohmann::json& message) {
    auto rawName = optionalString(message, "fileName");
    auto roleText = optionalString(message, "role");
    if (!rawName || !roleText) return;
    const std::string fileName = normalizeFileName(*rawName);
    const auto role = roleFromWire(*roleText);
    if (fileName.empty() || !role) return;
    // The connector key is optional; anything but a string counts as none.
    auto keyField = message.find("key");
    std::string_view key;
    if (keyField != message.end() && keyField->is_string()) key = keyField->get_ref<const std::string&>();
    if (*role == Role::Webviewer && !mayServeAsWebviewer(ws, fileName, key)) {
        hooks_.send(ws, json::serialize({{"message", kWebviewerTakenPrefix + fileName + kWebviewerTakenSuffix},
                                         {"type", "error"}}));
        return;
    }

    PerSocketData& data = *ws->getUserData();
    if (data.registered()) {
        const std::string previousFile = data.fileName;
        const bool wasWebviewer = data.is(Role::Webviewer);
        const bool moves = previousFile != fileName || data.role != *role;
        withdraw(ws);
        if (moves && wasWebviewer) hooks_.webviewerLeft(previousFile, ws);
        if (previousFile != fileName) broadcastStatus(previousFile);
    }
    data.fileName = fileName;
    data.role = *role;
    data.showedKey = *role == Role::Webviewer && showsConnectorKey(fileName, key);
    // An agent browser's session (white space only is none) and client name, kept for its calls;
    // a member of another type counts as absent.
    auto text = [&message](const char* name) {
        auto member = message.find(name);
        return member != message.end() && member->is_string() ? member->get<std::string>() : std::string();
    };
    data.session = text("session");
    if (trimAsciiWhitespace(data.session).empty()) data.session.clear();
    data.clientName = sanitizeClientText(text("clientName"), kMaxClientNameChars);
    if (*role == Role::Webviewer) {
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
bool WebviewerRegistry::mayServeAsWebviewer(WebSocketConnection* ws, const std::string& fileName,
                                            std::string_view key) const {
    if (showsConnectorKey(fileName, key)) return true;
    auto current = webviewers_.find(fileName);
    if (current == webviewers_.end() || current->second == ws) return true;
    return !hooks_.enhancedSecurity();
}

bool WebviewerRegistry::showsConnectorKey(const std::string& fileName, std::string_view key) const {
    return !key.empty() && hooks_.showsConnectorKey && hooks_.showsConnectorKey(fileName, key);
}

// A file's web viewer that goes hands the file back to the newest page it had replaced that is
// still connected, so that no file is lost while its real page is open.
void WebviewerRegistry::withdraw(WebSocketConnection* ws) {
    const PerSocketData& data = *ws->getUserData();
    if (!data.registered()) return;
    if (!data.is(Role::Webviewer)) {
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
        const bool keyRequired = data.showedKey && hooks_.enhancedSecurity();
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

void WebviewerRegistry::broadcastStatus(const std::string& fileName) {
    WebSocketConnection* webviewer = webviewerOf(fileName);
    WebSocketConnection* agentBrowser = agentBrowserOf(fileName);
    const std::string text = json::serialize({
        {"agentBrowserConnected", agentBrowser != nullptr},
        {"type", "status"},
        {"webviewerConnected", webviewer != nullptr},
    });
    // The send result does not matter: a page that misses a status gets the next one.
    if (webviewer) hooks_.send(webviewer, text);
    if (agentBrowser) hooks_.send(agentBrowser, text);
}

void WebviewerRegistry::handleClose(WebSocketConnection* ws) {
    const PerSocketData& data = *ws->getUserData();
    if (!data.registered()) return;
    const std::string fileName = data.fileName;
    const bool wasWebviewer = data.is(Role::Webviewer);
    withdraw(ws);
    hooks_.connectionClosed(ws);  // whatever its role now: calls it made as an agent browser
    if (wasWebviewer) hooks_.webviewerLeft(fileName, ws);
    broadcastStatus(fileName);
}

WebSocketConnection* WebviewerRegistry::webviewerOf(const std::string& fileName) const {
    auto it = webviewers_.find(fileName);
    return it == webviewers_.end() ? nullptr : it->second;
}

WebSocketConnection* WebviewerRegistry::agentBrowserOf(const std::string& fileName) const {
    auto it = agentBrowsers_.find(fileName);
    return it == agentBrowsers_.end() ? nullptr : it->second;
}

std::vector<std::string> WebviewerRegistry::connectedFiles() const {
    std::vector<std::string> names;
    names.reserve(webviewers_.size());
    for (const auto& [name, ws] : webviewers_) names.push_back(name);  // the map keeps byte order
    return names;
}

std::vector<WebviewerRegistry::FileConnections> WebviewerRegistry::files() const {
    std::set<std::string> names;
    for (const auto& [name, ws] : webviewers_) names.insert(name);
    for (const auto& [name, ws] : agentBrowsers_) names.insert(name);
    std::vector<FileConnections> files;
    for (const auto& name : names) files.push_back({name, webviewers_.contains(name), agentBrowsers_.contains(name)});
    return files;
}

void WebviewerRegistry::clear() {
    webviewers_.clear();
    replacedWebviewers_.clear();
    agentBrowsers_.clear();
}

}  // namespace Lumenbox
