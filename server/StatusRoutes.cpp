#include "server/StatusRoutes.h"

#include <charconv>

#include <nlohmann/json.hpp>

#include "base/Version.h"
#include "server/HostIdleState.h"
#include "server/json/JsonReply.h"
#include "server/json/JsonBuilders.h"

namespace Lumenbox {

StatusRoutes::StatusRoutes(std::function<std::vector<FileConnections>()> connections)
    : connections_(std::move(connections)) {}

void StatusRoutes::health(transport::HttpResponse& res) {
    // The most frequent request: its body differs only in three fields, so it is written straight
    // into one buffer in the serialiser's format (compact, keys in byte order; every text here is
    // plain ASCII) instead of being built as a JSON tree and serialised each time.
    const std::int32_t level = g_fileMakerIdleLevel.load();
    const std::int64_t observedAt = g_fileMakerIdleObservedAtUnixMs.load();
    char number[24];
    auto appendNumber = [&number](std::string& out, std::int64_t value) {
        out.append(number, std::to_chars(number, number + sizeof number, value).ptr);
    };
    std::string body;
    body.reserve(192);
    body.append(R"({"fileMaker":{"idleLevel":)");
    appendNumber(body, level);
    body.append(R"(,"idleState":")").append(idleStateName(level)).append(R"(","observedAtUnixMs":)");
    appendNumber(body, observedAt);
    body.append(R"(},"service":"lbhttp-plugin","status":"ok","version":")").append(kPluginVersion).append(R"("})");
    writeJsonReply(res, status::kOk, body);
}

void StatusRoutes::connectedFiles(transport::HttpResponse& res) {
    std::vector<std::string> names;
    for (auto& file : connections_()) {
        if (file.webviewerConnected) names.push_back(std::move(file.fileName));
    }
    writeJsonReply(res, status::kOk, json::connectedFilesResponse(names));
}

void StatusRoutes::bridgeStatus(transport::HttpResponse& res) {
    nlohmann::json body = nlohmann::json::array();
    for (const auto& file : connections_()) {
        body.push_back({{"agentBrowserConnected", file.agentBrowserConnected},
                        {"fileName", file.fileName},
                        {"webviewerConnected", file.webviewerConnected}});
    }
    writeJsonValue(res, status::kOk, body);
}

}  // namespace Lumenbox
