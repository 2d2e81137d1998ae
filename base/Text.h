#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Lumenbox {

// Small text helpers shared by every layer. Pure functions: safe from any thread.

// `text` without the six ASCII white-space bytes (space, \t, \n, \v, \f, \r) at either end.
std::string_view trimAsciiWhitespace(std::string_view text);

// A whole base-10 signed 64-bit number: leading white space and one sign are accepted, anything
// after the digits is not (a NUL byte inside the text included), and neither is a value out of
// range.
std::optional<std::int64_t> parseWholeInteger(std::string_view text);

// A time limit in milliseconds as a query gives it: absent or empty means `defaultMs`; otherwise a
// whole number (as parseWholeInteger reads it) from 1 to `maxMs`. Nullopt: not a valid limit.
std::optional<std::int32_t> parseTimeLimitMs(std::string_view text, std::int32_t defaultMs, std::int32_t maxMs);

// A session id as the bridge uses it: an id of white space only is no session at all (empty), so
// that it can neither be approved nor match anything; any other id is kept byte for byte.
std::string sessionIdOrNone(std::string_view sessionId);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view text);

// Longest client name and description a question, the session store or a listing carries, in
// code points.
inline constexpr std::size_t kMaxClientNameChars = 80;
inline constexpr std::size_t kMaxClientDescriptionChars = 300;

// Client-supplied text made fit to show on one line: control characters (C0, DEL, C1) and the
// Unicode line and paragraph separators are removed, bytes that are not well-formed UTF-8 are
// dropped, and what remains is cut after `maxChars` code points (never inside a character). Without
// this, a newline in a client name can fake an extra row of a dialog.
std::string sanitizeClientText(std::string_view text, std::size_t maxChars);

}  // namespace Lumenbox
