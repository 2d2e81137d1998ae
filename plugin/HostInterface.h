#pragma once

// The plug-in's layer over the host's plug-in interface: every FM_* call goes through callHost,
// which turns the host's error code into an exception, and host objects are created through the
// make* helpers, which hand them out already owned.

#include <atomic>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "fmx/HostSdk.h"

namespace Lumenbox {

// The structure of the host's latest call to the entry point; null before the first. The entry
// point stores it on the host's main thread, the script bridge reads it from any thread.
extern std::atomic<FMX_ExternCallPtr> gFMX_ExternCallPtr;

// A host call that reported a failure other than running out of memory.
class HostCallError : public std::runtime_error {
public:
    HostCallError(std::string_view function, fmx::int32 code);
    fmx::int32 code() const { return code_; }

private:
    fmx::int32 code_;
};

// Throws std::bad_alloc when the host ran out of memory (code 1), HostCallError for any other
// non-zero code; does nothing for 0. `function` names the call in the error's message.
void throwIfHostFailed(std::string_view function, const fmx::ErrorCode& error);

// Calls the host function `fn` with `args` and the trailing error out-parameter, and throws as
// throwIfHostFailed does. Returns what `fn` returns.
template <typename Fn, typename... Args>
auto callHost(std::string_view function, Fn fn, Args&&... args) {
    fmx::ErrorCode error;
    if constexpr (std::is_void_v<std::invoke_result_t<Fn, Args..., fmx::ErrorCode&>>) {
        fn(std::forward<Args>(args)..., error);
        throwIfHostFailed(function, error);
    } else {
        auto result = fn(std::forward<Args>(args)..., error);
        throwIfHostFailed(function, error);
        return result;
    }
}

// A new host text holding `utf8` (up to its first NUL byte, as the host reads it).
fmx::TextUniquePtr makeText(const std::string& utf8);
// A new, empty host data value.
fmx::DataUniquePtr makeData();
// The host's default locale.
fmx::LocaleUniquePtr makeLocale();
// A four-character code such as a plug-in id. REQUIRES: chars.size() == 4.
fmx::QuadCharUniquePtr makeQuadChar(std::string_view chars);
// Sets `data` to `text` as a plain text value in `locale`.
void setDataAsText(fmx::Data& data, const fmx::Text& text, const fmx::Locale& locale);

// The host text as UTF-8, cut at its first NUL character.
std::string textToString(const fmx::Text& text);

}  // namespace Lumenbox
