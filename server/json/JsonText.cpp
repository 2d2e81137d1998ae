#include "server/json/JsonText.h"

namespace Lumenbox::json {

std::string serialize(const nlohmann::json& value) {
    return value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

void appendQuoted(std::string& out, std::string_view text) {
    constexpr char kHex[] = "0123456789abcdef";
    std::size_t start = out.size();
    out.reserve(start + text.size() + 2);
    out.push_back('"');
    for (unsigned char c : text) {
        if (c >= 0x80) {
            // Beyond ASCII the serialiser's own handling of invalid UTF-8 applies.
            out.resize(start);
            out += serialize(nlohmann::json(std::string(text)));
            return;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
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
