#pragma once

#include <chrono>
#include <string_view>

#include "server/transport/HttpRequest.h"
#include "server/transport/HttpResponse.h"

namespace Lumenbox {

// With LUMENBOX_LOG_LEVEL=debug the plug-in log gets a line for every request as it ends and for
// every WebSocket event, so that a user can see what reached the bridge and what it answered:
//   request method=POST path=/callScript status=200 file="Demo" duration_ms=12
//   ws_event event=register file="Demo" duration_ms=0
// Only the method, the path without its query, the status, the file and the time: never a session
// id, a token or a connector key. Callers ask debugLogEnabled() first, so that without the level a
// request costs one test of a flag. Loop thread only.

// Arranges for `res` to log its request when it ends or its client leaves; a WebSocket upgrade
// logs nothing here (its events do).
void logRequestWhenFinished(const transport::HttpRequest& req, transport::HttpResponse& res);

void logWebSocketEvent(std::string_view event, std::string_view fileName, std::chrono::steady_clock::time_point since);

}  // namespace Lumenbox
