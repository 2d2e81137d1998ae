#pragma once

// The host's side of the stand-in SDK, for the development host and the tests: what the real host
// does around a plug-in (evaluating its calculation functions, running the scripts it starts) and
// switches that make host calls fail, in the way a test double of an environment switches faults
// on. Written for this project alone: a real host has none of it, and the plug-in never includes
// this header (cmake/Layers.cmake refuses it in the layers, and the plug-in's targets lack its
// folder).
//
// Everything here is safe to call from any thread.

#include <cstddef>
#include <thread>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FMWrapper/FMXCalcEngine.h"
#include "FMWrapper/FMXExtern.h"

// The stand-in library exports this test-side interface next to the SDK's C entry points.
#define LUMENBOX_STANDIN_API __attribute__((visibility("default")))

namespace fmx::standin {

// A calculation function as the plug-in registered it.
struct Registration {
    std::string pluginId;  // the four characters of the plug-in id
    int16 functionId = 0;
    std::string name;
    std::string prototype;
    std::string description;
    int16 minArguments = 0;
    int16 maxArguments = 0;
    uint32 flags = 0;
    ExtPluginType callback = nullptr;
};

// The registered functions, ordered by plug-in id and function id.
LUMENBOX_STANDIN_API std::vector<Registration> registrations();

// The file a calculation is evaluated in, as the host would answer for it.
struct CalculationContext {
    std::string fileName;
    // Non-zero: the host cannot answer Get functions and returns this from EvaluateGetFunction.
    errcode getFunctionError = 0;
};

struct Evaluation {
    errcode status = 0;   // what the function returned
    std::string result;   // the result data as text
};

// Evaluates the registered function called `name` with text arguments, as a calculation in
// `context` would. Nullopt when no function of that name is registered or the number of arguments
// is outside the registered range (the host would not accept such a calculation).
LUMENBOX_STANDIN_API std::optional<Evaluation> evaluate(std::string_view name, const CalculationContext& context,
                                                         const std::vector<std::string>& arguments);

// Calls the function of `registration` as evaluate does, whether or not it is still registered:
// what a host does that evaluates a calculation it set up before the function went away.
LUMENBOX_STANDIN_API Evaluation invoke(const Registration& registration, const CalculationContext& context,
                                        const std::vector<std::string>& arguments);

// A script start the plug-in asked for.
struct ScriptRequest {
    std::string fileName;
    std::string scriptName;
    uchar control = 0;
    std::string parameter;  // the parameter data as text
    std::thread::id thread;  // the thread the plug-in called cStartScript on
};

// What the host does with a script start; called on the thread that asked. Empty: nothing.
LUMENBOX_STANDIN_API void setScriptHandler(std::function<void(const ScriptRequest&)> handler);

// An extern-call structure as the host fills it before the first message: the current API version,
// unusedID -1 and the start-script callback (which forwards to the script handler) set,
// everything else zero.
LUMENBOX_STANDIN_API FMX_ExternCallStruct makeExternCall();

// Host calls that can be made to fail.
enum class HostCall {
    TextConstructor,
    TextAssign,
    TextGetSize,
    TextGetBytes,
    DataConstructor,
    DataSetAsText,
    DataGetAsText,
    LocaleConstructor,
    QuadCharConstructor,
    RegisterExternalFunction,
    UnRegisterExternalFunction,
    EvaluateGetFunction,
    DataVectSize,
    DataVectAtAsText,
    StartScript,
};

// From now on every call of `call` fails with _fmxcpt code `code` (1 out of memory, 2 any other;
// other codes are reported too, and the SDK's Check() ignores them), does nothing and returns an
// empty value, until clearFaults(). StartScript fails by returning `code` as its errcode without
// running the handler. Delete never fails: the SDK's owning pointers would terminate.
LUMENBOX_STANDIN_API void failCalls(HostCall call, int32 code);
LUMENBOX_STANDIN_API void clearFaults();

// Texts, data, locales and four-character codes created through the FM_* functions and not yet
// deleted: a plug-in that releases what it creates brings this back to where it was.
LUMENBOX_STANDIN_API std::size_t liveObjects();

}  // namespace fmx::standin
