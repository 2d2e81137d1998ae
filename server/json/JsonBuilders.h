#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Lumenbox::json {

// Pure functions: safe from any thread.
// Builders of the bodies shared by several routes. Each returns the serialised text, written
// by json::serialize; the script-call messages are written piece by piece in the same format,
// without a tree per message.

// {"error":message}, the plain error body.
std::string errorResponse(std::string_view message);

// The names as a JSON array in the given order; [] when there are none.
std::string connectedFilesResponse(const std::vector<std::string>& fileNames);

// The body of POST /callScript, taken verbatim: no normalisation and no trimming.
struct CallScriptRequest {
    std::string connectedFileName;
    std::string scriptName;
    // "data" as compact JSON text, written while the body is read so that no tree of it is ever
    // built (a tree costs many times the text). It is in the serialiser's format except that
    // object members keep the caller's order, duplicates included. "null" when the body has none.
    std::string data = "null";
    // Empty when the body is usable; otherwise
    //   "Invalid JSON body: <parser message>"          when the text is not JSON or nests deeper
    //                                                  than kMaxJsonDepth (invalidJson is set),
    //   "Missing or invalid field: connectedFileName" when it is not an object or that key is
    //                                                  missing or not a string,
    //   "Missing or invalid field: scriptName"        when that key is missing or not a string.
    // A key given twice counts once, with its last value, as in a parsed tree. Other keys are ignored.
    std::string error;
    bool invalidJson = false;
};

// Reads a POST /callScript body in one pass (see CallScriptRequest).
CallScriptRequest parseCallScriptRequest(std::string_view text);

// A script's result text as the value to put into a reply: the text parsed as JSON if it
// parses strictly, otherwise (empty text included) the text itself as a JSON string.
nlohmann::json tryParseResult(std::string_view text);

// {"fetchId":fetchId,"result":tryParseResult(resultText)}, the success reply of a script call.
std::string callScriptResponse(std::string_view fetchId, std::string_view resultText);
// The same reply for a result as the web viewer sent it: a string is a result text as above, any
// other value is the result itself.
std::string callbackResultResponse(std::string_view fetchId, const nlohmann::json& result);

// The value a callback's result stands for: a string is a result text, read by tryParseResult;
// any other value is the result itself.
nlohmann::json resultValue(const nlohmann::json& result);
// {"fetchId":fetchId,"result":value}, for a value as resultValue gives it.
std::string resultValueResponse(std::string_view fetchId, const nlohmann::json& value);

// How a script says that it failed: its result (as resultValue gives it) is an object with a
// top-level "error" key. Returns the error as text (a string as it is, any other value
// serialised), nullopt when the result is no error. An "error" of null, false, 0, "0" or "" is no
// error, so that a script may always answer {"error": Get ( LastError ), ...}. Every front end
// that runs scripts answers such a result as a failed call rather than a success.
std::optional<std::string> scriptError(const nlohmann::json& value);

// The "callScript" message that carries a script call to a web viewer:
// {"param":<envelope as text>,"script":scriptName,"type":"callScript"}, the envelope being
// {"callback":{"fetchId":fetchId},"data":dataJson}. `dataJson` must be compact JSON as
// CallScriptRequest::data or serialize writes it.
std::string callScriptMessage(std::string_view fetchId, std::string_view scriptName, std::string_view dataJson);
// The length of that message, computed without writing it.
std::size_t callScriptMessageSize(std::string_view fetchId, std::string_view scriptName, std::string_view dataJson);

}  // namespace Lumenbox::json
