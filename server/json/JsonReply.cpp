#include "server/json/JsonReply.h"

#include <nlohmann/json.hpp>

#include "server/json/JsonBuilders.h"
#include "server/json/JsonText.h"

namespace Lumenbox {

void writeJsonReply(transport::HttpResponse& response, std::string_view status, std::string_view body) {
    response.writeStatus(status)->writeHeader("Content-Type", "application/json")->end(body);
}

void writeJsonValue(transport::HttpResponse& response, std::string_view status, const nlohmann::json& body) {
    writeJsonReply(response, status, json::serialize(body));
}

void writeJsonError(transport::HttpResponse& response, std::string_view status, std::string_view message) {
    writeJsonReply(response, status, json::errorResponse(message));
}

void writeCodedJsonError(transport::HttpResponse& response, std::string_view status, std::string_view code,
                         std::string_view message) {
    writeCodedJsonError(response, status, code, message, nlohmann::json::object());
}

void writeCodedJsonError(transport::HttpResponse& response, std::string_view status, std::string_view code,
                         std::string_view message, nlohmann::json details) {
    details["code"] = code;
    details["error"] = message;
    writeJsonValue(response, status, details);
}

}  // namespace Lumenbox
