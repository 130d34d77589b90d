// auth_options.cpp - resolving credentials and building the switch string.
#include "auth_options.hpp"

#include <algorithm>

#include <openssl/crypto.h>

#include "qv/qvcom.h"

namespace qvmigrate {

namespace {

// The connector restores at most 1023 bytes of a scrambled value.
constexpr size_t kMaxScrambledSecret = 1023;

std::string prefixed(const std::string &who, const std::string &text) {
    return who.empty() ? text : who + " " + text;
}

Secret read_secret(SecretInput &input, const std::string &env, const std::string &file,
                   const std::string &label, const std::string &options_hint) {
    if (!env.empty() && !file.empty())
        throw UsageError(label + ": give the environment variable or the file, not both");
    if (!env.empty()) {
        auto secret = input.from_env(env);
        if (!secret)
            throw UsageError(label + ": environment variable " + env + " is not set");
        if (secret->empty())
            throw UsageError(label + ": environment variable " + env + " is empty");
        return std::move(*secret);
    }
    if (!file.empty()) {
        std::string error;
        auto secret = input.from_file(file, error);
        if (!secret)
            throw UsageError(label + ": " + error);
        if (secret->empty())
            throw UsageError(label + ": " + file + " holds no password on its first line");
        return std::move(*secret);
    }
    if (!input.can_prompt())
        throw UsageError(label + ": none given and no terminal to ask on; use " + options_hint);
    auto secret = input.prompt(label);
    if (!secret || secret->empty())
        throw UsageError(label + ": nothing entered");
    return std::move(*secret);
}

void refuse_bar(const std::string &value, const std::string &what) {
    if (value.find('|') != std::string::npos)
        throw UsageError(what + " must not contain \"|\"");
}

std::string quoted_token(const std::string &value) {
    if (value.find('"') != std::string::npos)
        throw UsageError("a switch value must not contain a double quote: " + value);
    if (value.empty() || value.find_first_of("; \t\r\n") != std::string::npos)
        return "\"" + value + "\"";
    return value;
}

// The scrambled form is as good as the password to anyone who has the
// library: it is kept and wiped like the password itself.
Secret scrambled(const Secret &secret) {
    if (secret.reveal().size() > kMaxScrambledSecret)
        throw UsageError("a delegate password is longer than " +
                         std::to_string(kMaxScrambledSecret) + " bytes");
    std::vector<char> out(2 + 2 * secret.reveal().size(), '\0');
    const bool done = qvcom_scramble(secret.reveal().c_str(), out.data(), out.size()) != 0;
    Secret result = done ? Secret::join({std::string_view(out.data(), out.size() - 1)}) : Secret();
    OPENSSL_cleanse(out.data(), out.size());
    if (!done)
        throw UsageError("a password cannot be scrambled");
    return result;
}

// quoted_token() for "shown_part" followed by a secret.
Secret quoted_secret_token(const std::string &shown_part, const Secret &secret) {
    const std::string_view value = secret.reveal();
    if (shown_part.find('"') != std::string::npos || value.find('"') != std::string_view::npos)
        throw UsageError("a switch value must not contain a double quote");
    constexpr std::string_view kSeparators = "; \t\r\n";
    const bool quote = (shown_part.empty() && value.empty()) ||
                       shown_part.find_first_of(kSeparators) != std::string::npos ||
                       value.find_first_of(kSeparators) != std::string_view::npos;
    const std::string_view mark = quote ? "\"" : "";
    return Secret::join({mark, shown_part, value, mark});
}

bool takes_delegate_value(const std::string &name) {
    return name == "/AUTHAMZD" || name == "/AUTHAMZD2";
}

bool takes_impersonation_value(const std::string &name) {
    return name == "/AUTHAMZI" || name == "/AUTHAMZI2";
}

// "user|password" or "user/password" -> "user|****".
std::string hide_delegate_value(const std::string &value) {
    size_t split = value.find('|');
    if (split == std::string::npos)
        split = value.find('/');
    return split == std::string::npos ? kHiddenSecret
                                      : value.substr(0, split + 1) + kHiddenSecret;
}

// "role|org|key|secret" -> "role|org|key|****".
std::string hide_impersonation_value(const std::string &value) {
    const size_t last = value.rfind('|');
    return last == std::string::npos ? kHiddenSecret : value.substr(0, last + 1) + kHiddenSecret;
}

} // namespace

Credentials resolve_credentials(const Connection &connection, SecretInput &input,
                                const std::string &who) {
    const AuthOptions &auth = connection.auth;
    Credentials credentials;
    const bool delegate = !auth.delegate.empty();
    const bool role = !auth.role.empty() || !auth.org.empty() || !auth.access_key_env.empty() ||
                      !auth.secret_env.empty();
    if (connection.user.empty())
        throw UsageError(prefixed(who, "mailbox address (--user) is missing"));
    if (delegate && role)
        throw UsageError(prefixed(who, "choose a delegate (--delegate) or a role (--role), not both"));
    if (role) {
        if (auth.role.empty() || auth.org.empty() || auth.access_key_env.empty() ||
            auth.secret_env.empty())
            throw UsageError(prefixed(who, "a role needs --role, --org, --access-key-env and --secret-env"));
        credentials.role = auth.role;
        credentials.org = auth.org;
        auto key = input.from_env(auth.access_key_env);
        if (!key || key->empty())
            throw UsageError(prefixed(who, "access key: environment variable " + auth.access_key_env + " is not set"));
        credentials.access_key = key->reveal();
        credentials.access_secret = read_secret(input, auth.secret_env, "",
                                                prefixed(who, "secret access key"), "--secret-env");
        refuse_bar(credentials.role, "--role");
        refuse_bar(credentials.org, "--org");
        refuse_bar(credentials.access_key, "the access key");
    }
    if (delegate) {
        refuse_bar(auth.delegate, "--delegate");
        credentials.delegate = auth.delegate;
        credentials.delegate_password = read_secret(
            input, auth.delegate_password_env, auth.delegate_password_file,
            prefixed(who, "password of delegate " + auth.delegate),
            "--delegate-password-env or --delegate-password-file");
    }
    const bool own_password_given = !auth.password_env.empty() || !auth.password_file.empty();
    if ((!delegate && !role) || own_password_given)
        credentials.password = read_secret(input, auth.password_env, auth.password_file,
                                           prefixed(who, "password of " + connection.user),
                                           "--password-env or --password-file");
    return credentials;
}

void SwitchString::add_secret(Secret token, const std::string &shown) {
    plugin_.push_back(std::move(token));
    log_.push_back(shown);
}

void SwitchString::add_raw(const std::string &switches) {
    if (switches.empty())
        return;
    plugin_.push_back(Secret(switches));
    log_.push_back(hide_switch_secrets(switches));
}

Secret SwitchString::plugin_switches() const {
    size_t total = 0;
    for (const Secret &token : plugin_)
        total += token.size() + 1;
    Secret joined = Secret::with_capacity(total);
    for (const Secret &token : plugin_) {
        if (!joined.empty())
            joined.push_back(';');
        joined.append(token.reveal());
    }
    return joined;
}

std::string SwitchString::for_log() const {
    std::string joined;
    for (const std::string &token : log_)
        joined += (joined.empty() ? "" : ";") + token;
    return joined;
}

SwitchString build_switch_string(const Credentials &credentials, const AuthOptions &auth,
                                 Side side, const TransportOptions &transport) {
    const bool target = side == Side::Target;
    SwitchString switches;
    if (!credentials.delegate.empty()) {
        switches.add(target ? "/AUTHAMZD2" : "/AUTHAMZD");
        const std::string user = credentials.delegate + "|";
        switches.add_secret(quoted_secret_token(user, scrambled(credentials.delegate_password)),
                            quoted_token(user + kHiddenSecret));
    }
    if (!credentials.role.empty()) {
        // The connector takes this secret as it stands (it does not
        // unscramble it): it exists only in memory and in hidden form.
        switches.add(target ? "/AUTHAMZI2" : "/AUTHAMZI");
        const std::string shown_part =
            credentials.role + "|" + credentials.org + "|" + credentials.access_key + "|";
        if (credentials.access_secret.reveal().find('|') != std::string::npos)
            throw UsageError("the secret access key must not contain \"|\"");
        switches.add_secret(quoted_secret_token(shown_part, credentials.access_secret),
                            quoted_token(shown_part + kHiddenSecret));
    }
    if (!auth.api_endpoint.empty()) {
        switches.add("/AMZAPI");
        switches.add(quoted_token(auth.api_endpoint));
    }
    if (!transport.ca_file.empty()) {
        switches.add("/CAFILE");
        switches.add(quoted_token(transport.ca_file));
    }
    if (transport.insecure)
        switches.add("/SSLNOVERIFY");
    switches.add_raw(auth.extra_switches);
    return switches;
}

std::vector<std::string> split_switches(const std::string &switches) {
    std::vector<std::string> tokens;
    std::string current;
    bool in_token = false, quoted = false;
    for (char c : switches) {
        if (c == '"') {
            quoted = !quoted;
            in_token = true;
        } else if (!quoted && (c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (in_token)
                tokens.push_back(current);
            current.clear();
            in_token = false;
        } else {
            current += c;
            in_token = true;
        }
    }
    if (in_token)
        tokens.push_back(current);
    return tokens;
}

std::string hide_switch_secrets(const std::string &switches) {
    const std::vector<std::string> tokens = split_switches(switches);
    std::string shown;
    for (size_t i = 0; i < tokens.size(); ++i) {
        std::string token = tokens[i];
        if (i > 0) {
            const std::string &name = tokens[i - 1];
            if (takes_delegate_value(name))
                token = hide_delegate_value(token);
            else if (takes_impersonation_value(name))
                token = hide_impersonation_value(token);
            else if (name == "/PROXY")
                token = kHiddenSecret; // may hold a proxy password
        }
        shown += (shown.empty() ? "" : ";") + quoted_token(token);
    }
    return shown;
}

} // namespace qvmigrate
