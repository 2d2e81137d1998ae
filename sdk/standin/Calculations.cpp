// The stand-in host's calculation engine: the table of plug-in functions, their environments and
// argument lists, and the evaluation of a registered function for the development host and tests.

#include <map>
#include <mutex>
#include <utility>

#include "HostObjects.h"

using fmx::standin::HostCall;
using fmx::standin::detail::shouldFail;

namespace fmx::standin {

namespace {

// A registered function is refused a second registration under the same ids.
constexpr errcode kIdTaken = 1;
constexpr errcode kNotRegistered = 1;

using FunctionKey = std::pair<std::string, int16>;  // plug-in id, function id

struct FunctionTable {
    std::mutex mutex;
    std::map<FunctionKey, Registration> functions;  // Guarded by mutex
};

// Never destroyed: a plug-in unloaded at process exit may still unregister its functions after
// this library's static objects would have gone.
FunctionTable& table() {
    static auto* instance = new FunctionTable;
    return *instance;
}

std::string textOf(const Text& text) {
    return detail::utf16ToUtf8(text.units);
}

}  // namespace

std::vector<Registration> registrations() {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    std::vector<Registration> result;
    for (const auto& [key, registration] : t.functions) result.push_back(registration);
    return result;
}

std::optional<Evaluation> evaluate(std::string_view name, const CalculationContext& context,
                                   const std::vector<std::string>& arguments) {
    std::optional<Registration> found;
    {
        auto& t = table();
        std::lock_guard lock(t.mutex);
        for (const auto& [key, registration] : t.functions) {
            if (registration.name == name) found = registration;
        }
    }
    if (!found) return std::nullopt;
    const auto count = static_cast<long>(arguments.size());
    if (count < found->minArguments || (found->maxArguments >= 0 && count > found->maxArguments)) {
        return std::nullopt;
    }
    return invoke(*found, context, arguments);
}

Evaluation invoke(const Registration& registration, const CalculationContext& context,
                  const std::vector<std::string>& arguments) {
    ExprEnv environment;
    environment.context = context;
    DataVect argumentList;
    for (const auto& argument : arguments) {
        Data value;
        value.text.units = detail::utf8ToUtf16(argument);
        value.type = kDataTypeText;
        argumentList.items.push_back(std::move(value));
    }
    Data result;
    // Called without the table's lock: the function may register or unregister functions itself.
    const errcode status = registration.callback(registration.functionId, environment, argumentList, result);
    return Evaluation{status, textOf(result.text)};
}

}  // namespace fmx::standin

fmx::errcode FM_ExprEnv_RegisterExternalFunctionEx(const fmx::QuadChar& pluginId, fmx::int16 functionId,
                                                   const fmx::Text& name, const fmx::Text& prototype,
                                                   const fmx::Text& description, fmx::int16 minArguments,
                                                   fmx::int16 maxArguments, fmx::uint32 flags,
                                                   fmx::ExtPluginType callback, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::RegisterExternalFunction, error)) return 0;
    if (!callback) {
        error.code = fmx::ErrorCode::kUnknown;
        return 0;
    }
    fmx::standin::Registration registration;
    registration.pluginId.assign(pluginId.chars.begin(), pluginId.chars.end());
    registration.functionId = functionId;
    registration.name = fmx::standin::textOf(name);
    registration.prototype = fmx::standin::textOf(prototype);
    registration.description = fmx::standin::textOf(description);
    registration.minArguments = minArguments;
    registration.maxArguments = maxArguments;
    registration.flags = flags;
    registration.callback = callback;

    auto& t = fmx::standin::table();
    std::lock_guard lock(t.mutex);
    auto key = std::make_pair(registration.pluginId, functionId);
    if (t.functions.contains(key)) return fmx::standin::kIdTaken;
    t.functions.emplace(std::move(key), std::move(registration));
    return 0;
}

fmx::errcode FM_ExprEnv_UnRegisterExternalFunction(const fmx::QuadChar& pluginId, fmx::int16 functionId,
                                                   fmx::ErrorCode& error) {
    if (shouldFail(HostCall::UnRegisterExternalFunction, error)) return 0;
    auto& t = fmx::standin::table();
    std::lock_guard lock(t.mutex);
    const auto erased = t.functions.erase(std::make_pair(std::string(pluginId.chars.begin(), pluginId.chars.end()), functionId));
    return erased ? 0 : fmx::standin::kNotRegistered;
}

fmx::errcode FM_ExprEnv_EvaluateGetFunction(const fmx::ExprEnv& environment, fmx::int16 getFunction,
                                            fmx::Data& result, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::EvaluateGetFunction, error)) return 0;
    if (environment.context.getFunctionError != 0) return environment.context.getFunctionError;
    // Of the host's many Get functions this host answers the one the plug-in asks for.
    if (getFunction != fmx::kGetFileName) return 1;
    result.text.units = fmx::standin::detail::utf8ToUtf16(environment.context.fileName);
    result.type = fmx::kDataTypeText;
    return 0;
}

fmx::uint32 FM_DataVect_Size(const fmx::DataVect& arguments, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::DataVectSize, error)) return 0;
    return static_cast<fmx::uint32>(arguments.items.size());
}

const fmx::Text* FM_DataVect_AtAsText(const fmx::DataVect& arguments, fmx::uint32 position, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::DataVectAtAsText, error)) return nullptr;
    if (position >= arguments.items.size()) {
        error.code = fmx::ErrorCode::kUnknown;
        return nullptr;
    }
    return &arguments.items[position].text;
}
