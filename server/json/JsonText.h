#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>
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

// Writes the SAX events of one JSON value as compact text, as `serialize` would write its tree,
// except that object members keep the caller's order (duplicates included): the form in which a
// caller's "data" is handed on to a script, whatever route it came through.
class CompactWriter {
public:
    explicit CompactWriter(std::string& out) : out_(out) {}

    void scalar(std::string_view text);  // null, true, false or a number as written
    void integer(std::int64_t value);
    void integer(std::uint64_t value);
    void floating(double value);
    void string(std::string_view value);
    void key(std::string_view name);
    void open(char bracket);
    void close(char bracket);

private:
    void separate();

    std::string& out_;
    bool afterKey_ = false;      // a member's key was written, its value comes next
    std::vector<bool> hasItem_;  // per open container: an element was written
};

// parseStrict, except that the value at the member path `path` (keys of nested objects from the
// top) is not built into the tree: it is written into `captured` by a CompactWriter and stands as
// null in the tree. `captured` stays empty when the path is absent; a key given twice counts with
// its last value.
std::optional<nlohmann::json> parseStrictCapturing(std::string_view text, std::initializer_list<std::string_view> path,
                                                   std::string& captured) noexcept;

}  // namespace Lumenbox::json
