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
    static fmx::standin::Evaluation evaluate(const char* function, const CalculationContext& context,
                                             const std::vector<std::string>& arguments) {
        return fmx::standin::evaluate(function, context, arguments).value_or(fmx::standin::Evaluation{-1, ""});
    }
    static std::string registerToken(const CalculationContext& context, const std::string& token) {
        return evaluate("Lumenbox_RegisterPersistentToken", context, {token}).result;
    }
    // Each registered token's prefix with its files.
    std::map<std::string, std::vector<std::string>> tokens() const {
        std::map<std::string, std::vector<std::string>> out;
        for (const auto& token : store_.listSharedTokens()) out[token.tokenPrefix] = token.files;
        return out;
    }

    PluginEnvironment environment_;
    std::size_t objectsBefore_ = fmx::standin::liveObjects();
    SessionStore store_;
    ConnectorKeys keys_;
};

// What calculations in FileMaker files are written against: the names, arguments and flags.
TEST_F(CustomFunctionTest, AreRegisteredAsTheTokenFunctionAndTheConnectorUrlFunction) {
    std::vector<std::tuple<std::string, int, std::string, std::string, int, int, fmx::uint32>> seen;
    for (const auto& r : fmx::standin::registrations()) {
        seen.emplace_back(r.pluginId, r.functionId, r.name, r.prototype, r.minArguments, r.maxArguments, r.flags);
    }
    EXPECT_EQ(seen, (decltype(seen){
                        {"LMBX", 4, "Lumenbox_RegisterPersistentToken", "Lumenbox_RegisterPersistentToken( token )", 1, 1, 0xFFFF7E},
                        {"LMBX", 5, "Lumenbox_ConnectorURL", "Lumenbox_ConnectorURL", 0, 0, 0xFFFF7E}}));
    EXPECT_EQ(fmx::standin::registrations()[0].description, "Registers a persistent authorization token for the calling file");
}

// Every evaluation answers "OK"; only a token and a file the host names register anything.
TEST_F(CustomFunctionTest, TokenIsRegisteredForTheEvaluatingFileAsTheHostNamesItAndEachFileOnce) {
    const struct {
        CalculationContext context;
        std::string token;
        std::function<void()> fault;
    } cases[] = {
        {{" Ärzte.fmp12", 0}, "tok-ärzte-0123456789", {}},  // the name exactly as the host gives it
        {{"Invoices", 0}, "shared-token-0123", {}},
        {{"Invoices", 0}, "shared-token-0123", {}},
        {{"Orders", 0}, "shared-token-0123", {}},
        {{"Invoices", 0}, "", {}},
        {{"Invoices", 100}, "unknown-file-1", {}},  // the host cannot tell the file
        {{"Invoices", 0}, "failing-host-1", [] { fmx::standin::failCalls(HostCall::EvaluateGetFunction, 1); }},
    };
    for (const auto& c : cases) {
        if (c.fault) c.fault();
        EXPECT_EQ(registerToken(c.context, c.token), "OK") << c.token;
        fmx::standin::clearFaults();
    }
    EXPECT_EQ(tokens(), (std::map<std::string, std::vector<std::string>>{{"shared-t", {"Invoices", "Orders"}},
                                                                         {"tok-ärz", {" Ärzte.fmp12"}}}));
}

TEST_F(CustomFunctionTest, ResultThatCannotBeSetIsReportedToTheHostAfterTheTokenIsRegistered) {
    fmx::standin::failCalls(HostCall::DataSetAsText, fmx::ErrorCode::kUnknown);
    const auto evaluation = evaluate("Lumenbox_RegisterPersistentToken", {"Invoices", 0}, {"token-1"});
    EXPECT_NE(evaluation.status, 0);
    EXPECT_EQ(evaluation.result, "");
    EXPECT_TRUE(store_.isAuthorized("token-1", "Invoices", false));
}

// A calculation the host set up before the functions went away, or before their registration
// failed, reaches neither the store nor the keys.
TEST_F(CustomFunctionTest, LateEvaluationAfterUnregistrationOrAFailedRegistrationDoesNothing) {
    const auto registered = fmx::standin::registrations();
    for (const bool failAgain : {false, true}) {
        unregisterCustomFunctions();
        if (failAgain) {
            fmx::standin::failCalls(HostCall::RegisterExternalFunction, fmx::ErrorCode::kUnknown);
            EXPECT_THROW(registerCustomFunctions(store_, keys_), std::exception);
            fmx::standin::clearFaults();
        }
        EXPECT_TRUE(fmx::standin::registrations().empty());
        EXPECT_EQ(fmx::standin::invoke(registered[0], {"Invoices", 0}, {"late-token"}).result, "OK");
        EXPECT_EQ(fmx::standin::invoke(registered[1], {"Orders", 0}, {}).result, "");
        EXPECT_TRUE(store_.listSharedTokens().empty());
        EXPECT_FALSE(keys_.matches("Orders", ""));
        if (!failAgain) registerCustomFunctions(store_, keys_);
    }
}

TEST_F(CustomFunctionTest, ConnectorUrlNamesTheCallingFileAndCarriesTheKeyTheBridgeChecks) {
    CalculationContext context{" Sales & Co/Ä?", 0};
    const auto url = evaluate("Lumenbox_ConnectorURL", context, {}).result;
    const std::string prefix = "http://127.0.0.1:1365/webviewer?fileName=%20Sales%20%26%20Co%2F%C3%84%3F&key=";
    ASSERT_EQ(url.substr(0, prefix.size()), prefix);
    const std::string key = url.substr(prefix.size());
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(key.size(), 64u);
    // The key is the file's (by its normalised name), stable, and no other file's.
    EXPECT_TRUE(keys_.matches("Sales & Co/Ä?", key));
    EXPECT_EQ(evaluate("Lumenbox_ConnectorURL", context, {}).result, url);
    const auto other = evaluate("Lumenbox_ConnectorURL", {"Invoices", 0}, {}).result;
    EXPECT_FALSE(keys_.matches("Invoices", key));
    EXPECT_TRUE(keys_.matches("Invoices", other.substr(other.find("&key=") + 5)));
    context.getFunctionError = 100;  // a file name the host cannot tell gives no URL
    EXPECT_EQ(evaluate("Lumenbox_ConnectorURL", context, {}).result, "");
}

}  // namespace
}  // namespace Lumenbox::testing
