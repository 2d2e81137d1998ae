#include <set>

#include <nlohmann/json.hpp>

#include "server/HostIdleState.h"
#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/PluginVersion.h"
#include "server/json/JsonBuilders.h"

namespace Lumenbox {

void HttpServer::Impl::handleHealth(transport::HttpResponse& res) {
    const std::int32_t level = g_fileMakerIdleLevel.load();
    const std::int64_t observedAt = g_fileMakerIdleObservedAtUnixMs.load();
    nlohmann::json body = {
        {"fileMaker", {{"idleLevel", level}, {"idleState", idleStateName(level)}, {"observedAtUnixMs", observedAt}}},
        {"service", "lbhttp-plugin"},
        {"status", "ok"},
        {"version", kPluginVersion},
    };
    writeJsonValue(res, "200 OK", body);
}

void HttpServer::Impl::handleConnectedFiles(transport::HttpResponse& res) {
    std::vector<std::string> names;
    names.reserve(webviewers_.size());
    for (const auto& [name, ws] : webviewers_) names.push_back(name);  // the map keeps byte order
    writeJsonReply(res, "200 OK", json::connectedFilesResponse(names));
}

void HttpServer::Impl::handleBridgeStatus(transport::HttpResponse& res) {
    std::set<std::string> names;
    for (const auto& [name, ws] : webviewers_) names.insert(name);
    for (const auto& [name, ws] : agentBrowsers_) names.insert(name);
    nlohmann::json body = nlohmann::json::array();
    for (const auto& name : names) {
        body.push_back({{"agentBrowserConnected", agentBrowsers_.contains(name)},
                        {"fileName", name},
                        {"webviewerConnected", webviewers_.contains(name)}});
    }
    writeJsonValue(res, "200 OK", body);
}

}  // namespace Lumenbox
