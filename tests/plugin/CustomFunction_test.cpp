#include "plugin/CustomFunction.h"

#include <gtest/gtest.h>

#include "auth/SessionStore.h"
#include "plugin/PluginHarness.h"
#include "webviewer/ConnectorKeys.h"

namespace Lumenbox::testing {
namespace {

using fmx::standin::CalculationContext;
using fmx::standin::HostCall;

class CustomFunctionTest : public ::testing::Test {
protected:
    CustomFunctionTest() { registerCustomFunctions(store_, keys_); }
    ~CustomFunctionTest() override {
        fmx::standin::clearFaults();
        if (!fmx::standin::registrations().empty()) unregisterCustomFunctions();
        EXPECT_EQ(fmx::standin::liveObjects(), objectsBefore_) << "a host object was not released";
    }
    // `function`(arguments) as a calculation in `context`; status -1 when it is not registered.
    static fmx::standin::Evaluation evaluate(const char* function, const CalculationContext& context, const std::vector<std::string>& arguments = {}) {
        return fmx::standin::evaluate(function, context, arguments).value_or(fmx::standin::Evaluation{-1, ""});
    }

    PluginEnvironment environment_;
    std::size_t objectsBefore_ = fmx::standin::liveObjects();
    SessionStore store_;
    ConnectorKeys keys_;
};

// What calculations in FileMaker files are written against: the names, ids, arguments and flags.
TEST_F(CustomFunctionTest, AreRegisteredAsTheTokenFunctionAndTheConnectorUrlFunction) {
    std::vector<std::tuple<std::string, int, std::string, std::string, int, int, fmx::uint32>> seen;
    for (const auto& r : fmx::standin::registrations()) seen.emplace_back(r.pluginId, r.functionId, r.name, r.prototype, r.minArguments, r.maxArguments, r.flags);
    EXPECT_EQ(seen, (decltype(seen){{"LMBX", 4, "Lumenbox_RegisterPersistentToken", "Lumenbox_RegisterPersistentToken( token )", 1, 1, 0xFFFF7E},
                                    {"LMBX", 5, "Lumenbox_ConnectorURL", "Lumenbox_ConnectorURL", 0, 0, 0xFFFF7E}}));
}

// An empty token, a file the host cannot tell or a failing host register nothing and answer "OK";
// a result the host cannot take is reported to it, after the token is registered.
TEST_F(CustomFunctionTest, TokenIsRegisteredForTheEvaluatingFileAsTheHostNamesItAndEachFileOnce) {
    const std::tuple<CalculationContext, std::string, std::optional<HostCall>> cases[] = {
        {{" Ärzte.fmp12", 0}, "tok-ärzte-0123456789", {}}, {{"Invoices", 0}, "shared-token-0123", {}},
        {{"Invoices", 0}, "shared-token-0123", {}},        {{"Orders", 0}, "shared-token-0123", {}},
        {{"Invoices", 0}, "", {}},                         {{"Invoices", 100}, "unknown-file-1", {}},
        {{"Invoices", 0}, "failing-host-1", HostCall::EvaluateGetFunction},
        {{"Invoices", 0}, "set-fails-1", HostCall::DataSetAsText},
    };
    for (const auto& [context, token, failing] : cases) {
        if (failing) fmx::standin::failCalls(*failing, 1);
        const auto evaluation = evaluate("Lumenbox_RegisterPersistentToken", context, {token});
        const bool unset = failing == HostCall::DataSetAsText;
        EXPECT_EQ(std::pair(evaluation.status != 0, evaluation.result), std::pair(unset, std::string(unset ? "" : "OK"))) << token;
        fmx::standin::clearFaults();
    }
    std::map<std::string, std::vector<std::string>> tokens;
    for (const auto& token : store_.listSharedTokens()) tokens[token.tokenPrefix] = token.files;
    EXPECT_EQ(tokens, (decltype(tokens){{"shared-t", {"Invoices", "Orders"}}, {"tok-ärz", {" Ärzte.fmp12"}}, {"set-f", {"Invoices"}}}));
}

// A calculation the host set up before the functions went away, or before their registration
// failed, reaches neither the store nor the keys.
TEST_F(CustomFunctionTest, LateEvaluationAfterUnregistrationOrAFailedRegistrationDoesNothing) {
    const auto registered = fmx::standin::registrations();
    unregisterCustomFunctions();
    for (const bool failedAgain : {false, true}) {
        EXPECT_TRUE(fmx::standin::registrations().empty());
        EXPECT_EQ(fmx::standin::invoke(registered[0], {"Invoices", 0}, {"late-token"}).result, "OK");
        EXPECT_EQ(fmx::standin::invoke(registered[1], {"Orders", 0}, {}).result, "");
        EXPECT_TRUE(store_.listSharedTokens().empty() && !keys_.matches("Orders", "")) << failedAgain;
        fmx::standin::failCalls(HostCall::RegisterExternalFunction, fmx::ErrorCode::kUnknown);
        if (!failedAgain) EXPECT_THROW(registerCustomFunctions(store_, keys_), std::exception);
    }
}

// The key is the file's (by its normalised name), stable, and no other file's; a file the host
// cannot tell gives no URL.
TEST_F(CustomFunctionTest, ConnectorUrlNamesTheCallingFileAndCarriesTheKeyTheBridgeChecks) {
    CalculationContext context{" Sales & Co/Ä?", 0};
    const auto url = evaluate("Lumenbox_ConnectorURL", context).result;
    const std::string prefix = "http://127.0.0.1:1365/webviewer?fileName=%20Sales%20%26%20Co%2F%C3%84%3F&key=";
    ASSERT_EQ(url.substr(0, prefix.size()), prefix);
    const std::string key = url.substr(prefix.size()), other = evaluate("Lumenbox_ConnectorURL", {"Invoices", 0}).result;
    EXPECT_EQ(std::pair(key.size(), key.find_first_not_of("0123456789abcdef")), std::pair(std::size_t{64}, std::string::npos));
    EXPECT_EQ(std::tuple(keys_.matches("Sales & Co/Ä?", key), keys_.matches("Invoices", key), keys_.matches("Invoices", other.substr(other.find("&key=") + 5)),
                         evaluate("Lumenbox_ConnectorURL", context).result == url), std::tuple(true, false, true, true));
    context.getFunctionError = 100;
    EXPECT_EQ(evaluate("Lumenbox_ConnectorURL", context).result, "");
}

}  // namespace
}  // namespace Lumenbox::testing
