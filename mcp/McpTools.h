#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

namespace Lumenbox::mcp {

// The endpoint's three tools: their list (schemas, annotations), their argument checks and the
// shape of their results. Pure: safe from any thread.
enum class Tool { ListFiles, RunScript, PingFile };

// The tools as tools/list gives them, in their fixed order.
const nlohmann::json& toolList();
std::optional<Tool> toolNamed(std::string_view name);

struct RunScriptArguments {
    std::string fileName;    // normalised
    std::string scriptName;  // trimmed
    std::string data;        // compact JSON text with members in the caller's order, "null" when absent
    std::int32_t timeoutMs = 30000;
};
struct PingFileArguments {
    std::string fileName;  // normalised
    std::int32_t timeoutMs = 1500;
};
// The arguments, or the text of what is wrong with them. `dataText` is "data" as the request's
// reader wrote it (json::parseStrictCapturing), empty when it was not captured: then the "data" of
// `arguments` is written out again.
std::variant<RunScriptArguments, std::string> readRunScriptArguments(const nlohmann::json& arguments,
                                                                     std::string dataText = {});
std::variant<PingFileArguments, std::string> readPingFileArguments(const nlohmann::json& arguments);

// The longest text block a result carries: agents cap what a tool may return.
inline constexpr std::size_t kMaxResultTextChars = 100000;

// The JSON-RPC response {"id","jsonrpc","result":{content:[{type:"text",text:<structured, cut>}],
// resultType?,structuredContent:structured}} for the compact JSON text `structured`, written as
// json::serialize writes that tree but without building it: the structured content is written
// once, and once more escaped. `stateless` adds resultType "complete".
std::string toolResultMessage(const nlohmann::json& id, std::string_view structured, bool stateless);
// {"fetchId","fileName","result","scriptName"}, run_script's structured content, as text.
std::string runScriptContent(std::string_view fileName, std::string_view scriptName, std::string_view fetchId,
                             const nlohmann::json& result);
// {content:[{type:"text",text}], isError:true}.
nlohmann::json toolError(std::string text);
// `text` cut at `limit` characters (UTF-8 code points) with a note saying so; unchanged when short.
std::string cutText(std::string text, std::size_t limit = kMaxResultTextChars);

}  // namespace Lumenbox::mcp
