#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Lumenbox::transport {

// Pure function: safe from any thread.
// Finds `key` in a query string ("a=1&b=2", without the "?") and returns its value with
// percent-escapes and "+" decoded. A key without "=" has the empty value; nullopt when the key
// is absent. Escapes that are not two hex digits are kept as they are. The decoded bytes are not
// checked for UTF-8: callers that echo them serialise safely.
std::optional<std::string> findQueryValue(std::string_view query, std::string_view key);

std::string percentDecode(std::string_view text);

}  // namespace Lumenbox::transport
