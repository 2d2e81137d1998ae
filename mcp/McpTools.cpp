#include "mcp/McpTools.h"

#include <climits>
#include <cmath>

#include "base/FileName.h"
#include "base/Text.h"
#include "mcp/McpMessages.h"
#include "server/json/JsonText.h"

namespace Lumenbox::mcp {

namespace {

constexpr std::int64_t kMaxScriptTimeoutMs = INT32_MAX;
constexpr std::int64_t kMaxPingTimeoutMs = 5000;

nlohmann::json stringSchema(std::string_view description) {
    return {{"type", "string"}, {"description", description}};
}

nlohmann::json integerSchema(std::int64_t maximum, std::int64_t fallback, std::string_view description) {
    return {{"type", "integer"}, {"minimum", 1}, {"maximum", maximum}, {"default", fallback}, {"description", description}};
}

nlohmann::json annotations(std::string_view title, bool readOnly) {
    return {{"title", title},
            {"readOnlyHint", readOnly},
            {"destructiveHint", !readOnly},
            {"idempotentHint", readOnly},
            {"openWorldHint", false}};
}

nlohmann::json makeToolList() {
    const auto fileName = stringSchema("The name of an open FileMaker file, as list_files gives it.");
    return nlohmann::json::array({
        {{"name", "list_files"},
         {"title", "List connected files"},
         {"description", "Lists the FileMaker files that are open with Lumenbox connected: the files run_script "
                         "and ping_file can reach. Call it first."},
         {"inputSchema", {{"type", "object"}, {"properties", nlohmann::json::object()}}},
         {"outputSchema",
          {{"type", "object"},
           {"properties", {{"files", {{"type", "array"}, {"items", {{"type", "string"}}}}}}},
           {"required", {"files"}}}},
         {"annotations", annotations("List connected files", true)}},
        {{"name", "run_script"},
         {"title", "Run a FileMaker script"},
         {"description", "Runs a script in one of the user's open FileMaker files and returns what the script "
                         "sends back. `data` (any JSON) reaches the script as the \"data\" of its parameter."},
         {"inputSchema",
          {{"type", "object"},
           {"properties",
            {{"fileName", fileName},
             {"scriptName", stringSchema("The name of the script to run.")},
             {"data", {{"description", "Any JSON value, handed to the script."}}},
             {"timeoutMs", integerSchema(kMaxScriptTimeoutMs, 30000, "How long to wait for the script's result.")}}},
           {"required", {"fileName", "scriptName"}}}},
         {"outputSchema",
          {{"type", "object"},
           {"properties",
            {{"fileName", {{"type", "string"}}},
             {"scriptName", {{"type", "string"}}},
             {"fetchId", {{"type", "string"}}},
             {"result", {{"description", "What the script sent back."}}}}},
           {"required", {"fileName", "scriptName", "fetchId", "result"}}}},
         {"annotations", annotations("Run a FileMaker script", false)}},
        {{"name", "ping_file"},
         {"title", "Check that a file answers"},
         {"description", "Tells whether the Lumenbox page of an open FileMaker file answers now, and how fast."},
         {"inputSchema",
          {{"type", "object"},
           {"properties",
            {{"fileName", fileName},
             {"timeoutMs", integerSchema(kMaxPingTimeoutMs, 1500, "How long to wait for the page's answer.")}}},
           {"required", {"fileName"}}}},
         {"outputSchema",
          {{"type", "object"},
           {"properties",
            {{"fileName", {{"type", "string"}}}, {"alive", {{"type", "boolean"}}}, {"elapsedMs", {{"type", "integer"}}}}},
           {"required", {"fileName", "alive"}}}},
         {"annotations", annotations("Check that a file answers", true)}},
    });
}

// The arguments object; absent counts as empty.
const nlohmann::json* argumentsObject(const nlohmann::json& arguments) {
    static const nlohmann::json kEmpty = nlohmann::json::object();
    if (arguments.is_null()) return &kEmpty;
    return arguments.is_object() ? &arguments : nullptr;
}

std::optional<std::string> fileNameOf(const nlohmann::json& arguments) {
    auto field = arguments.find("fileName");
    if (field == arguments.end() || !field->is_string()) return std::nullopt;
    std::string name = normalizeFileName(field->get<std::string>());
    if (name.empty()) return std::nullopt;
    return name;
}

// A whole number of milliseconds from 1 to `maximum` (a number with no fraction counts), the
// fallback when absent, nullopt otherwise.
std::optional<std::int32_t> timeoutOf(const nlohmann::json& arguments, std::int64_t maximum, std::int32_t fallback) {
    auto field = arguments.find("timeoutMs");
    if (field == arguments.end() || field->is_null()) return fallback;
    double value;
    if (field->is_number_integer()) {
        if (field->is_number_unsigned() && field->get<std::uint64_t>() > static_cast<std::uint64_t>(maximum)) return std::nullopt;
        value = static_cast<double>(field->get<std::int64_t>());
    } else if (field->is_number_float()) {
        value = field->get<double>();
        if (value != std::floor(value)) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (!(value >= 1 && value <= static_cast<double>(maximum))) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

}  // namespace

const nlohmann::json& toolList() {
    static const nlohmann::json kTools = makeToolList();
    return kTools;
}

std::optional<Tool> toolNamed(std::string_view name) {
    if (name == "list_files") return Tool::ListFiles;
    if (name == "run_script") return Tool::RunScript;
    if (name == "ping_file") return Tool::PingFile;
    return std::nullopt;
}

std::variant<RunScriptArguments, std::string> readRunScriptArguments(const nlohmann::json& raw, std::string dataText) {
    const nlohmann::json* arguments = argumentsObject(raw);
    if (!arguments) return text::argumentsNotAnObject();
    RunScriptArguments out;
    auto fileName = fileNameOf(*arguments);
    if (!fileName) return text::missingFileName();
    out.fileName = std::move(*fileName);
    auto script = arguments->find("scriptName");
    if (script == arguments->end() || !script->is_string() ||
        trimAsciiWhitespace(script->get_ref<const std::string&>()).empty()) {
        return text::missingScriptName();
    }
    out.scriptName = std::string(trimAsciiWhitespace(script->get_ref<const std::string&>()));
    auto data = arguments->find("data");
    out.data = data == arguments->end() ? "null" : !dataText.empty() ? std::move(dataText) : json::serialize(*data);
    auto timeout = timeoutOf(*arguments, kMaxScriptTimeoutMs, 30000);
    if (!timeout) return text::badTimeout(kMaxScriptTimeoutMs);
    out.timeoutMs = *timeout;
    return out;
}

std::variant<PingFileArguments, std::string> readPingFileArguments(const nlohmann::json& raw) {
    const nlohmann::json* arguments = argumentsObject(raw);
    if (!arguments) return text::argumentsNotAnObject();
    PingFileArguments out;
    auto fileName = fileNameOf(*arguments);
    if (!fileName) return text::missingFileName();
    out.fileName = std::move(*fileName);
    auto timeout = timeoutOf(*arguments, kMaxPingTimeoutMs, 1500);
    if (!timeout) return text::badTimeout(kMaxPingTimeoutMs);
    out.timeoutMs = *timeout;
    return out;
}

std::string cutText(std::string text, std::size_t limit) {
    // Counted in code points: a continuation byte (10xxxxxx) belongs to the character before it.
    std::size_t characters = 0;
    std::size_t cut = std::string::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (characters == limit) cut = i;
        ++characters;
    }
    if (cut == std::string::npos) return text;
    text.resize(cut);
    return text + text::cutNote(limit, characters);
}

std::string toolResultMessage(const nlohmann::json& id, std::string_view structured, bool stateless) {
    const std::string text = cutText(std::string(structured));
    std::string out;
    out.reserve(structured.size() + text.size() + text.size() / 8 + 128);
    out.append("{\"id\":").append(json::serialize(id)).append(",\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":");
    json::appendQuoted(out, text);
    out.append(",\"type\":\"text\"}]");
    if (stateless) out.append(",\"resultType\":\"complete\"");
    out.append(",\"structuredContent\":").append(structured).append("}}");
    return out;
}

std::string runScriptContent(std::string_view fileName, std::string_view scriptName, std::string_view fetchId,
                             const nlohmann::json& result) {
    std::string out = "{\"fetchId\":";
    json::appendQuoted(out, fetchId);
    out.append(",\"fileName\":");
    json::appendQuoted(out, fileName);
    out.append(",\"result\":").append(json::serialize(result)).append(",\"scriptName\":");
    json::appendQuoted(out, scriptName);
    out.push_back('}');
    return out;
}

nlohmann::json toolError(std::string message) {
    return {{"content", {{{"type", "text"}, {"text", std::move(message)}}}}, {"isError", true}};
}

}  // namespace Lumenbox::mcp
