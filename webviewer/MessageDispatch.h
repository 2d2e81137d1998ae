#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "webviewer/PerSocketData.h"

namespace Lumenbox {

// The WebSocket messages pages send: a text frame holding a JSON object whose "type" names its
// handler. Anything else (binary, not JSON, no or an unknown type) is ignored. Loop thread only.
class MessageDispatch {
public:
    using Handler = std::function<void(WebSocketConnection* ws, const nlohmann::json& message)>;

    void on(std::string type, Handler handler) { handlers_.insert_or_assign(std::move(type), std::move(handler)); }
    void dispatch(WebSocketConnection* ws, std::string_view text, transport::OpCode opCode) const;

private:
    std::map<std::string, Handler, std::less<>> handlers_;
};

}  // namespace Lumenbox
