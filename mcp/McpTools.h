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
    std::string data;        // compact JSON text, "null" when absent
    std::int32_t timeoutMs = 30000;
};
struct PingFileArguments {
    std::string fileName;  // normalised
    std::int32_t timeoutMs = 1500;
};
// The arguments, or the text of what is wrong with them.
std::variant<RunScriptArguments, std::string> readRunScriptArguments(const nlohmann::json& arguments);
std::variant<PingFileArguments, std::string> readPingFileArguments(const nlohmann::json& arguments);

// The longest text block a result carries: agents cap what a tool may return.
inline constexpr std::size_t kMaxResultTextChars = 100000;

// {content:[{type:"text",text:<compact JSON of structured, cut>}], structuredContent:structured}.
nlohmann::json toolResult(const nlohmann::json& structured);
// {content:[{type:"text",text}], isError:true}.
nlohmann::json toolError(std::string text);
// `text` cut at `limit` characters (UTF-8 code points) with a note saying so; unchanged when short.
std::string cutText(std::string text, std::size_t limit = kMaxResultTextChars);

}  // namespace Lumenbox::mcp
