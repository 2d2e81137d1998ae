#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/transport/HttpResponse.h"
#include "server/transport/Loop.h"

namespace Lumenbox {

// A question to the user: (session id, normalised file name). Ordered by session id, then by
// file name, byte by byte.
using AuthRequestKey = std::pair<std::string, std::string>;

// What an allowed question records in the session store besides its key: the client name and idle
// timeout of the request that opened it.
struct AuthApproval {
    std::string clientName;
    std::int64_t idleTimeoutSeconds = 0;
};

// One open authorization question and the `POST /authorizeSession` requests waiting for its
// outcome. Lives in the server's pending map from the first request until the user answers, the
// time limit passes or the last waiting client goes away; its time limit is a loop timer that
// dies with the entry.
struct PendingAuthRequest {
    std::vector<std::shared_ptr<transport::HttpResponse>> responses;  // in arrival order
    std::unique_ptr<transport::Timer> timer;
};

}  // namespace Lumenbox
