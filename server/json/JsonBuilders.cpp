#include "server/json/JsonBuilders.h"

#include "server/json/JsonText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <new>
#include <stdexcept>

namespace Lumenbox::json {

std::string errorResponse(std::string_view message) {
    return serialize(nlohmann::json{{"error", std::string(message)}});
}

std::string connectedFilesResponse(const std::vector<std::string>& fileNames) {
    // Built explicitly as an array: an initializer list of two strings would read as a pair.
    auto names = nlohmann::json::array();
    for (const auto& name : fileNames) names.push_back(name);
    return serialize(names);
}

namespace {

// Reads a /callScript body as SAX events: the two name fields are kept, "data" is written out as
// compact JSON while it is read, everything else is skipped. Depth 1 is the body's own object.
class CallScriptBodyReader {
public:
    CallScriptBodyReader(CallScriptRequest& out, std::size_t textSize) : out_(out), textSize_(textSize) {}

    bool null() { return scalar("null"); }
    bool boolean(bool value) { return scalar(value ? "true" : "false"); }
    bool number_integer(std::int64_t value) { return writing() ? (writer_.integer(value), true) : scalar({}); }
    bool number_unsigned(std::uint64_t value) { return writing() ? (writer_.integer(value), true) : scalar({}); }
    bool number_float(double value, const std::string&) { return writing() ? (writer_.floating(value), true) : scalar({}); }
    bool string(std::string& value) {
        if (depth_ == 1 && topIsObject_ && (field_ == Field::File || field_ == Field::Script)) {
            (field_ == Field::File ? out_.connectedFileName : out_.scriptName) = value;
            (field_ == Field::File ? fileValid_ : scriptValid_) = true;
            return true;
        }
        if (!writing()) return scalar({});
        writer_.string(value);
        return true;
    }
    bool binary(nlohmann::json::binary_t&) { return true; }  // never produced by the JSON reader

    bool start_object(std::size_t) { return open('{', /*isObject=*/true); }
    bool start_array(std::size_t) { return open('[', /*isObject=*/false); }
    bool end_object() { return close('}'); }
    bool end_array() { return close(']'); }

    bool key(std::string& name) {
        if (depth_ == 1 && topIsObject_) {
            field_ = name == "connectedFileName" ? Field::File
                     : name == "scriptName"      ? Field::Script
                     : name == "data"            ? Field::Data
                                                 : Field::Other;
            // A key given twice counts with its last value, as in a parsed tree.
            if (field_ == Field::Data) {
                out_.data.clear();
                // The data is most of a large body: room for all of it at once, rather than
                // growing by doubling to up to twice its length.
                out_.data.reserve(textSize_);
            }
            return true;
        }
        if (writing()) writer_.key(name);
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        fail(std::string("Invalid JSON body: ") + error.what());
        return false;
    }

    // The verdict once the whole text has been read.
    void finish() {
        if (!out_.error.empty()) return;
        if (!topIsObject_ || !fileValid_) {
            out_.error = "Missing or invalid field: connectedFileName";
        } else if (!scriptValid_) {
            out_.error = "Missing or invalid field: scriptName";
        } else if (out_.data.empty()) {
            out_.data = "null";
        }
    }

private:
    enum class Field { Other, File, Script, Data };

    bool writing() const { return topIsObject_ && field_ == Field::Data && depth_ >= 1; }

    // A value at depth 1 other than a string leaves a name field invalid.
    void markTopLevelValue() {
        if (depth_ != 1 || !topIsObject_) return;
        if (field_ == Field::File) fileValid_ = false;
        if (field_ == Field::Script) scriptValid_ = false;
    }

    bool scalar(std::string_view text) {
        markTopLevelValue();
        if (writing() && !text.empty()) writer_.scalar(text);
        return true;
    }

    bool open(char bracket, bool isObject) {
        markTopLevelValue();
        if (depth_ == 0 && isObject) topIsObject_ = true;
        if (depth_ == kMaxJsonDepth) {
            fail("Invalid JSON body: nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
            return false;
        }
        if (writing()) writer_.open(bracket);
        ++depth_;
        return true;
    }

    bool close(char bracket) {
        --depth_;
        if (writing()) writer_.close(bracket);
        return true;
    }

    void fail(std::string message) {
        out_.error = std::move(message);
        out_.invalidJson = true;
    }

    CallScriptRequest& out_;
    std::size_t textSize_;
    std::size_t depth_ = 0;
    bool topIsObject_ = false;
    Field field_ = Field::Other;
    bool fileValid_ = false;
    bool scriptValid_ = false;
    CompactWriter writer_{out_.data};
};

}  // namespace

CallScriptRequest parseCallScriptRequest(std::string_view text) {
    CallScriptRequest request;
    request.data.clear();
    CallScriptBodyReader reader(request, text.size());
    try {
        nlohmann::json::sax_parse(text, &reader, nlohmann::json::input_format_t::json, /*strict=*/true,
                                  /*ignore_comments=*/false);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        request.error = std::string("Invalid JSON body: ") + e.what();
        request.invalidJson = true;
    }
    reader.finish();
    if (request.data.capacity() > 2 * request.data.size() + 64) request.data.shrink_to_fit();
    return request;
}

nlohmann::json tryParseResult(std::string_view text) {
    if (auto parsed = parseStrict(text)) return std::move(*parsed);
    return std::string(text);
}

namespace {
std::string callScriptResponseWith(std::string_view fetchId, const std::string& resultJson) {
    std::string reply = "{\"fetchId\":";
    reply.reserve(fetchId.size() + resultJson.size() + 24);
    appendQuoted(reply, fetchId);
    reply.append(",\"result\":").append(resultJson).push_back('}');
    return reply;
}
}  // namespace

std::string callScriptResponse(std::string_view fetchId, std::string_view resultText) {
    return callScriptResponseWith(fetchId, serialize(tryParseResult(resultText)));
}

std::string callbackResultResponse(std::string_view fetchId, const nlohmann::json& result) {
    if (result.is_string()) return callScriptResponse(fetchId, result.get_ref<const std::string&>());
    return callScriptResponseWith(fetchId, serialize(result));
}

nlohmann::json resultValue(const nlohmann::json& result) {
    return result.is_string() ? tryParseResult(result.get_ref<const std::string&>()) : result;
}

std::string resultValueResponse(std::string_view fetchId, const nlohmann::json& value) {
    return callScriptResponseWith(fetchId, serialize(value));
}

std::optional<std::string> scriptError(const nlohmann::json& value) {
    if (!value.is_object()) return std::nullopt;
    auto error = value.find("error");
    if (error == value.end()) return std::nullopt;
    // The values that scripts use to say "no error" (Get ( LastError ) is 0 after a clean run).
    if (error->is_null() || *error == false || *error == 0) return std::nullopt;
    if (error->is_string()) {
        const auto& text = error->get_ref<const std::string&>();
        if (text.empty() || text == "0") return std::nullopt;
        return text;
    }
    return serialize(*error);
}

namespace {

// A piece of compact JSON text written inside a JSON string. Such text holds no raw control
// character and only valid UTF-8, so appendQuoted's other rules never apply: a quote and a
// backslash each get a backslash.
std::size_t escapedSize(std::string_view jsonText) {
    std::size_t size = jsonText.size();
    for (char c : jsonText) size += (c == '"' || c == '\\') ? 1 : 0;
    return size;
}

void appendEscaped(std::string& out, std::string_view jsonText) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < jsonText.size(); ++i) {
        if (jsonText[i] != '"' && jsonText[i] != '\\') continue;
        out.append(jsonText, start, i - start).push_back('\\');
        start = i;
    }
    out.append(jsonText, start);
}

constexpr std::string_view kMessageHead = "{\"param\":\"";
constexpr std::string_view kMessageScript = "\",\"script\":";
constexpr std::string_view kMessageTail = ",\"type\":\"callScript\"}";

std::string envelopeHead(std::string_view fetchId) {
    std::string head = "{\"callback\":{\"fetchId\":";
    appendQuoted(head, fetchId);
    head.append("},\"data\":");
    return head;
}

std::string quoted(std::string_view text) {
    std::string out;
    appendQuoted(out, text);
    return out;
}

}  // namespace

std::size_t callScriptMessageSize(std::string_view fetchId, std::string_view scriptName, std::string_view dataJson) {
    return kMessageHead.size() + escapedSize(envelopeHead(fetchId)) + escapedSize(dataJson) + 1 +
           kMessageScript.size() + quoted(scriptName).size() + kMessageTail.size();
}

std::string callScriptMessage(std::string_view fetchId, std::string_view scriptName, std::string_view dataJson) {
    // Written straight into one buffer of the exact size: the data can be most of a 16 MiB body,
    // and an envelope built first and then quoted would hold it three times over.
    std::string message;
    message.reserve(callScriptMessageSize(fetchId, scriptName, dataJson));
    message.append(kMessageHead);
    appendEscaped(message, envelopeHead(fetchId));
    appendEscaped(message, dataJson);
    message.push_back('}');
    message.append(kMessageScript);
    appendQuoted(message, scriptName);
    message.append(kMessageTail);
    return message;
}

}  // namespace Lumenbox::json
