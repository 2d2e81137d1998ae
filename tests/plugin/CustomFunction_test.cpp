#include "plugin/CustomFunction.h"

#include <gtest/gtest.h>

#include "auth/SessionStore.h"
#include "fmx/StandInHost.h"
#include "plugin/PluginHarness.h"
#include "webviewer/ConnectorKeys.h"

namespace Lumenbox::testing {
namespace {

using fmx::standin::HostCall;

class CustomFunctionTest : public ::testing::Test {
protected:
    CustomFunctionTest() {
        objectsBefore_ = fmx::standin::liveObjects();
        registerCustomFunctions(store_, keys_);
    }

    ~CustomFunctionTest() override {
        fmx::standin::clearFaults();
        if (!fmx::standin::registrations().empty()) unregisterCustomFunctions();
        EXPECT_EQ(fmx::standin::liveObjects(), objectsBefore_);
    }

    // Evaluates Lumenbox_RegisterPersistentToken(token) as a calculation in `fileName`.
    fmx::standin::Evaluation evaluateIn(const std::string& fileName, const std::string& token) {
        fmx::standin::CalculationContext context;
        context.fileName = fileName;
        auto evaluation = fmx::standin::evaluate("Lumenbox_RegisterPersistentToken", context, {token});
        EXPECT_TRUE(evaluation) << "the function is not registered";
        return evaluation.value_or(fmx::standin::Evaluation{-1, ""});
    }

    std::vector<std::string> filesOfToken(const std::string& prefix) {
        for (const auto& token : store_.listSharedTokens()) {
            if (token.tokenPrefix == prefix) return token.files;
        }
        return {};
    }

    PluginEnvironment environment_;
    SessionStore store_;
    ConnectorKeys keys_;
    std::size_t objectsBefore_ = 0;
};

TEST_F(CustomFunctionTest, AreRegisteredWithTheHostAsTheTokenFunctionAndTheConnectorUrlFunction) {
    const auto registrations = fmx::standin::registrations();
    ASSERT_EQ(registrations.size(), 2u);
    const auto& url = registrations[1];
    EXPECT_EQ(url.pluginId, "LMBX");
    EXPECT_EQ(url.functionId, 5);
    EXPECT_EQ(url.name, "Lumenbox_ConnectorURL");
    EXPECT_EQ(url.prototype, "Lumenbox_ConnectorURL");
    EXPECT_EQ(url.minArguments, 0);
    EXPECT_EQ(url.maxArguments, 0);
    const auto& function = registrations[0];
    EXPECT_EQ(function.pluginId, "LMBX");
    EXPECT_EQ(function.functionId, 4);
    EXPECT_EQ(function.name, "Lumenbox_RegisterPersistentToken");
    EXPECT_EQ(function.prototype, "Lumenbox_RegisterPersistentToken( token )");
    EXPECT_EQ(function.description, "Registers a persistent authorization token for the calling file");
    EXPECT_EQ(function.minArguments, 1);
    EXPECT_EQ(function.maxArguments, 1);
    EXPECT_EQ(function.flags, 0xFFFF7Eu);
}

TEST_F(CustomFunctionTest, RegistersTheTokenForTheEvaluatingFileAsTheHostNamesItAndEachFileOnce) {
    // The file name is taken exactly as the host gives it: not trimmed, not normalised.
    const auto evaluation = evaluateIn(" Ärzte.fmp12", "tok-ärzte-0123456789");
    EXPECT_EQ(evaluation.status, 0);
    EXPECT_EQ(evaluation.result, "OK");
    EXPECT_TRUE(store_.isAuthorized("tok-ärzte-0123456789", " Ärzte.fmp12", false));
    EXPECT_FALSE(store_.isAuthorized("tok-ärzte-0123456789", "Ärzte.fmp12", false));

    // Repeated and shared tokens grant each file once.
    evaluateIn("Invoices", "shared-token-0123");
    evaluateIn("Invoices", "shared-token-0123");
    evaluateIn("Orders", "shared-token-0123");

    ASSERT_EQ(store_.listSharedTokens().size(), 2u);
    EXPECT_EQ(filesOfToken("shared-t"), (std::vector<std::string>{"Invoices", "Orders"}));
}

TEST_F(CustomFunctionTest, EmptyTokenOrAFileNameTheHostCannotTellRegistersNothingButStillAnswersOk) {
    EXPECT_EQ(evaluateIn("Invoices", "").result, "OK");

    fmx::standin::CalculationContext context;
    context.fileName = "Invoices";
    context.getFunctionError = 100;  // the host answers the Get function with an error
    auto evaluation = fmx::standin::evaluate("Lumenbox_RegisterPersistentToken", context, {"token-1"});
    ASSERT_TRUE(evaluation);
    EXPECT_EQ(evaluation->status, 0);
    EXPECT_EQ(evaluation->result, "OK");

    // A host call that raises an error is no different, and nothing escapes into the host.
    fmx::standin::failCalls(HostCall::EvaluateGetFunction, fmx::ErrorCode::kOutOfMemory);
    evaluation = fmx::standin::evaluate("Lumenbox_RegisterPersistentToken", {"Invoices", 0}, {"token-2"});
    ASSERT_TRUE(evaluation);
    EXPECT_EQ(evaluation->result, "OK");

    EXPECT_TRUE(store_.listSharedTokens().empty());
}

TEST_F(CustomFunctionTest, ResultThatCannotBeSetIsReportedToTheHost) {
    fmx::standin::failCalls(HostCall::DataSetAsText, fmx::ErrorCode::kUnknown);
    const auto evaluation = evaluateIn("Invoices", "token-1");
    EXPECT_NE(evaluation.status, 0);
    EXPECT_EQ(evaluation.result, "");
    // The token itself was registered before the result failed.
    EXPECT_TRUE(store_.isAuthorized("token-1", "Invoices", false));
}

TEST_F(CustomFunctionTest, LateEvaluationAfterUnregistrationLeavesTheStoreAlone) {
    const auto registration = fmx::standin::registrations().at(0);
    unregisterCustomFunctions();
    EXPECT_TRUE(fmx::standin::registrations().empty());

    // A calculation the host set up before the function went away.
    const auto evaluation = fmx::standin::invoke(registration, {"Invoices", 0}, {"late-token"});
    EXPECT_EQ(evaluation.status, 0);
    EXPECT_EQ(evaluation.result, "OK");
    EXPECT_TRUE(store_.listSharedTokens().empty());
}

TEST_F(CustomFunctionTest, FailedRegistrationLeavesNothingBehind) {
    const auto registration = fmx::standin::registrations().at(0);
    const auto urlRegistration = fmx::standin::registrations().at(1);
    unregisterCustomFunctions();

    fmx::standin::failCalls(HostCall::RegisterExternalFunction, fmx::ErrorCode::kUnknown);
    EXPECT_THROW(registerCustomFunctions(store_, keys_), std::exception);
    fmx::standin::clearFaults();
    EXPECT_TRUE(fmx::standin::registrations().empty());
    // The store and keys were forgotten with the failure: a stale calculation cannot reach them.
    fmx::standin::invoke(registration, {"Invoices", 0}, {"token-1"});
    EXPECT_TRUE(store_.listSharedTokens().empty());
    EXPECT_EQ(fmx::standin::invoke(urlRegistration, {"Invoices", 0}, {}).result, "");
}

TEST_F(CustomFunctionTest, ConnectorUrlNamesTheCallingFileAndCarriesTheKeyTheBridgeChecks) {
    fmx::standin::CalculationContext context;
    context.fileName = " Sales & Co/Ä?";
    const auto first = fmx::standin::evaluate("Lumenbox_ConnectorURL", context, {});
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 0);
    const std::string prefix = "http://127.0.0.1:1365/webviewer?fileName=%20Sales%20%26%20Co%2F%C3%84%3F&key=";
    ASSERT_EQ(first->result.substr(0, prefix.size()), prefix);
    const std::string key = first->result.substr(prefix.size());
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(key.size(), 64u);
    // The key is the file's (by its normalised name), stable, and no other file's.
    EXPECT_TRUE(keys_.matches("Sales & Co/Ä?", key));
    EXPECT_EQ(fmx::standin::evaluate("Lumenbox_ConnectorURL", context, {})->result, first->result);
    const auto other = fmx::standin::evaluate("Lumenbox_ConnectorURL", {"Invoices", 0}, {});
    EXPECT_FALSE(keys_.matches("Invoices", key));
    EXPECT_TRUE(keys_.matches("Invoices", other->result.substr(other->result.find("&key=") + 5)));

    // A file name the host cannot tell, or a late call after unregistration, gives no URL.
    context.getFunctionError = 100;
    EXPECT_EQ(fmx::standin::evaluate("Lumenbox_ConnectorURL", context, {})->result, "");
    const auto registration = fmx::standin::registrations().at(1);
    unregisterCustomFunctions();
    EXPECT_EQ(fmx::standin::invoke(registration, {"Orders", 0}, {}).result, "");
    EXPECT_FALSE(keys_.matches("Orders", ""));
}

}  // namespace
}  // namespace Lumenbox::testing
