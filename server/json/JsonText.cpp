#include "server/json/JsonText.h"

namespace Lumenbox::json {

std::string serialize(const nlohmann::json& value) {
    return value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

std::optional<nlohmann::json> parseStrict(std::string_view text) noexcept {
    try {
        auto value = nlohmann::json::parse(text, /*cb=*/nullptr, /*allow_exceptions=*/false,
                                           /*ignore_comments=*/false);
        if (value.is_discarded()) return std::nullopt;
        return value;
    } catch (...) {
        // Only allocation can fail here; to the caller that is just text it could not use.
        return std::nullopt;
    }
}

}  // namespace Lumenbox::json
