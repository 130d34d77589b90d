// Auth options: which secrets are read from where, the switch string each
// side gets, scrambling, and that no secret reaches the logged form.
#include <gtest/gtest.h>

#include <map>

#include "auth_options.hpp"
#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace qvmigrate {
namespace {

class FakeSecrets : public SecretInput {
  public:
    std::map<std::string, std::string> env;
    bool terminal = false;
    std::vector<std::string> prompts;

    std::optional<Secret> from_env(const std::string &variable) override {
        const auto it = env.find(variable);
        return it == env.end() ? std::nullopt : std::optional<Secret>(Secret(it->second));
    }
    // No file is readable here (SecretFiles reads real ones).
    std::optional<Secret> from_file(const std::string &path, std::string &error) override {
        error = "cannot read " + path;
        return std::nullopt;
    }
    bool can_prompt() override { return terminal; }
    std::optional<Secret> prompt(const std::string &label) override {
        prompts.push_back(label);
        return Secret("typed-secret");
    }
};

using qvtest::descramble;

class AuthOptionsTest : public ::testing::Test {
  protected:
    FakeSecrets secrets;
    void SetUp() override {
        secrets.env = {{"PW", "s3cret;pw"}, {"DPW", "Adm1n pass|/~"}, {"KEY", "AKIAEXAMPLE"},
                       {"SECRET", "wJalr/XUtnFEMI+K7MDENG"}, {"SET", "value"}, {"EMPTY", ""}};
    }
    Credentials resolve(const AuthOptions &auth, const std::string &who = "") {
        return resolve_credentials({"ews.example.com", "alice@example.com", auth}, secrets, who);
    }
    SwitchString switches(const AuthOptions &auth, Side side = Side::Source, const TransportOptions &transport = {}) {
        return build_switch_string(resolve(auth), auth, side, transport);
    }
};

TEST_F(AuthOptionsTest, OwnPasswordFromEnvironmentGoesToLogonOnly) {
    EXPECT_EQ(resolve({.password_env = "PW"}).password.reveal(), "s3cret;pw");
    EXPECT_EQ(switches({.password_env = "PW"}).for_plugin(), "");
    // A quote in a value could not be carried.
    EXPECT_THROW(switches({.password_env = "PW"}, Side::Source, {"/tmp/a\"b.pem", false}), UsageError);
}

TEST_F(AuthOptionsTest, DelegatePasswordIsScrambledForTheRightSide) {
    const AuthOptions auth{.delegate = "admin@example.com", .delegate_password_env = "DPW"};
    EXPECT_TRUE(resolve(auth).password.empty()); // the delegate logs on
    for (const auto &[side, name] : {std::pair{Side::Source, "/AUTHAMZD"}, {Side::Target, "/AUTHAMZD2"}}) {
        const SwitchString built = switches(auth, side);
        const auto tokens = split_switches(built.for_plugin());
        ASSERT_EQ(tokens.size(), 2u);
        EXPECT_EQ(tokens[0], name);
        ASSERT_TRUE(tokens[1].starts_with("admin@example.com|~")) << tokens[1];
        EXPECT_EQ(descramble(tokens[1].substr(tokens[1].find('|') + 1)), "Adm1n pass|/~");
        EXPECT_EQ(built.for_log(), std::string(name) + ";admin@example.com|****");
    }
}

TEST_F(AuthOptionsTest, ImpersonationSecretStaysOutOfTheLog) {
    const SwitchString built = switches({.role = "migration-role", .org = "m-0123456789abcdef0123456789abcdef",
                                         .access_key_env = "KEY", .secret_env = "SECRET",
                                         .api_endpoint = "https://workmail.us-east-1.amazonaws.com"},
                                        Side::Target, {"/etc/ssl/my ca.pem", true});
    EXPECT_EQ(split_switches(built.for_plugin()),
              (std::vector<std::string>{"/AUTHAMZI2",
                                        "migration-role|m-0123456789abcdef0123456789abcdef|AKIAEXAMPLE|wJalr/XUtnFEMI+K7MDENG",
                                        "/AMZAPI", "https://workmail.us-east-1.amazonaws.com",
                                        "/CAFILE", "/etc/ssl/my ca.pem", "/SSLNOVERIFY"}));
    EXPECT_EQ(built.for_log().find("wJalr"), std::string::npos) << built.for_log();
    EXPECT_NE(built.for_log().find("AKIAEXAMPLE|****"), std::string::npos);
}

TEST_F(AuthOptionsTest, ExtraSwitchesAreHiddenWhereTheyCarrySecrets) {
    const SwitchString built = switches(
        {.password_env = "PW", .extra_switches = "/DEBUG;/AUTHAMZD boss/plainpw /PROXY \"host=p;password=pp\" /D251 5"});
    EXPECT_NE(built.for_plugin().find("plainpw"), std::string::npos);
    EXPECT_EQ(built.for_log(), "/DEBUG;/AUTHAMZD;boss/****;/PROXY;****;/D251;5");
}

TEST_F(AuthOptionsTest, PromptsOnlyWithATerminal) {
    EXPECT_THROW(resolve({}), UsageError);
    secrets.terminal = true;
    EXPECT_EQ(resolve({}, "source").password.reveal(), "typed-secret");
    EXPECT_EQ(secrets.prompts, std::vector<std::string>{"source password of alice@example.com"});
}

TEST_F(AuthOptionsTest, RefusedWithAClearReason) {
    secrets.terminal = true;
    const struct {
        AuthOptions auth;
        const char *message;
    } cases[] = {
        {{.password_env = "UNSET"}, "UNSET is not set"},
        {{.password_env = "EMPTY"}, "EMPTY is empty"},
        {{.password_env = "SET", .password_file = "/x"}, "not both"},
        {{.password_file = "/nonexistent"}, "cannot read /nonexistent"},
        {{.delegate = "d@x", .role = "r"}, "not both"},
        {{.role = "r", .org = "o"}, "--access-key-env"},
        {{.delegate = "a|b", .delegate_password_env = "SET"}, "\"|\""},
    };
    for (const auto &c : cases) {
        try {
            resolve(c.auth);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const UsageError &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

} // namespace
} // namespace qvmigrate
