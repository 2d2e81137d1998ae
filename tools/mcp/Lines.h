#pragma once

// The newline-delimited framing of the standard streams. Pure; a LineSplitter belongs to one thread.

#include <string>
#include <string_view>
#include <vector>

namespace Lumenbox::mcpstdio {

// Cuts the bytes read from standard input into lines, whatever the chunks: a line ends at "\n",
// a "\r" before it is dropped, and lines of white space only are skipped (a client may send a
// blank line between messages). What follows the last "\n" waits for the next chunk.
class LineSplitter {
public:
    std::vector<std::string> feed(std::string_view chunk);

private:
    std::string partial_;
};

// A JSON text on one line. Inside valid JSON a line break can only be white space between tokens
// (strings carry "\n" escaped), so dropping CR and LF keeps the text's meaning byte for byte.
std::string asOneLine(std::string_view json);

}  // namespace Lumenbox::mcpstdio
