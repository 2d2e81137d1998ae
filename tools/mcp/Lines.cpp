#include "tools/mcp/Lines.h"

#include <algorithm>

namespace Lumenbox::mcpstdio {

namespace {

bool blank(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

}  // namespace

std::vector<std::string> LineSplitter::feed(std::string_view chunk) {
    std::vector<std::string> lines;
    for (auto end = chunk.find('\n'); end != std::string_view::npos; end = chunk.find('\n')) {
        partial_.append(chunk.substr(0, end));
        chunk.remove_prefix(end + 1);
        if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
        if (!blank(partial_)) lines.push_back(std::move(partial_));
        partial_.clear();
    }
    partial_.append(chunk);
    return lines;
}

std::string asOneLine(std::string_view json) {
    std::string line;
    line.reserve(json.size());
    std::copy_if(json.begin(), json.end(), std::back_inserter(line), [](char c) { return c != '\n' && c != '\r'; });
    return line;
}

}  // namespace Lumenbox::mcpstdio
