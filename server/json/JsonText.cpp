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

namespace {

// The library's own tree builder with a depth gate in front of every array and object: returning
// false from a SAX event ends the parse at once.
class DepthLimitedBuilder : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
    using Base = nlohmann::detail::json_sax_dom_parser<nlohmann::json>;

public:
    DepthLimitedBuilder(nlohmann::json& result, std::size_t maxDepth) : Base(result, /*allow_exceptions=*/false), maxDepth_(maxDepth) {}

    bool start_object(std::size_t size) { return ++depth_ <= maxDepth_ && Base::start_object(size); }
    bool start_array(std::size_t size) { return ++depth_ <= maxDepth_ && Base::start_array(size); }
    bool end_object() { --depth_; return Base::end_object(); }
    bool end_array() { --depth_; return Base::end_array(); }

private:
    std::size_t maxDepth_;
    std::size_t depth_ = 0;
};

}  // namespace

std::optional<nlohmann::json> parseStrict(std::string_view text, std::size_t maxDepth) noexcept {
    try {
        nlohmann::json value;
        DepthLimitedBuilder builder(value, maxDepth);
        if (!nlohmann::json::sax_parse(text, &builder, nlohmann::json::input_format_t::json, /*strict=*/true,
                                       /*ignore_comments=*/false)) {
            return std::nullopt;
        }
        return value;
    } catch (...) {
        // Only allocation can fail here; to the caller that is just text it could not use.
        return std::nullopt;
    }
}

}  // namespace Lumenbox::json
