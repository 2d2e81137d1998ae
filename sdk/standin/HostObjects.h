#pragma once

// The stand-in host's objects and the bookkeeping shared by its source files.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "fmx/HostSdk.h"
#include "fmx/StandInHost.h"

namespace fmx {

class Text {
public:
    std::u16string units;
};

class Locale {
public:
    int32 type = 0;
};

class QuadChar {
public:
    std::array<char, 4> chars{};
};

// A value of a calculation; this host only knows text values.
class Data {
public:
    Text text;
    int32 localeType = 0;
    int32 type = 0;
};

class DataVect {
public:
    std::vector<Data> items;
};

class ExprEnv {
public:
    standin::CalculationContext context;
};

}  // namespace fmx

namespace fmx::standin::detail {

// True when calls of `call` are switched to fail; then `error` holds the code to report.
bool shouldFail(HostCall call, ErrorCode& error);

// Counting of objects handed out by the FM_* constructors.
void objectCreated();
void objectDeleted();

// UTF-8 to UTF-16 and back. Malformed input becomes U+FFFD, so that no input is refused.
std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

}  // namespace fmx::standin::detail
