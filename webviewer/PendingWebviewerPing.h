#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "server/transport/HttpResponse.h"
#include "server/transport/Loop.h"
#include "webviewer/PerSocketData.h"

namespace Lumenbox {

// A `GET /webviewerPing` waiting for the web viewer's "pong". Lives in the server's pending map,
// under the ping id, from the moment the ping is sent until it is answered (pong, time-out,
// disconnection, send failure) or its client goes away; its time limit is a loop timer that dies with it.
struct PendingWebviewerPing {
    std::shared_ptr<transport::HttpResponse> res;  // the waiting request
    std::string fileName;                          // normalised file key
    std::chrono::steady_clock::time_point startedAt;
    std::int32_t timeoutMs = 0;
    // The web viewer connection the ping was sent to. When a replaced web viewer closes late,
    // only the pings it was carrying fail; pings sent to its successor keep waiting.
    WebSocketConnection* target = nullptr;
    std::unique_ptr<transport::Timer> timer;
};

}  // namespace Lumenbox
