// The stand-in host's calculation engine: the table of plug-in functions, their environments and
// argument lists, and the evaluation of a registered function for the development host and tests.

#include <map>
#include <mutex>
#include <utility>

#include "HostObjects.h"

using fmx::standin::HostCall;
using fmx::standin::detail::DataObject;
using fmx::standin::detail::DataVectObject;
using fmx::standin::detail::ExprEnvObject;
using fmx::standin::detail::guarded;
using fmx::standin::detail::handOut;
using fmx::standin::detail::objectOf;
using fmx::standin::detail::QuadCharObject;
using fmx::standin::detail::shouldFail;
using fmx::standin::detail::TextObject;

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
    return detail::utf16ToUtf8(detail::objectOf<detail::TextObject>(static_cast<const void*>(&text)).units);
}

std::string idOf(const QuadChar& pluginId) {
    const auto& chars = detail::objectOf<detail::QuadCharObject>(static_cast<const void*>(&pluginId)).chars;
    return std::string(chars.begin(), chars.end());
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
    detail::ExprEnvObject environment{context};
    detail::DataVectObject argumentList;
    for (const auto& argument : arguments) {
        detail::DataObject value;
        value.text.units = detail::utf8ToUtf16(argument);
        value.type = Data::kDTText;
        argumentList.items.push_back(std::move(value));
    }
    detail::DataObject result;
    // Called without the table's lock: the function may register or unregister functions itself.
    const errcode status = registration.callback(registration.functionId, *detail::handOut<const ExprEnv>(&environment),
                                                 *detail::handOut<const DataVect>(&argumentList),
                                                 *detail::handOut<Data>(&result));
    return Evaluation{status, detail::utf16ToUtf8(result.text.units)};
}

}  // namespace fmx::standin

fmx::errcode FM_ExprEnv_RegisterExternalFunctionEx(const fmx::QuadChar& pluginId, short functionId,
                                                   const fmx::Text& functionName, const fmx::Text& functionPrototype,
                                                   const fmx::Text& functionDescription, short minArgs, short maxArgs,
                                                   fmx::uint32 compatibleOnFlags, fmx::ExtPluginType funcPtr,
                                                   fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::RegisterExternalFunction, _x)) return 0;
    if (!funcPtr) {
        _x.m_code = fmx::_fmxcpt::kUnknown;
        return 0;
    }
    return guarded<fmx::errcode>(_x, 0, [&] {
        fmx::standin::Registration registration;
        registration.pluginId = fmx::standin::idOf(pluginId);
        registration.functionId = functionId;
        registration.name = fmx::standin::textOf(functionName);
        registration.prototype = fmx::standin::textOf(functionPrototype);
        registration.description = fmx::standin::textOf(functionDescription);
        registration.minArguments = minArgs;
        registration.maxArguments = maxArgs;
        registration.flags = compatibleOnFlags;
        registration.callback = funcPtr;

        auto& t = fmx::standin::table();
        std::lock_guard lock(t.mutex);
        auto key = std::make_pair(registration.pluginId, functionId);
        if (t.functions.contains(key)) return fmx::standin::kIdTaken;
        t.functions.emplace(std::move(key), std::move(registration));
        return fmx::errcode{0};
    });
}

fmx::errcode FM_ExprEnv_UnRegisterExternalFunction(const fmx::QuadChar& pluginId, short functionId,
                                                   fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::UnRegisterExternalFunction, _x)) return 0;
    return guarded<fmx::errcode>(_x, 0, [&] {
        auto& t = fmx::standin::table();
        std::lock_guard lock(t.mutex);
        return t.functions.erase(std::make_pair(fmx::standin::idOf(pluginId), functionId)) ? fmx::errcode{0}
                                                                                             : fmx::standin::kNotRegistered;
    });
}

fmx::errcode FM_ExprEnv_EvaluateGetFunction(const void* _self, short functionValue, fmx::Data& result,
                                            fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::EvaluateGetFunction, _x)) return 0;
    const auto& context = objectOf<ExprEnvObject>(_self).context;
    if (context.getFunctionError != 0) return context.getFunctionError;
    // Of the host's many Get functions this host answers the one the plug-in asks for.
    if (functionValue != fmx::ExprEnv::kGet_FileName) return 1;
    return guarded<fmx::errcode>(_x, 0, [&] {
        auto& data = objectOf<DataObject>(static_cast<void*>(&result));
        data.text.units = fmx::standin::detail::utf8ToUtf16(context.fileName);
        data.type = fmx::Data::kDTText;
        return fmx::errcode{0};
    });
}

fmx::uint32 FM_DataVect_Size(const void* _self, fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::DataVectSize, _x)) return 0;
    return static_cast<fmx::uint32>(objectOf<DataVectObject>(_self).items.size());
}

// Out of range is not documented for the real host; this one reports an error and no object.
const fmx::Data* FM_DataVect_At(const void* _self, fmx::uint32 position, fmx::_fmxcpt& _x) throw () {
    const auto& items = objectOf<DataVectObject>(_self).items;
    if (position >= items.size()) {
        _x.m_code = fmx::_fmxcpt::kUnknown;
        return nullptr;
    }
    return handOut<const fmx::Data>(&items[position]);
}

const fmx::Text* FM_DataVect_AtAsText(const void* _self, fmx::uint32 position, fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::DataVectAtAsText, _x)) return nullptr;
    const auto* data = FM_DataVect_At(_self, position, _x);
    return data ? handOut<const fmx::Text>(&objectOf<DataObject>(static_cast<const void*>(data)).text) : nullptr;
}

// Argument lists and environments belong to the host's calculation; a plug-in never releases one.
void FM_DataVect_Delete(void*, fmx::_fmxcpt&) throw () {}
void FM_ExprEnv_Delete(void*, fmx::_fmxcpt&) throw () {}
