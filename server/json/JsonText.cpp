#include "server/json/JsonText.h"

#include <array>
#include <charconv>
#include <cmath>

namespace Lumenbox::json {

std::string serialize(const nlohmann::json& value) {
    return value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

void appendQuoted(std::string& out, std::string_view text) {
    constexpr char kHex[] = "0123456789abcdef";
    std::size_t start = out.size();
    out.reserve(start + text.size() + 2);
    out.push_back('"');
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Runs of characters that need no escape are copied at once.
        std::size_t plain = i;
        while (plain < text.size() && static_cast<unsigned char>(text[plain]) >= 0x20 &&
               static_cast<unsigned char>(text[plain]) < 0x80 && text[plain] != '"' && text[plain] != '\\') {
            ++plain;
        }
        if (plain > i) {
            out.append(text.substr(i, plain - i));
            i = plain;
            if (i == text.size()) break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
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

void CompactWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (hasItem_.empty()) return;  // the value itself
    if (hasItem_.back()) out_.push_back(',');
    hasItem_.back() = true;
}

void CompactWriter::scalar(std::string_view text) {
    separate();
    out_.append(text);
}

void CompactWriter::integer(std::int64_t value) {
    std::array<char, 24> buffer{};
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    scalar(std::string_view(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data())));
}

void CompactWriter::integer(std::uint64_t value) {
    std::array<char, 24> buffer{};
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    scalar(std::string_view(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data())));
}

void CompactWriter::floating(double value) {
    // The serialiser's own float formatting, so that a number reads as it would after a round
    // trip through a parsed tree (and a non-finite value, which cannot be parsed, as null).
    if (!std::isfinite(value)) return scalar("null");
    std::array<char, 64> buffer{};
    char* end = nlohmann::detail::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    scalar(std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.data())));
}

void CompactWriter::string(std::string_view value) {
    separate();
    appendQuoted(out_, value);
}

void CompactWriter::key(std::string_view name) {
    separate();
    appendQuoted(out_, name);
    out_.push_back(':');
    afterKey_ = true;
}

void CompactWriter::open(char bracket) {
    separate();
    out_.push_back(bracket);
    hasItem_.push_back(false);
}

void CompactWriter::close(char bracket) {
    out_.push_back(bracket);
    hasItem_.pop_back();
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

// The depth-limited builder with one member path diverted to a CompactWriter. `onPath_` counts
// the open containers that are objects on the path so far.
class CapturingBuilder : public DepthLimitedBuilder {
public:
    CapturingBuilder(nlohmann::json& result, std::size_t maxDepth, std::initializer_list<std::string_view> path,
                     std::string& captured)
        : DepthLimitedBuilder(result, maxDepth), maxDepth_(maxDepth), path_(path), captured_(captured), writer_(captured) {}

    bool null() { return capturing_ ? leaf("null") : (nextOnPath_ = false, DepthLimitedBuilder::null()); }
    bool boolean(bool value) {
        return capturing_ ? leaf(value ? "true" : "false") : (nextOnPath_ = false, DepthLimitedBuilder::boolean(value));
    }
    bool number_integer(std::int64_t value) {
        if (!capturing_) return nextOnPath_ = false, DepthLimitedBuilder::number_integer(value);
        writer_.integer(value);
        return ended();
    }
    bool number_unsigned(std::uint64_t value) {
        if (!capturing_) return nextOnPath_ = false, DepthLimitedBuilder::number_unsigned(value);
        writer_.integer(value);
        return ended();
    }
    bool number_float(double value, const std::string& text) {
        if (!capturing_) return nextOnPath_ = false, DepthLimitedBuilder::number_float(value, text);
        writer_.floating(value);
        return ended();
    }
    bool string(std::string& value) {
        if (!capturing_) return nextOnPath_ = false, DepthLimitedBuilder::string(value);
        writer_.string(value);
        return ended();
    }
    bool key(std::string& name) {
        if (capturing_) return writer_.key(name), true;
        const std::size_t depth = openDepth_;
        nextOnPath_ = onPath_ == depth && depth >= 1 && depth <= path_.size() && name == path_.begin()[depth - 1];
        if (nextOnPath_ && depth == path_.size()) {
            nextOnPath_ = false;
            capturing_ = true;
            captureDepth_ = 0;
            captured_.clear();
        }
        return DepthLimitedBuilder::key(name);
    }
    bool start_object(std::size_t size) {
        if (capturing_) return open('{');
        if (openDepth_ == 0 || (nextOnPath_ && onPath_ == openDepth_)) onPath_ = openDepth_ + 1;
        nextOnPath_ = false;
        ++openDepth_;
        return DepthLimitedBuilder::start_object(size);
    }
    bool start_array(std::size_t size) {
        if (capturing_) return open('[');
        nextOnPath_ = false;
        ++openDepth_;
        return DepthLimitedBuilder::start_array(size);
    }
    bool end_object() { return capturing_ ? close('}') : (closeLevel(), DepthLimitedBuilder::end_object()); }
    bool end_array() { return capturing_ ? close(']') : (closeLevel(), DepthLimitedBuilder::end_array()); }

private:
    bool leaf(std::string_view text) {
        writer_.scalar(text);
        return ended();
    }
    bool open(char bracket) {
        if (openDepth_ + ++captureDepth_ > maxDepth_) return false;
        writer_.open(bracket);
        return true;
    }
    bool close(char bracket) {
        writer_.close(bracket);
        --captureDepth_;
        return ended();
    }
    // The captured value is complete once no container of it is open: it stands as null.
    bool ended() {
        if (captureDepth_ > 0) return true;
        capturing_ = false;
        return DepthLimitedBuilder::null();
    }
    void closeLevel() {
        --openDepth_;
        onPath_ = std::min(onPath_, openDepth_);
        nextOnPath_ = false;
    }

    std::size_t maxDepth_;
    std::initializer_list<std::string_view> path_;
    std::string& captured_;
    CompactWriter writer_;
    std::size_t openDepth_ = 0;
    std::size_t onPath_ = 0;
    bool nextOnPath_ = false;
    bool capturing_ = false;
    std::size_t captureDepth_ = 0;
};

}  // namespace

std::optional<nlohmann::json> parseStrictCapturing(std::string_view text, std::initializer_list<std::string_view> path,
                                                   std::string& captured) noexcept {
    try {
        captured.clear();
        nlohmann::json value;
        CapturingBuilder builder(value, kMaxJsonDepth, path, captured);
        if (!nlohmann::json::sax_parse(text, &builder, nlohmann::json::input_format_t::json, /*strict=*/true,
                                       /*ignore_comments=*/false)) {
            captured.clear();
            return std::nullopt;
        }
        return value;
    } catch (...) {
        captured.clear();
        return std::nullopt;
    }
}

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
