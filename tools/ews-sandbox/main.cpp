// ews-sandbox: command line.
//   serve  --data DIR [--port N] [--version 14|15] [--pretty] [--faults FILE] ...
//   user add --data DIR --mailbox ADDR (--password-env NAME | --password PW) [--delegate-admin]
//   role add --data DIR --org ORG --role ROLE --access-key KEY --secret SECRET --mailboxes A,B
//   seed --data DIR --mailbox ADDR (--demo | --eml-dir DIR --folder PATH)
//   dump --data DIR --mailbox ADDR --out DIR
#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <iostream>

#include "accounts.hpp"
#include "mailbox_tools.hpp"
#include "sandbox_config.hpp"
#include "server.hpp"

namespace {

using sandbox::SandboxConfig;

CLI::App *add_serve(CLI::App &app, SandboxConfig &config) {
    CLI::App *serve = app.add_subcommand("serve", "run the HTTPS server on 127.0.0.1");
    serve->add_option("--data", config.data_dir, "data folder")->required();
    serve->add_option("--port", config.port, "port (0 picks a free one)")->check(CLI::Range(0, 65535));
    serve->add_option("--version", config.major_version, "Exchange major version answered")
        ->check(CLI::IsMember({14, 15}));
    serve->add_flag("--pretty", config.pretty, "indent answers like Microsoft's examples");
    serve->add_option("--faults", config.faults_file, "JSON file of injected faults")
        ->check(CLI::ExistingFile);
    serve->add_option("--token-lifetime", config.token_lifetime_seconds,
                      "seconds an impersonation token lives")->check(CLI::Range(1, 86400 * 30));
    serve->add_option("--schema", config.schema_dir, "folder of soap-envelope.xsd")
        ->check(CLI::ExistingDirectory);
    serve->add_option("--max-request-bytes", config.max_request_bytes,
                      "larger request bodies get HTTP 413");
    serve->add_option("--max-message-bytes", config.max_message_bytes,
                      "larger messages get ErrorMessageSizeExceeded");
    serve->add_option("--max-page-entries", config.max_page_entries,
                      "FindItem/FindFolder page cap")->check(CLI::PositiveNumber);
    serve->add_option("--clock-skew", config.clock_skew_seconds,
                      "SigV4 date allowance in seconds")->check(CLI::NonNegativeNumber);
    serve->add_option("--threads", config.worker_threads, "connections served at once")
        ->check(CLI::Range(1, 256));
    serve->add_flag("--mime-rewrite", config.mime_rewrite,
                    "GetItem serves MIME rebuilt as Exchange does, not the stored bytes");
    serve->add_option("--latency", config.latency_ms,
                      "hold every answer back this many milliseconds, as a remote server")
        ->check(CLI::Range(0, 60000));
    return serve;
}

int add_user(const std::string &data, const std::string &mailbox, const std::string &password,
             bool delegate_admin) {
    auto accounts = sandbox::AccountStore::open(data);
    const bool added = accounts->add_user(mailbox, password, delegate_admin);
    std::cout << (added ? "added user " : "updated user ") << mailbox
              << (delegate_admin ? " (delegate administrator)" : "") << "\n";
    return 0;
}

// The password named by --password-env; a missing or empty variable is an
// error, never an empty password.
bool password_from_env(const std::string &name, std::string &password) {
    const char *value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (!value || !*value) {
        std::cerr << "ews-sandbox: user add needs --password-env naming a set, non-empty "
                     "environment variable (or --password)\n";
        return false;
    }
    password = value;
    return true;
}

int add_role(const std::string &data, const sandbox::ImpersonationRole &role) {
    if (!sandbox::valid_organization_id(role.organization_id)) {
        std::cerr << "ews-sandbox: --org must be m- followed by 32 lower-case hex digits\n";
        return 2;
    }
    if (!sandbox::valid_role_id(role.role_id)) {
        std::cerr << "ews-sandbox: --role must be 1 to 64 of A-Z a-z 0-9 _ -\n";
        return 2;
    }
    auto accounts = sandbox::AccountStore::open(data);
    const bool added = accounts->add_role(role);
    std::cout << (added ? "added role " : "updated role ") << role.role_id << " of "
              << role.organization_id << " for " << role.mailboxes.size() << " mailbox(es)\n";
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"ews-sandbox: a strict local EWS server with a fake WorkMail API"};
    app.require_subcommand(1);
    SandboxConfig config;
    CLI::App *serve = add_serve(app, config);

    std::string data, mailbox, password, password_env;
    bool delegate_admin = false;
    CLI::App *user = app.add_subcommand("user", "mailbox users")->require_subcommand(1);
    CLI::App *user_add = user->add_subcommand("add", "add a user or change its password");
    user_add->add_option("--data", data, "data folder")->required();
    user_add->add_option("--mailbox", mailbox, "mailbox address")->required();
    auto *password_opt = user_add->add_option(
        "--password", password,
        "password; other local users can read it in the process list, prefer --password-env");
    auto *password_env_opt = user_add->add_option(
        "--password-env", password_env, "name of the environment variable holding the password");
    password_opt->excludes(password_env_opt);
    user_add->add_flag("--delegate-admin", delegate_admin, "may open other mailboxes");

    sandbox::ImpersonationRole role;
    CLI::App *role_cmd = app.add_subcommand("role", "WorkMail impersonation roles")->require_subcommand(1);
    CLI::App *role_add = role_cmd->add_subcommand("add", "add or replace an impersonation role");
    role_add->add_option("--data", data, "data folder")->required();
    role_add->add_option("--org", role.organization_id, "organization id (m-...)")->required();
    role_add->add_option("--role", role.role_id, "impersonation role id")->required();
    role_add->add_option("--access-key", role.access_key, "AWS access key id")->required();
    role_add->add_option("--secret", role.secret, "AWS secret access key")->required();
    role_add->add_option("--mailboxes", role.mailboxes, "mailboxes the role may open")
        ->required()->delimiter(',');

    std::string eml_dir, folder, out;
    bool demo = false;
    CLI::App *seed = app.add_subcommand("seed", "fill a mailbox");
    seed->add_option("--data", data, "data folder")->required();
    seed->add_option("--mailbox", mailbox, "mailbox address")->required();
    auto *demo_flag = seed->add_flag("--demo", demo, "the demo content");
    auto *eml_opt = seed->add_option("--eml-dir", eml_dir, "folder of .eml files")
                        ->check(CLI::ExistingDirectory);
    auto *folder_opt = seed->add_option("--folder", folder, "target folder path, '/' between levels");
    demo_flag->excludes(eml_opt)->excludes(folder_opt);
    eml_opt->needs(folder_opt);
    folder_opt->needs(eml_opt);

    CLI::App *dump = app.add_subcommand("dump", "write a mailbox out as files");
    dump->add_option("--data", data, "data folder")->required();
    dump->add_option("--mailbox", mailbox, "mailbox address")->required();
    dump->add_option("--out", out, "output folder")->required();

    CLI11_PARSE(app, argc, argv);
    // Everything the sandbox writes (stores, keys, dumps) is for its owner
    // only; the stores and keys also set their modes themselves.
    ::umask(077);
    try {
        if (serve->parsed())
            return sandbox::serve(config);
        if (user_add->parsed()) {
            if (password_opt->count() == 0 && !password_from_env(password_env, password))
                return 2;
            return add_user(data, mailbox, password, delegate_admin);
        }
        if (role_add->parsed())
            return add_role(data, role);
        if (seed->parsed()) {
            if (!demo && eml_dir.empty()) {
                std::cerr << "ews-sandbox: seed needs --demo or --eml-dir with --folder\n";
                return 2;
            }
            return demo ? sandbox::seed_demo(data, mailbox)
                        : sandbox::seed_eml_dir(data, mailbox, eml_dir, folder);
        }
        if (dump->parsed())
            return sandbox::dump_mailbox(data, mailbox, out);
    } catch (const std::exception &e) {
        std::cerr << "ews-sandbox: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
