#include "plugin/CustomFunction.h"

#include <string>

#include "auth/SessionStore.h"
#include "plugin/HostInterface.h"
#include "plugin/PluginStrings.h"

namespace Lumenbox {

namespace {

constexpr std::string_view kPrototype = "Lumenbox_RegisterPersistentToken( token )";
constexpr std::string_view kDescription = "Registers a persistent authorization token for the calling file";
constexpr fmx::int16 kArguments = 1;
constexpr fmx::uint32 kFunctionFlags = 0xFFFF7E;
// What the callback returns when it cannot even set its result.
constexpr fmx::errcode kResultNotSet = 1;

// The store tokens go to while the function is registered; null otherwise. Main thread only.
SessionStore* g_sessions = nullptr;

// Registers the calculation's token for its file; nothing when anything is missing.
void registerToken(const fmx::ExprEnv& environment, const fmx::DataVect& arguments) {
    if (!g_sessions) return;
    if (callHost("FM_DataVect_Size", FM_DataVect_Size, arguments) == 0) return;

    auto fileNameData = makeData();
    const fmx::errcode status =
        callHost("FM_ExprEnv_EvaluateGetFunction", FM_ExprEnv_EvaluateGetFunction, environment, fmx::kGetFileName,
                 *fileNameData);
    if (status != 0) return;
    const fmx::Text* fileNameText = callHost("FM_Data_GetAsText", FM_Data_GetAsText, *fileNameData);
    const fmx::Text* tokenText = callHost("FM_DataVect_AtAsText", FM_DataVect_AtAsText, arguments, 0u);
    if (!fileNameText || !tokenText) return;
    g_sessions->registerSharedToken(textToString(*tokenText), textToString(*fileNameText));
}

}  // namespace

void registerCustomFunctions(SessionStore& store) {
    g_sessions = &store;
    try {
        auto pluginId = makeQuadChar(kPluginId);
        auto name = makeText(std::string(kPersistentTokenFunctionName));
        auto prototype = makeText(std::string(kPrototype));
        auto description = makeText(std::string(kDescription));
        const fmx::errcode status =
            callHost("FM_ExprEnv_RegisterExternalFunctionEx", FM_ExprEnv_RegisterExternalFunctionEx, *pluginId,
                     kPersistentTokenFunctionId, *name, *prototype, *description, kArguments, kArguments,
                     kFunctionFlags, &registerPersistentTokenFunc);
        // A refused function is as absent as one that raised an error.
        if (status != 0) throw HostCallError("FM_ExprEnv_RegisterExternalFunctionEx", status);
    } catch (...) {
        g_sessions = nullptr;
        throw;
    }
}

void unregisterCustomFunctions() {
    struct Forget {
        ~Forget() { g_sessions = nullptr; }
    } forgetOnExit;
    auto pluginId = makeQuadChar(kPluginId);
    // Not registered (any more) is as good as removed.
    callHost("FM_ExprEnv_UnRegisterExternalFunction", FM_ExprEnv_UnRegisterExternalFunction, *pluginId,
             kPersistentTokenFunctionId);
}

fmx::errcode registerPersistentTokenFunc(fmx::int16, const fmx::ExprEnv& environment, const fmx::DataVect& arguments,
                                         fmx::Data& result) {
    // The host is C: nothing may escape into it. A failure while registering only means that
    // nothing was registered, which the function never reports.
    try {
        registerToken(environment, arguments);
    } catch (...) {
    }
    try {
        auto ok = makeText("OK");
        auto locale = makeLocale();
        setDataAsText(result, *ok, *locale);
        return 0;
    } catch (...) {
        return kResultNotSet;
    }
}

}  // namespace Lumenbox
