#pragma once

#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "server/transport/HttpResponse.h"

namespace Lumenbox {

// Every JSON reply of the bridge goes through here: the status line (unless the handler wrote
// one already), "Content-Type: application/json", and the compact body, ended in one piece.
void writeJsonReply(transport::HttpResponse& response, std::string_view status, std::string_view body);
void writeJsonValue(transport::HttpResponse& response, std::string_view status, const nlohmann::json& body);
// The plain error form {"error": message}.
void writeJsonError(transport::HttpResponse& response, std::string_view status, std::string_view message);

}  // namespace Lumenbox
