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
    std::map<std::string, std::string> env, files;
    bool terminal = false;
    std::vector<std::string> prompts;
    std::string typed = "typed-secret";

    std::optional<Secret> from_env(const std::string &variable) override {
        const auto it = env.find(variable);
        if (it == env.end())
            return std::nullopt;
        return Secret(it->second);
    }
    std::optional<Secret> from_file(const std::string &path, std::string &error) override {
        const auto it = files.find(path);
        if (it == files.end()) {
            error = "cannot read " + path;
            return std::nullopt;
        }
        return Secret(it->second);
    }
    bool can_prompt() override { return terminal; }
    std::optional<Secret> prompt(const std::string &label) override {
        prompts.push_back(label);
        return Secret(typed);
    }
};

using qvtest::descramble;

Connection connection(AuthOptions auth) {
    return {"ews.example.com", "alice@example.com", std::move(auth)};
}

TEST(AuthOptions, OwnPasswordFromEnvironmentGoesToLogonOnly) {
    FakeSecrets secrets;
    secrets.env["PW"] = "s3cret;pw";
    AuthOptions auth;
    auth.password_env = "PW";
    const Credentials credentials = resolve_credentials(connection(auth), secrets, "");
    EXPECT_EQ(credentials.password.reveal(), "s3cret;pw");
    const SwitchString switches = build_switch_string(credentials, auth, Side::Source, {});
    EXPECT_EQ(switches.for_plugin(), "");
    EXPECT_EQ(switches.for_plugin().find("s3cret"), std::string::npos);
}

TEST(AuthOptions, DelegatePasswordIsScrambledForTheRightSide) {
    FakeSecrets secrets;
    secrets.env["DPW"] = "Adm1n pass|/~";
    AuthOptions auth;
    auth.delegate = "admin@example.com";
    auth.delegate_password_env = "DPW";
    const Credentials credentials = resolve_credentials(connection(auth), secrets, "");
    EXPECT_TRUE(credentials.password.empty()); // the delegate logs on

    for (const auto &[side, name] : {std::pair{Side::Source, "/AUTHAMZD"}, {Side::Target, "/AUTHAMZD2"}}) {
        const SwitchString switches = build_switch_string(credentials, auth, side, {});
        const auto tokens = split_switches(switches.for_plugin());
        ASSERT_EQ(tokens.size(), 2u);
        EXPECT_EQ(tokens[0], name);
        ASSERT_TRUE(tokens[1].starts_with("admin@example.com|~")) << tokens[1];
        EXPECT_EQ(descramble(tokens[1].substr(tokens[1].find('|') + 1)), "Adm1n pass|/~");
        EXPECT_EQ(switches.for_log(), std::string(name) + ";admin@example.com|****");
    }
}

TEST(AuthOptions, ImpersonationSecretStaysOutOfTheLog) {
    FakeSecrets secrets;
    secrets.env["KEY"] = "AKIAEXAMPLE";
    secrets.env["SECRET"] = "wJalr/XUtnFEMI+K7MDENG";
    AuthOptions auth;
    auth.role = "migration-role";
    auth.org = "m-0123456789abcdef0123456789abcdef";
    auth.access_key_env = "KEY";
    auth.secret_env = "SECRET";
    auth.api_endpoint = "https://workmail.us-east-1.amazonaws.com";
    TransportOptions transport{"/etc/ssl/my ca.pem", true};
    const Credentials credentials = resolve_credentials(connection(auth), secrets, "");
    const SwitchString switches = build_switch_string(credentials, auth, Side::Target, transport);
    EXPECT_EQ(split_switches(switches.for_plugin()),
              (std::vector<std::string>{"/AUTHAMZI2",
                                        "migration-role|m-0123456789abcdef0123456789abcdef|AKIAEXAMPLE|wJalr/XUtnFEMI+K7MDENG",
                                        "/AMZAPI", "https://workmail.us-east-1.amazonaws.com",
                                        "/CAFILE", "/etc/ssl/my ca.pem", "/SSLNOVERIFY"}));
    EXPECT_EQ(switches.for_log().find("wJalr"), std::string::npos) << switches.for_log();
    EXPECT_NE(switches.for_log().find("AKIAEXAMPLE|****"), std::string::npos);
}

TEST(AuthOptions, ExtraSwitchesAreHiddenWhereTheyCarrySecrets) {
    FakeSecrets secrets;
    secrets.env["PW"] = "x";
    AuthOptions auth;
    auth.password_env = "PW";
    auth.extra_switches = "/DEBUG;/AUTHAMZD boss/plainpw /PROXY \"host=p;password=pp\" /D251 5";
    const Credentials credentials = resolve_credentials(connection(auth), secrets, "");
    const SwitchString switches = build_switch_string(credentials, auth, Side::Source, {});
    EXPECT_NE(switches.for_plugin().find("plainpw"), std::string::npos);
    const std::string logged = switches.for_log();
    EXPECT_EQ(logged, "/DEBUG;/AUTHAMZD;boss/****;/PROXY;****;/D251;5");
}

TEST(AuthOptions, PromptsOnlyWithATerminal) {
    FakeSecrets secrets;
    EXPECT_THROW(resolve_credentials(connection({}), secrets, ""), UsageError);
    secrets.terminal = true;
    const Credentials credentials = resolve_credentials(connection({}), secrets, "source");
    EXPECT_EQ(credentials.password.reveal(), "typed-secret");
    ASSERT_EQ(secrets.prompts.size(), 1u);
    EXPECT_EQ(secrets.prompts[0], "source password of alice@example.com");
}

struct BadAuth {
    const char *name;
    AuthOptions auth;
    const char *message;
};

class AuthOptionsRefused : public ::testing::TestWithParam<BadAuth> {};

TEST_P(AuthOptionsRefused, WithAClearReason) {
    FakeSecrets secrets;
    secrets.env = {{"SET", "value"}, {"EMPTY", ""}};
    secrets.terminal = true;
    try {
        resolve_credentials(connection(GetParam().auth), secrets, "");
        FAIL() << "accepted";
    } catch (const UsageError &e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

AuthOptions with(std::function<void(AuthOptions &)> change) {
    AuthOptions auth;
    change(auth);
    return auth;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AuthOptionsRefused,
    ::testing::Values(
        BadAuth{"UnsetVariable", with([](auto &a) { a.password_env = "UNSET"; }), "UNSET is not set"},
        BadAuth{"EmptyVariable", with([](auto &a) { a.password_env = "EMPTY"; }), "EMPTY is empty"},
        BadAuth{"EnvAndFile", with([](auto &a) { a.password_env = "SET"; a.password_file = "/x"; }), "not both"},
        BadAuth{"MissingFile", with([](auto &a) { a.password_file = "/nonexistent"; }), "cannot read /nonexistent"},
        BadAuth{"DelegateAndRole", with([](auto &a) { a.delegate = "d@x"; a.role = "r"; }), "not both"},
        BadAuth{"HalfARole", with([](auto &a) { a.role = "r"; a.org = "o"; }), "--access-key-env"},
        BadAuth{"BarInDelegate", with([](auto &a) { a.delegate = "a|b"; a.delegate_password_env = "SET"; }), "\"|\""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(AuthOptions, QuoteInAValueIsRefused) {
    FakeSecrets secrets;
    secrets.env["PW"] = "x";
    AuthOptions auth;
    auth.password_env = "PW";
    const Credentials credentials = resolve_credentials(connection(auth), secrets, "");
    EXPECT_THROW(build_switch_string(credentials, auth, Side::Source, {"/tmp/a\"b.pem", false}),
                 UsageError);
}

} // namespace
} // namespace qvmigrate
