#pragma once

#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "server/transport/HttpResponse.h"

namespace Lumenbox {

// Loop thread only, as the responses they write.
// Every JSON reply of the bridge goes through here: the status line (unless the handler wrote
// one already), "Content-Type: application/json", and the compact body, ended in one piece.
void writeJsonReply(transport::HttpResponse& response, std::string_view status, std::string_view body);
void writeJsonValue(transport::HttpResponse& response, std::string_view status, const nlohmann::json& body);
// The statuses the bridge answers with, written once.
namespace status {
inline constexpr std::string_view kOk = "200 OK";
inline constexpr std::string_view kBadRequest = "400 Bad Request";
inline constexpr std::string_view kUnauthorized = "401 Unauthorized";
inline constexpr std::string_view kForbidden = "403 Forbidden";
inline constexpr std::string_view kNotFound = "404 Not Found";
inline constexpr std::string_view kRequestTimeout = "408 Request Timeout";
inline constexpr std::string_view kConflict = "409 Conflict";
inline constexpr std::string_view kPayloadTooLarge = "413 Payload Too Large";
inline constexpr std::string_view kUnprocessableContent = "422 Unprocessable Content";
inline constexpr std::string_view kTooManyRequests = "429 Too Many Requests";
inline constexpr std::string_view kInternalServerError = "500 Internal Server Error";
inline constexpr std::string_view kBadGateway = "502 Bad Gateway";
inline constexpr std::string_view kServiceUnavailable = "503 Service Unavailable";
inline constexpr std::string_view kGatewayTimeout = "504 Gateway Timeout";
}  // namespace status

// The plain error form {"error": message}.
void writeJsonError(transport::HttpResponse& response, std::string_view status, std::string_view message);

// The coded error form {"code": code, "error": message, ...details}: `details` (an object) adds
// keys such as the file name; keys are written in byte order, as in every reply.
void writeCodedJsonError(transport::HttpResponse& response, std::string_view status, std::string_view code,
                         std::string_view message);
void writeCodedJsonError(transport::HttpResponse& response, std::string_view status, std::string_view code,
                         std::string_view message, nlohmann::json details);

}  // namespace Lumenbox
