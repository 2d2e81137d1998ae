#pragma once

// The WebSocket messages a web viewer page and the bridge exchange, as the clients write and read
// them. Plain functions: any thread.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace Lumenbox::clients {

// The message that registers a connection for `fileName` as "webviewer" or "agent-browser".
std::string registerMessage(const std::string& fileName, const std::string& role);
// The page's result callback, which completes the script call `fetchId` with `result`.
std::string resultMessage(const nlohmann::json& result, const std::string& fetchId);
// The page's answer to the liveness ping `id`.
std::string pongMessage(const std::string& id);

// A "callScript" message as a web viewer received it.
struct ForwardedCall {
    std::string text;         // the frame's text, byte for byte
    nlohmann::json message;   // the text parsed
    nlohmann::json envelope;  // the "param" text parsed (null when it is not JSON)
    std::string fetchId;      // envelope["callback"]["fetchId"], empty when absent
};

// The forwarded script call in `text`, or nullopt when `text` is not a "callScript" message.
std::optional<ForwardedCall> readForwardedCall(const std::string& text);

}  // namespace Lumenbox::clients
