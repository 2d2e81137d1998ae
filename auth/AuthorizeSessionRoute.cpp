// POST /authorizeSession: a client asks for its session to be approved for one file. The route
// answers at once when no question is needed; otherwise it asks the user in the authorization
// dialog and holds the request until the answer, the time limit, or the client's departure.
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "auth/SessionStore.h"
#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/json/JsonText.h"
#include "ui/AuthDialog.h"
#include "ui/AuthDialogTexts.h"
#include "ui/EnhancedSecurity.h"
#include "webviewer/FileName.h"
#include "base/Text.h"

namespace Lumenbox {

namespace {

constexpr std::int64_t kDefaultIdleTimeoutSeconds = SessionStore::kMaxIdleTimeoutSeconds;
constexpr const char* kInvalidJsonBody = "Invalid JSON body.";
constexpr const char* kMissingFields = "Missing sessionId or fileName.";
constexpr const char* kTooManyQuestions = "Too many approval questions are open. Try again later.";
// Open questions at once, for one file and in all: a client cannot bury the user in dialogs.
constexpr std::size_t kMaxOpenQuestionsPerFile = 3;
constexpr std::size_t kMaxOpenQuestions = 8;
// Script calls one agent browser may have held for the same question (its page queues as many).
constexpr std::size_t kMaxHeldCallsPerWaiter = 100;

struct AuthorizeRequest {
    std::string sessionId;
    std::string fileName;  // normalised
    std::string clientName;
    std::string clientDescription;
    std::int64_t idleTimeoutSeconds = kDefaultIdleTimeoutSeconds;
};
// A floating-point number truncated toward zero, saturating where it leaves the 64-bit range
// (converting such a value directly would be undefined).
std::int64_t truncateToInt64(double value) {
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
    if (value <= -kLimit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

// "idleTimeoutSeconds": an integer as it is, a floating-point number truncated, a string holding a
// whole integer converted; absent or anything else means an hour. The result lies in 1..3600.
std::int64_t idleTimeoutOf(const nlohmann::json& body) {
    std::int64_t seconds = kDefaultIdleTimeoutSeconds;
    auto field = body.find("idleTimeoutSeconds");
    if (field == body.end()) {
        seconds = kDefaultIdleTimeoutSeconds;
    } else if (field->is_number_unsigned()) {
        // Past the signed range only in magnitude: it is capped like any large value.
        const auto value = field->get<std::uint64_t>();
        seconds = value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                      ? std::numeric_limits<std::int64_t>::max()
                      : static_cast<std::int64_t>(value);
    } else if (field->is_number_integer()) {
        seconds = field->get<std::int64_t>();
    } else if (field->is_number_float()) {
        seconds = truncateToInt64(field->get<double>());
    } else if (field->is_string()) {
        seconds = parseWholeInteger(field->get<std::string>()).value_or(kDefaultIdleTimeoutSeconds);
    }
    if (seconds <= 0) return SessionStore::kMinIdleTimeoutSeconds;
    return std::min(seconds, SessionStore::kMaxIdleTimeoutSeconds);
}

// The string member `key`, or `fallback` when absent; nullopt when present with another type.
std::optional<std::string> stringMember(const nlohmann::json& body, const char* key, std::string fallback) {
    auto field = body.find(key);
    if (field == body.end()) return fallback;
    if (!field->is_string()) return std::nullopt;
    return field->get<std::string>();
}

// The request body, or nullopt when it is not a JSON object whose text members are strings.
std::optional<AuthorizeRequest> readAuthorizeRequest(std::string_view text) {
    auto body = json::parseStrict(text);
    if (!body || !body->is_object()) return std::nullopt;
    auto sessionId = stringMember(*body, "sessionId", "");
    auto fileName = stringMember(*body, "fileName", "");
    auto clientName = stringMember(*body, "clientName", std::string(SessionStore::kDefaultClientName));
    auto clientDescription = stringMember(*body, "clientDescription", "");
    if (!sessionId || !fileName || !clientName || !clientDescription) return std::nullopt;

    AuthorizeRequest request;
    request.sessionId = sessionIdOrNone(*sessionId);
    request.fileName = normalizeFileName(*fileName);
    // Cleaned here, so that the dialog, the store and every listing show the same single line.
    request.clientName = sanitizeClientText(*clientName, kMaxClientNameChars);
    request.clientDescription = sanitizeClientText(*clientDescription, kMaxClientDescriptionChars);
    request.idleTimeoutSeconds = idleTimeoutOf(*body);
    return request;
}

void writeStatus(transport::HttpResponse& res, std::string_view statusLine, std::string_view status) {
    writeJsonValue(res, statusLine, nlohmann::json{{"status", status}});
}

void writeApproved(transport::HttpResponse& res) {
    writeStatus(res, "200 OK", "approved");
}

}  // namespace

void HttpServer::Impl::handleAuthorizeSession(std::shared_ptr<transport::HttpResponse> res) {
    res->onBody([self = shared_from_this(), res](std::string body) {
        auto request = readAuthorizeRequest(body);
        if (!request) return writeJsonError(*res, "400 Bad Request", kInvalidJsonBody);
        if (request->sessionId.empty() || request->fileName.empty()) {
            return writeJsonError(*res, "400 Bad Request", kMissingFields);
        }
        const bool enhancedSecurity = isEnhancedSecurityEnabled();
        // An approved session is answered even when its file has gone; the check also restarts
        // its idle time.
        if (self->sessionStore_.isAuthorized(request->sessionId, request->fileName, enhancedSecurity)) {
            return writeApproved(*res);
        }
        if (!self->hasWebviewer(request->fileName)) {
            return writeStatus(*res, "409 Conflict", "file_not_connected");
        }
        if (!enhancedSecurity) {
            self->sessionStore_.approve(request->sessionId, request->fileName, request->clientName,
                                        request->idleTimeoutSeconds, /*autoApproved=*/true);
            return writeApproved(*res);
        }
        AuthRequestKey key(request->sessionId, request->fileName);
        if (self->isDenialCoolingDown(key)) return writeStatus(*res, "403 Forbidden", "rejected");
        auto* question = self->questionFor(key, AuthApproval{request->clientName, request->idleTimeoutSeconds},
                                           request->clientDescription);
        if (!question) return writeJsonError(*res, "429 Too Many Requests", kTooManyQuestions);
        question->responses.push_back(res);
        // The handle identifies the request only; the response owns this handler.
        res->onAborted([weak = self->weak_from_this(), key = std::move(key), handle = res.get()] {
            if (auto self = weak.lock()) self->abandonAuthorization(key, handle);
        });
    });
}

bool HttpServer::Impl::isDenialCoolingDown(const AuthRequestKey& key) {
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(deniedUntil_, [now](const auto& denial) { return denial.second <= now; });
    return deniedUntil_.contains(key);
}

// Joins the open question for the key, or opens one: one dialog per session and file, however
// many wait for it. Only the first asker's client name, description and idle timeout are shown
// and recorded. A new question must leave the open ones within the caps.
PendingAuthRequest* HttpServer::Impl::questionFor(const AuthRequestKey& key, const AuthApproval& approval,
                                                  const std::string& clientDescription) {
    if (auto open = pendingAuthRequests_.find(key); open != pendingAuthRequests_.end()) return &open->second;
    const auto forFile = std::count_if(pendingAuthRequests_.begin(), pendingAuthRequests_.end(),
                                       [&key](const auto& open) { return open.first.second == key.second; });
    if (pendingAuthRequests_.size() >= kMaxOpenQuestions ||
        static_cast<std::size_t>(forFile) >= kMaxOpenQuestionsPerFile) {
        return nullptr;
    }

    PendingAuthRequest& question = pendingAuthRequests_[key];
    question.serial = ++lastQuestionSerial_;
    question.timer = std::make_unique<transport::Timer>(app_->loop());
    question.timer->start(options_.authorizationTimeout, [this, key] { onAuthorizationTimeout(key); });

    // The answer arrives on the main thread and is handed to the loop under the deferral rule: an
    // answer given after the server began to stop is dropped. The serial keeps the late answer of
    // a dismissed dialog from answering a newer question for the same key.
    question.dialogTicket = requestSessionAuthorization(
        key.second, approval.clientName, clientDescription, shownPrefix(key.first), approval.idleTimeoutSeconds,
        [weak = weak_from_this(), key, approval, serial = question.serial](bool allowed) {
            deferToLoop(weak, [weak, key, approval, serial, allowed] {
                auto self = weak.lock();
                if (!self) return;
                auto open = self->pendingAuthRequests_.find(key);
                if (open != self->pendingAuthRequests_.end() && open->second.serial == serial) {
                    self->completeAuthorization(key, approval, allowed);
                }
            });
        });
    return &question;
}

void HttpServer::Impl::awaitApproval(const void* owner, const AuthRequestKey& key, const AuthApproval& approval,
                                     std::function<void(AuthAnswer)> answer) {
    if (isDenialCoolingDown(key)) return answer(AuthAnswer::Denied);
    auto* question = questionFor(key, approval, "");
    if (!question) return answer(AuthAnswer::TooManyQuestions);
    // One page's calls queue here while the user decides; past its own queue's size they are refused.
    const auto held = std::count_if(question->waiters.begin(), question->waiters.end(),
                                    [owner](const AuthWaiter& waiter) { return waiter.owner == owner; });
    if (static_cast<std::size_t>(held) >= kMaxHeldCallsPerWaiter) return answer(AuthAnswer::TooManyQuestions);
    question->waiters.push_back({owner, std::move(answer)});
}

void HttpServer::Impl::abandonAuthorization(const AuthRequestKey& key, const transport::HttpResponse* res) {
    auto entry = pendingAuthRequests_.find(key);
    if (entry == pendingAuthRequests_.end()) return;
    std::erase_if(entry->second.responses, [res](const auto& held) { return held.get() == res; });
    closeIfUnwaited(entry);
}

void HttpServer::Impl::abandonAuthorizationsOf(const void* owner) {
    for (auto entry = pendingAuthRequests_.begin(); entry != pendingAuthRequests_.end();) {
        auto next = std::next(entry);
        std::erase_if(entry->second.waiters, [owner](const AuthWaiter& waiter) { return waiter.owner == owner; });
        closeIfUnwaited(entry);
        entry = next;
    }
}

// A question whose every waiter has gone concerns no one: it closes, and so does its dialog.
void HttpServer::Impl::closeIfUnwaited(std::map<AuthRequestKey, PendingAuthRequest>::iterator entry) {
    if (!entry->second.responses.empty() || !entry->second.waiters.empty()) return;
    const std::uint64_t ticket = entry->second.dialogTicket;
    pendingAuthRequests_.erase(entry);
    dismissAuthDialog(ticket);
}

void HttpServer::Impl::completeAuthorization(const AuthRequestKey& key, const AuthApproval& approval, bool allowed) {
    auto entry = pendingAuthRequests_.find(key);
    // Timed out, or every client went away: the answer no longer concerns anyone.
    if (entry == pendingAuthRequests_.end()) return;
    // Out of the map before any reply: a reply may let the next request on its connection in, and
    // that one must not join a question that is already answered.
    auto waiting = std::move(entry->second.responses);
    auto waiters = std::move(entry->second.waiters);
    const bool dismissedByTimeout = entry->second.serial <= dismissedThroughSerial_;
    pendingAuthRequests_.erase(entry);
    if (allowed) {
        sessionStore_.approve(key.first, key.second, approval.clientName, approval.idleTimeoutSeconds);
    } else if (!dismissedByTimeout) {
        // Only the user's own denial holds the session off; a dismissal is no answer.
        deniedUntil_[key] = std::chrono::steady_clock::now() + options_.authorizationDenialCooldown;
    }
    for (auto& res : waiting) {
        if (allowed) {
            writeApproved(*res);
        } else {
            writeStatus(*res, "403 Forbidden", "rejected");
        }
    }
    for (auto& waiter : waiters) waiter.answer(allowed ? AuthAnswer::Allowed : AuthAnswer::Denied);
}

void HttpServer::Impl::onAuthorizationTimeout(const AuthRequestKey& key) {
    auto entry = pendingAuthRequests_.find(key);
    if (entry == pendingAuthRequests_.end()) return;
    auto waiting = std::move(entry->second.responses);
    auto waiters = std::move(entry->second.waiters);
    pendingAuthRequests_.erase(entry);  // also ends the timer that called us, safely
    // Every open dialog goes, this question's and all others, each answering its own requests as
    // rejected. Queued before the replies go out, so that a client that has its "timeout" knows
    // the dialogs are on their way out.
    dismissNativeAuthDialogs();
    dismissedThroughSerial_ = lastQuestionSerial_;
    for (auto& res : waiting) writeStatus(*res, "408 Request Timeout", "timeout");
    for (auto& waiter : waiters) waiter.answer(AuthAnswer::TimedOut);
}

}  // namespace Lumenbox
