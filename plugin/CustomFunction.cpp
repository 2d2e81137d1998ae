#include "plugin/CustomFunction.h"

#include <exception>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "auth/SessionStore.h"
#include "plugin/HostInterface.h"
#include "plugin/PluginLifecycle.h"
#include "plugin/PluginStrings.h"
#include "webviewer/ConnectorKeys.h"
#include "base/Version.h"

namespace Lumenbox {

namespace {

constexpr std::string_view kPrototype = "Lumenbox_RegisterPersistentToken( token )";
constexpr std::string_view kDescription = "Registers a persistent authorization token for the calling file";
constexpr fmx::int16 kArguments = 1;
constexpr std::string_view kConnectorUrlPrototype = "Lumenbox_ConnectorURL";
constexpr std::string_view kConnectorUrlDescription =
    "Returns the web viewer URL that connects the calling file to the Lumenbox bridge";
// Listed in every calculation dialog and usable on every kind of host, present and future.
constexpr fmx::uint32 kFunctionFlags = fmx::ExprEnv::kDisplayInAllDialogs | fmx::ExprEnv::kFutureCompatible;
// What the callback returns when it cannot even set its result.
constexpr fmx::errcode kResultNotSet = 1;

// Where tokens go and keys come from while the functions are registered; null otherwise. Set on the
// main thread; evaluations on any thread use them under a shared lock, which they hold only while
// they use them (never across a host call, which may wait for the main thread).
std::shared_mutex g_targetsMutex;
SessionStore* g_sessions = nullptr;          // Guarded by g_targetsMutex
ConnectorKeys* g_connectorKeys = nullptr;    // Guarded by g_targetsMutex

void setTargets(SessionStore* store, ConnectorKeys* keys) {
    std::unique_lock lock(g_targetsMutex);
    g_sessions = store;
    g_connectorKeys = keys;
}

// The name of the file the calculation runs in, as the host gives it; nullopt when it cannot tell.
std::optional<std::string> callingFileName(const fmx::ExprEnv& environment) {
    auto fileNameData = makeData();
    if (environment.EvaluateGetFunction(fmx::ExprEnv::kGet_FileName, *fileNameData) != 0) return std::nullopt;
    return textToString(fileNameData->GetAsText());
}

// Registers the calculation's token for its file; nothing when anything is missing.
void registerToken(const fmx::ExprEnv& environment, const fmx::DataVect& arguments) {
    if (arguments.Size() == 0) return;
    const auto fileName = callingFileName(environment);
    if (!fileName) return;
    const std::string token = textToString(arguments.AtAsText(0));
    std::shared_lock lock(g_targetsMutex);
    if (g_sessions) g_sessions->registerSharedToken(token, *fileName);
}

// The calling file's connector URL; empty when anything is missing.
std::string connectorUrlOf(const fmx::ExprEnv& environment) {
    const auto fileName = callingFileName(environment);
    if (!fileName) return {};
    std::string key;
    {
        std::shared_lock lock(g_targetsMutex);
        if (g_connectorKeys) key = g_connectorKeys->keyFor(*fileName);
    }
    if (key.empty()) return {};
    return connectorUrl(kBridgePort, *fileName, key);
}

fmx::errcode setResultText(fmx::Data& result, const std::string& text) {
    try {
        auto value = makeText(text);
        auto locale = makeLocale();
        setDataAsText(result, *value, *locale);
        return 0;
    } catch (...) {
        return kResultNotSet;
    }
}

void registerFunction(fmx::int16 id, std::string_view name, std::string_view prototype, std::string_view description,
                      fmx::int16 arguments, fmx::ExtPluginType callback) {
    auto pluginId = makeQuadChar(kPluginId);
    auto nameText = makeText(std::string(name));
    auto prototypeText = makeText(std::string(prototype));
    auto descriptionText = makeText(std::string(description));
    const fmx::errcode status = fmx::ExprEnv::RegisterExternalFunctionEx(
        *pluginId, id, *nameText, *prototypeText, *descriptionText, arguments, arguments, kFunctionFlags, callback);
    // A refused function is as absent as one that raised an error.
    if (status != 0) throw HostCallError("FM_ExprEnv_RegisterExternalFunctionEx", status);
}

void unregisterFunction(fmx::int16 id) {
    auto pluginId = makeQuadChar(kPluginId);
    // Not registered (any more) is as good as removed: the errcode is not an error here.
    fmx::ExprEnv::UnRegisterExternalFunction(*pluginId, id);
}

}  // namespace

void registerCustomFunctions(SessionStore& store, ConnectorKeys& keys) {
    setTargets(&store, &keys);
    bool tokenFunctionRegistered = false;
    try {
        registerFunction(kPersistentTokenFunctionId, kPersistentTokenFunctionName, kPrototype, kDescription, kArguments,
                         &registerPersistentTokenFunc);
        tokenFunctionRegistered = true;
        registerFunction(kConnectorUrlFunctionId, kConnectorUrlFunctionName, kConnectorUrlPrototype,
                         kConnectorUrlDescription, 0, &connectorUrlFunc);
    } catch (...) {
        setTargets(nullptr, nullptr);
        if (tokenFunctionRegistered) {
            try {
                unregisterFunction(kPersistentTokenFunctionId);
            } catch (...) {
            }
        }
        throw;
    }
}

void unregisterCustomFunctions() {
    // Waits for evaluations that are using the store or the keys right now.
    setTargets(nullptr, nullptr);
    // Both go, whatever the host says about the first.
    std::exception_ptr firstError;
    for (const fmx::int16 id : {kPersistentTokenFunctionId, kConnectorUrlFunctionId}) {
        try {
            unregisterFunction(id);
        } catch (...) {
            if (!firstError) firstError = std::current_exception();
        }
    }
    if (firstError) std::rethrow_exception(firstError);
}

fmx::errcode registerPersistentTokenFunc(fmx::int16, const fmx::ExprEnv& environment, const fmx::DataVect& arguments,
                                         fmx::Data& result) {
    // The host is C: nothing may escape into it. A failure while registering only means that
    // nothing was registered, which the function never reports.
    try {
        registerToken(environment, arguments);
    } catch (...) {
    }
    return setResultText(result, "OK");
}

fmx::errcode connectorUrlFunc(fmx::int16, const fmx::ExprEnv& environment, const fmx::DataVect&, fmx::Data& result) {
    std::string url;
    try {
        url = connectorUrlOf(environment);
    } catch (...) {
        url.clear();
    }
    return setResultText(result, url);
}

}  // namespace Lumenbox
