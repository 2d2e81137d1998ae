#pragma once

// The plug-in's helpers over the host's plug-in SDK. The SDK's C++ members already turn a failed
// host call into std::bad_alloc (out of memory) or std::exception (anything else); these add what
// the SDK leaves to its callers: an owning pointer the host left empty, an operation that answered
// a non-zero errcode, and UTF-8 in and out.

#include <stdexcept>
#include <string>
#include <string_view>

#include "FMWrapper/FMXCalcEngine.h"
#include "FMWrapper/FMXData.h"
#include "FMWrapper/FMXExtern.h"
#include "FMWrapper/FMXText.h"
#include "FMWrapper/FMXTypes.h"

namespace Lumenbox {

// A host operation that answered a non-zero errcode (it refused, rather than failed).
class HostCallError : public std::runtime_error {
public:
    HostCallError(std::string_view function, fmx::errcode code);
    fmx::errcode code() const { return code_; }

private:
    fmx::errcode code_;
};

// A new host text holding `utf8` (up to its first NUL byte, as the host reads it).
fmx::TextUniquePtr makeText(const std::string& utf8);
// A new, empty host data value.
fmx::DataUniquePtr makeData();
// The system's locale, as the host's calculations use it.
fmx::LocaleUniquePtr makeLocale();
// A four-character code such as a plug-in id. REQUIRES: chars.size() == 4.
fmx::QuadCharUniquePtr makeQuadChar(std::string_view chars);
// Sets `data` to `text` as a plain text value in `locale`; HostCallError when the host refuses.
void setDataAsText(fmx::Data& data, const fmx::Text& text, const fmx::Locale& locale);

// The host text as UTF-8, cut at its first NUL character.
std::string textToString(const fmx::Text& text);

// The host's start-script callback, copied from the extern-call structure at Init (the host may
// reuse the structure for other purposes later); null before Init and after Shutdown. Safe from
// any thread.
void setHostStartScript(FMX_StartScriptCall startScript);
FMX_StartScriptCall hostStartScript();

}  // namespace Lumenbox
