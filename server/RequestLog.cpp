#include "server/RequestLog.h"

#include <string>

#include <nlohmann/json.hpp>

#include "base/Log.h"

namespace Lumenbox {

namespace {

// Bodies this large are not parsed for their file name: the log must not double a big upload's cost.
constexpr std::size_t kMaxBodyReadForFile = 64 * 1024;

std::string inQuotes(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// The file a request is about: the query's fileName, else the JSON body's connectedFileName or
// fileName; empty when it names none.
std::string fileOf(const transport::HttpRequest& req) {
    if (auto file = req.getQuery("fileName"); !file.empty()) return file;
    const auto body = req.getBody();
    if (body.empty() || body.size() > kMaxBodyReadForFile) return {};
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object()) return {};
    for (const char* key : {"connectedFileName", "fileName"}) {
        if (auto field = json.find(key); field != json.end() && field->is_string()) return field->get<std::string>();
    }
    return {};
}

long long millisecondsSince(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

void logRequestWhenFinished(const transport::HttpRequest& req, transport::HttpResponse& res) {
    std::string details = "method=" + std::string(req.getMethod()) + " path=" + std::string(req.getUrl());
    const auto file = fileOf(req);
    res.onFinished([details = std::move(details), file, since = std::chrono::steady_clock::now()](std::string_view status) {
        std::string line = details + " status=" + std::string(status.substr(0, status.find(' ')));
        if (!file.empty()) line += " file=" + inQuotes(file);
        appendPluginLog("request", line + " duration_ms=" + std::to_string(millisecondsSince(since)));
    });
}

void logWebSocketEvent(std::string_view event, std::string_view fileName, std::chrono::steady_clock::time_point since) {
    std::string line = "event=" + std::string(event);
    if (!fileName.empty()) line += " file=" + inQuotes(fileName);
    appendPluginLog("ws_event", line + " duration_ms=" + std::to_string(millisecondsSince(since)));
}

}  // namespace Lumenbox
