#include "plugin/HostInterface.h"

#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace Lumenbox {

std::atomic<FMX_ExternCallPtr> gFMX_ExternCallPtr{nullptr};

HostCallError::HostCallError(std::string_view function, fmx::int32 code)
    : std::runtime_error(std::string(function) + " failed with host error " + std::to_string(code)), code_(code) {}

void throwIfHostFailed(std::string_view function, const fmx::ErrorCode& error) {
    if (error.code == fmx::ErrorCode::kNoError) return;
    if (error.code == fmx::ErrorCode::kOutOfMemory) throw std::bad_alloc();
    throw HostCallError(function, error.code);
}

namespace {
// A constructor that reports no error yet returns nothing has run out of memory all the same.
template <typename Owner>
Owner owned(typename Owner::pointer object) {
    if (!object) throw std::bad_alloc();
    return Owner(object);
}
}  // namespace

fmx::TextUniquePtr makeText(const std::string& utf8) {
    auto text = owned<fmx::TextUniquePtr>(callHost("FM_Text_Constructor1", FM_Text_Constructor1));
    callHost("FM_Text_Assign", FM_Text_Assign, *text, utf8.c_str(), fmx::kEncodingUtf8);
    return text;
}

fmx::DataUniquePtr makeData() {
    return owned<fmx::DataUniquePtr>(callHost("FM_Data_Constructor1", FM_Data_Constructor1));
}

fmx::LocaleUniquePtr makeLocale() {
    return owned<fmx::LocaleUniquePtr>(
        callHost("FM_Locale_Constructor1", FM_Locale_Constructor1, fmx::kLocaleDefault));
}

fmx::QuadCharUniquePtr makeQuadChar(std::string_view chars) {
    return owned<fmx::QuadCharUniquePtr>(
        callHost("FM_QuadChar_Constructor2", FM_QuadChar_Constructor2, chars[0], chars[1], chars[2], chars[3]));
}

void setDataAsText(fmx::Data& data, const fmx::Text& text, const fmx::Locale& locale) {
    callHost("FM_Data_SetAsText", FM_Data_SetAsText, data, text, locale, fmx::kDataTypeText);
}

std::string textToString(const fmx::Text& text) {
    const fmx::uint32 size = callHost("FM_Text_GetSize", FM_Text_GetSize, text);
    // A 16-bit unit takes at most 3 bytes of UTF-8 and a surrogate pair 4, so 4 bytes a unit and
    // a terminating NUL always suffice.
    const std::uint64_t bufferSize = 4 * static_cast<std::uint64_t>(size) + 1;
    if (bufferSize > std::numeric_limits<fmx::uint32>::max()) throw std::bad_alloc();
    std::vector<char> buffer(static_cast<std::size_t>(bufferSize), '\0');
    callHost("FM_Text_GetBytes", FM_Text_GetBytes, text, buffer.data(), static_cast<fmx::uint32>(bufferSize), 0u,
             size, fmx::kEncodingUtf8);
    return std::string(buffer.data());
}

}  // namespace Lumenbox
