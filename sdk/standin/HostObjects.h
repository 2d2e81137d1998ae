#pragma once

// The stand-in host's objects and the bookkeeping shared by its source files. The SDK's classes
// are opaque: the entry points hand out these objects under the SDK's class pointers and take
// them back through `self`.

#include <array>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

// The SDK's FMX_API marks nothing for export with GCC and Clang, whose SDK library exports its
// entry points by other means; this library is built with hidden visibility, so the entry points
// take the default one from their first declaration here.
#pragma GCC visibility push(default)
#include "FMWrapper/FMXCalcEngine.h"
#include "FMWrapper/FMXData.h"
#include "FMWrapper/FMXText.h"
#include "FMWrapper/FMXTypes.h"
#pragma GCC visibility pop
#include "standin/StandInHost.h"

namespace fmx::standin::detail {

struct TextObject {
    std::u16string units;
};

struct LocaleObject {
    int32 type = 0;
};

struct QuadCharObject {
    std::array<char, 4> chars{};
};

// A value of a calculation; this host only knows text values.
struct DataObject {
    TextObject text;
    LocaleObject locale{Locale::kType_System};
    int32 type = Data::kDTInvalid;
};

struct DataVectObject {
    std::vector<DataObject> items;
};

struct ExprEnvObject {
    CalculationContext context;
};

// The SDK's class pointer of an object of this host, and back.
template <typename Sdk, typename Object>
Sdk* handOut(Object* object) {
    return reinterpret_cast<Sdk*>(object);
}
template <typename Object>
Object& objectOf(void* self) {
    return *static_cast<Object*>(self);
}
template <typename Object>
const Object& objectOf(const void* self) {
    return *static_cast<const Object*>(self);
}

// True when calls of `call` are switched to fail; then `error` holds the code to report.
bool shouldFail(HostCall call, _fmxcpt& error);

// Runs `body`, reporting a failure inside it as the host reports one: nothing crosses the C
// boundary of an entry point.
template <typename Result, typename Body>
Result guarded(_fmxcpt& error, Result failed, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        error.m_code = _fmxcpt::kBadAlloc;
    } catch (...) {
        error.m_code = _fmxcpt::kUnknown;
    }
    return failed;
}

// Counting of objects handed out by the FM_* constructors.
void objectCreated();
void objectDeleted();

// UTF-8 to UTF-16 and back. Malformed input becomes U+FFFD, so that no input is refused.
std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

}  // namespace fmx::standin::detail
