#include "clients/Messages.h"

namespace Lumenbox::clients {

std::string registerMessage(const std::string& fileName, const std::string& role) {
    return nlohmann::json{{"type", "register"}, {"fileName", fileName}, {"role", role}}.dump();
}

std::string resultMessage(const nlohmann::json& result, const std::string& fetchId) {
    return nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {result, fetchId}}}.dump();
}

std::string pongMessage(const std::string& id) {
    return nlohmann::json{{"type", "pong"}, {"id", id}}.dump();
}

std::optional<ForwardedCall> readForwardedCall(const std::string& text) {
    ForwardedCall call{text, nlohmann::json::parse(text, nullptr, false), nullptr, {}};
    if (!call.message.is_object() || call.message.value("type", nlohmann::json()) != "callScript") return std::nullopt;
    if (call.message.contains("param") && call.message["param"].is_string()) {
        call.envelope = nlohmann::json::parse(call.message["param"].get<std::string>(), nullptr, false);
        if (call.envelope.is_discarded()) call.envelope = nullptr;
    }
    const auto& envelope = call.envelope;
    if (envelope.is_object() && envelope.contains("callback") && envelope["callback"].is_object()) {
        const auto& fetchId = envelope["callback"].value("fetchId", nlohmann::json());
        if (fetchId.is_string()) call.fetchId = fetchId.get<std::string>();
    }
    return call;
}

}  // namespace Lumenbox::clients
