#pragma once

// Reads a text/event-stream reply as it arrives. Pure; an EventStreamReader belongs to one thread.

#include <string>
#include <string_view>
#include <vector>

namespace Lumenbox::mcpstdio {

// The bridge sends each JSON-RPC message as an event "message" whose data lines hold the JSON.
// Lines end in LF, CRLF or CR, in any chunking; the data lines of one event are joined with "\n";
// an event is complete at its blank line. Comments, ids, retry hints and events of other types
// are skipped, as an EventSource would.
class EventStreamReader {
public:
    // The data of each "message" event completed by `bytes`.
    std::vector<std::string> feed(std::string_view bytes);

private:
    void takeLine(std::string_view line, std::vector<std::string>& messages);

    std::string line_;       // the line being read
    bool afterCr_ = false;   // the last byte was a CR: a LF right after it ends nothing more
    std::string data_;       // the event's data so far
    bool hasData_ = false;
    std::string eventType_;  // empty means "message"
};

}  // namespace Lumenbox::mcpstdio
