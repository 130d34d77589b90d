// auth_options.hpp - from the auth options of one side of a job to what
// the connector is given: the Logon arguments and the logon switch string.
//
// Three ways to get into a mailbox:
//   own password      --password-env VAR | --password-file FILE | a prompt
//   delegate admin    --delegate ADDR --delegate-password-env VAR
//                     (or --delegate-password-file FILE, or a prompt)
//                     -> "/AUTHAMZD user|~scrambled" (target: /AUTHAMZD2)
//   impersonation     --role ROLE --org ORG --access-key-env VAR --secret-env VAR
//                     -> "/AUTHAMZI role|org|key|secret" (target: /AUTHAMZI2)
// The switch string goes to libqvcom in memory (qvcom_set_switches), never
// onto a command line; the form written to the log hides every secret.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "secret_input.hpp"

namespace qvmigrate {

enum class Side { Source, Target };

struct AuthOptions {
    std::string password_env = {}, password_file = {};
    std::string delegate = {}, delegate_password_env = {}, delegate_password_file = {};
    std::string role = {}, org = {}, access_key_env = {}, secret_env = {};
    std::string api_endpoint = {};   // /AMZAPI
    std::string extra_switches = {}; // --switches, appended as given
};

// Options that apply to both sides of a job.
struct TransportOptions {
    std::string ca_file; // /CAFILE
    bool insecure = false; // /SSLNOVERIFY
};

struct Connection {
    std::string server; // host name or full EWS URL
    std::string user;   // the mailbox
    AuthOptions auth;
};

// What the options resolve to once the secrets are read.
struct Credentials {
    Secret password; // Logon argument 2; empty with delegate or role
    std::string delegate;
    Secret delegate_password;
    std::string role, org, access_key;
    Secret access_secret;
};

// A mistake in the options (exit status 2).
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads the secrets the options name.  `who` labels prompts and errors
// ("source", "target", or "" for a one-sided job).  Throws UsageError.
Credentials resolve_credentials(const Connection &connection, SecretInput &input,
                                const std::string &who);

class SwitchString {
  public:
    void add(const std::string &token) { add_secret(Secret(token), token); }
    // `token` goes to the connector, `shown` into the log.
    void add_secret(Secret token, const std::string &shown);
    // Appended as given; its secrets are hidden in the logged form.
    void add_raw(const std::string &switches);

    // What libqvcom is given; wiped when it goes.
    Secret plugin_switches() const;
    // The same as a plain string, which nothing wipes: for inspection.
    std::string for_plugin() const { return plugin_switches().reveal(); }
    std::string for_log() const;

  private:
    std::vector<Secret> plugin_;
    std::vector<std::string> log_;
};

SwitchString build_switch_string(const Credentials &credentials, const AuthOptions &auth,
                                 Side side, const TransportOptions &transport);

// Splits a switch string as libqvcom does: ";", blanks, tabs and line ends
// separate; double quotes group.
std::vector<std::string> split_switches(const std::string &switches);

// A switch string with the values of password-bearing switches hidden.
std::string hide_switch_secrets(const std::string &switches);

inline constexpr const char *kHiddenSecret = "****";

} // namespace qvmigrate
