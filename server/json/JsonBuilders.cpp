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

std::string callScriptResponse(std::string_view fetchId, std::string_view resultText) {
    return serialize(nlohmann::json{{"fetchId", std::string(fetchId)}, {"result", tryParseResult(resultText)}});
}

}  // namespace Lumenbox::json
