#pragma once

#include <cstdint>
#include <functional>
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

// How a question ended for one waiter that is not an HTTP request. TooManyQuestions is given at
// once, when the caps on open questions leave no room for a new one.
enum class AuthAnswer { Allowed, Denied, TimedOut, TooManyQuestions };

// A waiter other than a `POST /authorizeSession` request, such as an agent browser's script call
// held until its session is approved. `owner` is what may go away before the answer (the
// connection); its waiters are then dropped unanswered.
struct AuthWaiter {
    const void* owner = nullptr;
    std::function<void(AuthAnswer)> answer;
};

// One open authorization question and everyone waiting for its outcome. Lives in the server's
// pending map from the first request until the user answers, the time limit passes or the last
// waiter goes away (which also dismisses its dialog); its time limit is a loop timer that dies
// with the entry.
struct PendingAuthRequest {
    std::vector<std::shared_ptr<transport::HttpResponse>> responses;  // in arrival order
    std::vector<AuthWaiter> waiters;                                  // in arrival order
    std::unique_ptr<transport::Timer> timer;
    std::uint64_t serial = 0;        // tells this question's answer from that of an earlier one
    std::uint64_t dialogTicket = 0;  // for dismissAuthDialog
};

}  // namespace Lumenbox
