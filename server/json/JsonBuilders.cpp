#include "server/json/JsonBuilders.h"

#include "server/json/JsonText.h"

#include <stdexcept>

namespace Lumenbox::json {

std::string errorResponse(std::string_view message) {
    return serialize(nlohmann::json{{"error", std::string(message)}});
}

std::string connectedFilesResponse(const std::vector<std::string>& fileNames) {
    // Built explicitly as an array: an initializer list of two strings would read as a pair.
    auto names = nlohmann::json::array();
    for (const auto& name : fileNames) names.push_back(name);
    return serialize(names);
}

CallScriptRequest parseCallScriptRequest(std::string_view text) {
    nlohmann::json body;
    try {
        body = nlohmann::json::parse(text, /*cb=*/nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
    } catch (const nlohmann::json::exception& e) {
        throw std::invalid_argument(std::string("Invalid JSON body: ") + e.what());
    }

    const auto stringField = [&body](const char* key) -> const std::string& {
        const auto it = body.find(key);
        if (it == body.end() || !it->is_string()) {
            throw std::invalid_argument(std::string("Missing or invalid field: ") + key);
        }
        return it->get_ref<const std::string&>();
    };

    if (!body.is_object()) throw std::invalid_argument("Missing or invalid field: connectedFileName");
    CallScriptRequest request;
    request.connectedFileName = stringField("connectedFileName");
    request.scriptName = stringField("scriptName");
    if (const auto it = body.find("data"); it != body.end()) request.data = *it;
    return request;
}

nlohmann::json tryParseResult(std::string_view text) {
    if (auto parsed = parseStrict(text)) return std::move(*parsed);
    return std::string(text);
}

namespace {
std::string callScriptResponseWith(std::string_view fetchId, const std::string& resultJson) {
    std::string reply = "{\"fetchId\":";
    reply.reserve(fetchId.size() + resultJson.size() + 24);
    appendQuoted(reply, fetchId);
    reply.append(",\"result\":").append(resultJson).push_back('}');
    return reply;
}
}  // namespace

std::string callScriptResponse(std::string_view fetchId, std::string_view resultText) {
    return callScriptResponseWith(fetchId, serialize(tryParseResult(resultText)));
}

std::string callbackResultResponse(std::string_view fetchId, const nlohmann::json& result) {
    if (result.is_string()) return callScriptResponse(fetchId, result.get_ref<const std::string&>());
    return callScriptResponseWith(fetchId, serialize(result));
}

std::string callScriptMessage(std::string_view fetchId, std::string_view scriptName, const nlohmann::json& data) {
    std::string envelope = "{\"callback\":{\"fetchId\":";
    appendQuoted(envelope, fetchId);
    envelope.append("},\"data\":").append(serialize(data)).push_back('}');
    std::string message = "{\"param\":";
    message.reserve(envelope.size() * 2 + scriptName.size() + 48);
    appendQuoted(message, envelope);
    message.append(",\"script\":");
    appendQuoted(message, scriptName);
    message.append(",\"type\":\"callScript\"}");
    return message;
}

}  // namespace Lumenbox::json
