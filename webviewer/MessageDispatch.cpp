#include "webviewer/MessageDispatch.h"

#include <nlohmann/json.hpp>

#include "server/json/JsonText.h"

namespace Lumenbox {

void MessageDispatch::dispatch(WebSocketConnection* ws, std::string_view text, transport::OpCode opCode) const {
    if (opCode != transport::OpCode::Text) return;
    auto parsed = json::parseStrict(text);
    if (!parsed || !parsed->is_object()) return;
    auto type = parsed->find("type");
    if (type == parsed->end() || !type->is_string()) return;
    auto handler = handlers_.find(type->get_ref<const std::string&>());
    if (handler != handlers_.end()) handler->second(ws, *parsed);
}

}  // namespace Lumenbox
