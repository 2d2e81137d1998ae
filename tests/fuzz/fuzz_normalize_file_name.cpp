// normalizeFileName on arbitrary bytes: never fails, and its result is a piece of its input
// with no white space at either end.
#include <cstdlib>

#include "base/FileName.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string name = Lumenbox::normalizeFileName(raw);
    constexpr std::string_view kWhitespace = " \t\n\v\f\r";
    if (!name.empty() && (raw.find(name) == std::string::npos || kWhitespace.find(name.front()) != std::string_view::npos ||
                          kWhitespace.find(name.back()) != std::string_view::npos)) std::abort();
    return 0;
}
