#include "plugin/HostInterface.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace Lumenbox {

namespace {

std::atomic<FMX_StartScriptCall> g_hostStartScript{nullptr};

// The SDK's owning pointers allocate in their constructors; a host that reports no error yet
// returns nothing has run out of memory all the same.
template <typename Owner, typename... Args>
Owner allocated(Args... args) {
    Owner owner(args...);
    if (!owner) throw std::bad_alloc();
    return owner;
}

}  // namespace

HostCallError::HostCallError(std::string_view function, fmx::errcode code)
    : std::runtime_error(std::string(function) + " failed with host error " + std::to_string(code)), code_(code) {}

fmx::TextUniquePtr makeText(const std::string& utf8) {
    auto text = allocated<fmx::TextUniquePtr>();
    text->Assign(utf8.c_str(), fmx::Text::kEncoding_UTF8);
    return text;
}

fmx::DataUniquePtr makeData() {
    return allocated<fmx::DataUniquePtr>();
}

fmx::LocaleUniquePtr makeLocale() {
    return allocated<fmx::LocaleUniquePtr>(fmx::Locale::kType_System);
}

fmx::QuadCharUniquePtr makeQuadChar(std::string_view chars) {
    return allocated<fmx::QuadCharUniquePtr>(chars[0], chars[1], chars[2], chars[3]);
}

void setDataAsText(fmx::Data& data, const fmx::Text& text, const fmx::Locale& locale) {
    const fmx::errcode status = data.SetAsText(text, locale, fmx::Data::kDTText);
    if (status != 0) throw HostCallError("FM_Data_SetAsText", status);
}

std::string textToString(const fmx::Text& text) {
    const fmx::uint32 size = text.GetSize();
    // A 16-bit unit takes at most 3 bytes of UTF-8 and a surrogate pair 4, so 4 bytes a unit and
    // a terminating NUL always suffice.
    const std::uint64_t bufferSize = 4 * static_cast<std::uint64_t>(size) + 1;
    if (bufferSize > std::numeric_limits<fmx::uint32>::max()) throw std::bad_alloc();
    std::vector<char> buffer(static_cast<std::size_t>(bufferSize), '\0');
    text.GetBytes(buffer.data(), static_cast<fmx::uint32>(bufferSize), 0, size, fmx::Text::kEncoding_UTF8);
    return std::string(buffer.data());
}

void setHostStartScript(FMX_StartScriptCall startScript) {
    g_hostStartScript = startScript;
}

FMX_StartScriptCall hostStartScript() {
    return g_hostStartScript.load();
}

}  // namespace Lumenbox
