#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "server/transport/HttpResponse.h"
#include "server/transport/Loop.h"
#include "webviewer/PerSocketData.h"

namespace Lumenbox {

// A `POST /callScript` forwarded to a web viewer and waiting for its callback. Lives in the
// server's pending map from the moment the call is forwarded until it is answered or abandoned;
// its time limit is a loop timer that dies with the entry.
struct PendingHttpCall {
    std::shared_ptr<transport::HttpResponse> res;  // null once the client has gone away
    std::string fileName;                          // normalised file key
    std::string scriptName;                        // trimmed
    std::chrono::steady_clock::time_point startedAt;
    std::int32_t timeoutMs = 0;
    bool aborted = false;
    // The web viewer connection the call was sent to. When a replaced web viewer closes late,
    // only the calls it was carrying fail; calls sent to its successor keep waiting.
    WebSocketConnection* target = nullptr;
    std::unique_ptr<transport::Timer> timer;
};

}  // namespace Lumenbox
