#pragma once

#include <functional>
#include <memory>
#include <string>

namespace Lumenbox {

class AuthorizationQuestions;

namespace transport {
class HttpResponse;
}

// POST /authorizeSession: a client asks for its session to be approved for one file. Answers at
// once when no question is needed; otherwise holds the request as a waiter of the question until
// the user's answer, the time limit, or the client's departure. `isFileConnected` tells whether a
// file has a web viewer (a question about a file nobody has open is refused). A request whose body
// arrives after `questions` has gone is dropped unanswered. Loop thread only.
void handleAuthorizeSession(std::weak_ptr<AuthorizationQuestions> questions,
                            std::function<bool(const std::string& fileName)> isFileConnected,
                            std::shared_ptr<transport::HttpResponse> res);

}  // namespace Lumenbox
