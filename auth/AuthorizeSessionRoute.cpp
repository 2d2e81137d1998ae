#include "auth/AuthorizeSessionRoute.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "auth/AuthorizationQuestions.h"
#include "auth/SessionStore.h"
#include "base/Text.h"
#include "server/json/JsonReply.h"
#include "server/json/JsonText.h"
#include "base/FileName.h"

namespace Lumenbox {

namespace {

constexpr std::int64_t kDefaultIdleTimeoutSeconds = SessionStore::kMaxIdleTimeoutSeconds;
constexpr const char* kInvalidJsonBody = "Invalid JSON body.";
constexpr const char* kMissingFields = "Missing sessionId or fileName.";
constexpr const char* kTooManyQuestions = "Too many approval questions are open. Try again later.";

struct AuthorizeRequest {
    std::string sessionId;
    std::string fileName;  // normalised
    AuthApproval approval;
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
    request.approval.clientName = sanitizeClientText(*clientName, kMaxClientNameChars);
    request.approval.clientDescription = sanitizeClientText(*clientDescription, kMaxClientDescriptionChars);
    request.approval.idleTimeoutSeconds = idleTimeoutOf(*body);
    return request;
}

void writeStatus(transport::HttpResponse& res, std::string_view statusLine, std::string_view status) {
    writeJsonValue(res, statusLine, nlohmann::json{{"status", status}});
}

void writeAnswer(transport::HttpResponse& res, AuthAnswer answer) {
    switch (answer) {
        case AuthAnswer::Allowed: return writeStatus(res, status::kOk, "approved");
        case AuthAnswer::Denied: return writeStatus(res, status::kForbidden, "rejected");
        case AuthAnswer::TimedOut: return writeStatus(res, status::kRequestTimeout, "timeout");
        case AuthAnswer::TooManyQuestions: return writeJsonError(res, status::kTooManyRequests, kTooManyQuestions);
    }
}

void authorize(AuthorizationQuestions& questions, const std::function<bool(const std::string&)>& isFileConnected,
               const std::shared_ptr<transport::HttpResponse>& res, std::string_view body) {
    auto request = readAuthorizeRequest(body);
    if (!request) return writeJsonError(*res, status::kBadRequest, kInvalidJsonBody);
    if (request->sessionId.empty() || request->fileName.empty()) {
        return writeJsonError(*res, status::kBadRequest, kMissingFields);
    }
    // An approved session is answered even when its file has gone; the check also restarts its
    // idle time.
    if (questions.isAuthorized(request->sessionId, request->fileName)) return writeAnswer(*res, AuthAnswer::Allowed);
    if (!isFileConnected(request->fileName)) return writeStatus(*res, status::kConflict, "file_not_connected");
    if (questions.approveOnFirstUse(request->sessionId, request->fileName, request->approval)) {
        return writeAnswer(*res, AuthAnswer::Allowed);
    }
    // The request is its own waiter; should its client go, so does the waiter.
    const transport::HttpResponse* owner = res.get();
    res->onAborted([weak = questions.weak_from_this(), owner] {
        if (auto questions = weak.lock()) questions->abandonAuthorizationsOf(owner);
    });
    questions.awaitApproval(owner, {request->sessionId, request->fileName}, request->approval,
                            [res](AuthAnswer answer) { writeAnswer(*res, answer); });
}

}  // namespace

void handleAuthorizeSession(std::weak_ptr<AuthorizationQuestions> questions,
                            std::function<bool(const std::string& fileName)> isFileConnected,
                            std::shared_ptr<transport::HttpResponse> res) {
    res->onBody([questions = std::move(questions), isFileConnected = std::move(isFileConnected), res](std::string body) {
        if (auto live = questions.lock()) authorize(*live, isFileConnected, res, body);
    });
}

}  // namespace Lumenbox
