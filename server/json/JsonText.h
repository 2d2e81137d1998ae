#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Lumenbox::json {

// The one serialiser of the system; every reply body, WebSocket message and script parameter
// goes through it so that all of them share one format: compact (no white space), keys in
// ascending byte order (objects are std::map), non-ASCII text written as raw UTF-8.
//
// Bytes that are not valid UTF-8 are written as U+FFFD instead of throwing. Strings the server
// echoes back (file names, script results, relayed messages) come from clients, and a client
// must not be able to end the event loop by sending a malformed byte.
std::string serialize(const nlohmann::json& value);

// Appends `text` as a JSON string (quotes and escapes) exactly as `serialize` would write it,
// without building a value first: for messages written piece by piece on the script-call path.
void appendQuoted(std::string& out, std::string_view text);

// The deepest nesting of arrays and objects accepted in any JSON text read from a socket. Parsing
// does not recurse, but serialising a value does: a tree nested without bound would overflow the
// server thread's stack when it is written again. No caller needs more than a few levels.
inline constexpr std::size_t kMaxJsonDepth = 256;

// Parses `text` as one JSON value, comments not allowed. nullopt on any parse error, including
// an empty text, trailing garbage and arrays or objects nested more than `maxDepth` deep (the
// parse stops there, so no over-deep tree is ever built).
std::optional<nlohmann::json> parseStrict(std::string_view text, std::size_t maxDepth = kMaxJsonDepth) noexcept;

}  // namespace Lumenbox::json
