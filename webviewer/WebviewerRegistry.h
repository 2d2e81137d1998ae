#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "webviewer/PerSocketData.h"

namespace Lumenbox {

// Which page serves which file: each file's web viewer (and the ones it replaced that are still
// connected) and its agent browser. It decides what a registration, a re-registration and a
// closing connection mean, tells both pages of a file its status, and tells the other features
// through its hooks when a web viewer's work must fail. Loop thread only.
class WebviewerRegistry {
public:
    struct Hooks {
        PageSender send;
        std::function<bool()> enhancedSecurity;
        // True when `key` is the connector key minted for `fileName`.
        std::function<bool(const std::string& fileName, std::string_view key)> showsConnectorKey;
        // `webviewer` no longer serves `fileName` (it closed, or moved to another file or role):
        // what was sent to it fails; work sent to another web viewer of the file keeps waiting.
        std::function<void(const std::string& fileName, WebSocketConnection* webviewer)> webviewerLeft;
        // A registered connection closed: whatever it was waiting for is dropped.
        std::function<void(WebSocketConnection* connection)> connectionClosed;
    };

    // A file with a page connected, for the status routes.
    struct FileConnections {
        std::string fileName;
        bool webviewerConnected = false;
        bool agentBrowserConnected = false;
    };

    explicit WebviewerRegistry(Hooks hooks);

    // A "register" message. The newest registration for a file wins; the connection first leaves
    // what it served before.
    void handleRegister(WebSocketConnection* ws, const nlohmann::json& message);
    void handleClose(WebSocketConnection* ws);

    // Null when the file has none.
    WebSocketConnection* webviewerOf(const std::string& fileName) const;
    WebSocketConnection* agentBrowserOf(const std::string& fileName) const;
    // The files with a web viewer, in byte order.
    std::vector<std::string> connectedFiles() const;
    // Every file with a web viewer or an agent browser, in byte order.
    std::vector<FileConnections> files() const;
    std::size_t webviewerCount() const { return webviewers_.size(); }
    std::size_t agentBrowserCount() const { return agentBrowsers_.size(); }

    // Forgets every page (the bridge stops), telling no one.
    void clear();

private:
    bool mayServeAsWebviewer(WebSocketConnection* ws, const std::string& fileName, std::string_view key) const;
    bool showsConnectorKey(const std::string& fileName, std::string_view key) const;
    void withdraw(WebSocketConnection* ws);
    void broadcastStatus(const std::string& fileName);

    Hooks hooks_;
    std::map<std::string, WebSocketConnection*> webviewers_;
    // Web viewers replaced by a newer registration for the same file and still connected, oldest
    // first: when the file's web viewer goes, the newest of these is its web viewer again.
    std::map<std::string, std::vector<WebSocketConnection*>> replacedWebviewers_;
    std::map<std::string, WebSocketConnection*> agentBrowsers_;
};

}  // namespace Lumenbox
