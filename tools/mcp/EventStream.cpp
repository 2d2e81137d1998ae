#include "tools/mcp/EventStream.h"

namespace Lumenbox::mcpstdio {

std::vector<std::string> EventStreamReader::feed(std::string_view bytes) {
    std::vector<std::string> messages;
    for (char c : bytes) {
        const bool lfOfCrlf = afterCr_ && c == '\n';
        afterCr_ = c == '\r';
        if (lfOfCrlf) continue;
        if (c == '\r' || c == '\n') {
            takeLine(line_, messages);
            line_.clear();
        } else {
            line_ += c;
        }
    }
    return messages;
}

void EventStreamReader::takeLine(std::string_view line, std::vector<std::string>& messages) {
    if (line.empty()) {
        if (hasData_ && (eventType_.empty() || eventType_ == "message")) messages.push_back(std::move(data_));
        data_.clear();
        hasData_ = false;
        eventType_.clear();
        return;
    }
    const auto colon = line.find(':');
    const std::string_view field = line.substr(0, colon);
    std::string_view value = colon == std::string_view::npos ? std::string_view{} : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (field == "data") {
        if (hasData_) data_ += '\n';
        data_.append(value);
        hasData_ = true;
    } else if (field == "event") {
        eventType_ = value;
    }
}

}  // namespace Lumenbox::mcpstdio
