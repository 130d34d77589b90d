// cli.cpp - the command line and its checks.
#include "cli.hpp"

#include <CLI/CLI.hpp>

#include <ostream>

#include "batch_plan.hpp"
#include "folder_list.hpp"
#include "summary.hpp"
#include "text_codec.hpp"

namespace qvmigrate {

namespace {

constexpr qv_filetime kTicksPerDay = 864'000'000'000ULL;

// Options that would put a secret on the command line, where ps shows it:
// accepted only to be refused with a pointer to the safe ones.
struct RefusedSecrets {
    std::string password, delegate_password, secret;
};

void add_auth(CLI::App *app, AuthOptions &auth, RefusedSecrets &refused, const std::string &p) {
    const std::string group = p.empty() ? "Authentication" : "Authentication (" + p.substr(0, p.size() - 1) + ")";
    app->add_option("--" + p + "password-env", auth.password_env, "environment variable holding the mailbox password")->group(group);
    app->add_option("--" + p + "password-file", auth.password_file, "file whose first line is the mailbox password")->group(group);
    app->add_option("--" + p + "delegate", auth.delegate, "delegate administrator address")->group(group);
    app->add_option("--" + p + "delegate-password-env", auth.delegate_password_env, "environment variable holding the delegate's password")->group(group);
    app->add_option("--" + p + "delegate-password-file", auth.delegate_password_file, "file holding the delegate's password")->group(group);
    app->add_option("--" + p + "role", auth.role, "WorkMail impersonation role id")->group(group);
    app->add_option("--" + p + "org", auth.org, "WorkMail organization id")->group(group);
    app->add_option("--" + p + "access-key-env", auth.access_key_env, "environment variable holding the AWS access key id")->group(group);
    app->add_option("--" + p + "secret-env", auth.secret_env, "environment variable holding the AWS secret access key")->group(group);
    app->add_option("--" + p + "api-endpoint", auth.api_endpoint, "WorkMail API endpoint URL")->group(group);
    app->add_option("--" + p + "switches", auth.extra_switches, "further logon switches, as the connector reads them")->group(group);
    app->add_option("--" + p + "password", refused.password)->group("");
    app->add_option("--" + p + "delegate-password", refused.delegate_password)->group("");
    app->add_option("--" + p + "secret", refused.secret)->group("");
}

void add_connection(CLI::App *app, Connection &connection, RefusedSecrets &refused,
                    const std::string &prefix) {
    app->add_option("--" + prefix + "server", connection.server,
                    "EWS host name, or the full EWS URL")->required();
    app->add_option("--" + prefix + "user", connection.user, "mailbox address")->required();
    add_auth(app, connection.auth, refused, prefix);
}

// The batch: both sides' servers and authentication apply to every pair
// of the plan.
CLI::App *add_batch(CLI::App &app, CommandLine &line, RefusedSecrets &from, RefusedSecrets &to) {
    CLI::App *batch = app.add_subcommand("batch", "copy the mailbox pairs of a plan, several at once");
    batch->add_option("--plan", line.plan, "CSV file: header source,target[,folders]")->required()->check(CLI::ExistingFile);
    batch->add_option("--from-server", line.from.server, "source EWS host name, or the full EWS URL")->required();
    add_auth(batch, line.from.auth, from, "from-");
    batch->add_option("--to-server", line.to.server, "target EWS host name, or the full EWS URL")->required();
    add_auth(batch, line.to.auth, to, "to-");
    batch->add_option("--jobs", line.jobs, "mailboxes copied at once, each in a process of its own")->check(CLI::Range(1, 64));
    batch->add_option("--deadline", line.deadline, "day (YYYY-MM-DD) or moment the plan must be done by");
    batch->add_flag("--dry-run", line.dry_run, "log on, list folders and counts, estimate; write nothing");
    batch->add_flag("--verify", line.verify, "read every target back and compare it with the source");
    batch->add_option("--report", line.report, "write a self-contained HTML report to this file");
    batch->add_option("--kind", line.kind, "mail, contacts, calendar, tasks or all")
        ->check(CLI::IsMember({"mail", "contacts", "calendar", "tasks", "all"}));
    return batch;
}

void add_common(CLI::App *app, CommandLine &line) {
    app->add_option("--log", line.log, "host log file (default: qvmigrate.log in the state folder)");
    app->add_option("--state", line.state, "state folder: work files, duplicate store");
    app->add_option("--max-items", line.max_items, "at most N items per folder")->check(CLI::NonNegativeNumber);
    app->add_option("--date-from", line.date_from, "first day (YYYY-MM-DD) or moment (YYYY-MM-DDTHH:MM:SSZ)");
    app->add_option("--date-to", line.date_to, "last day or moment, included");
    app->add_flag("--json", line.json, "a machine-readable summary on stdout");
    app->add_option("--plugin", line.plugin, "the connector library (default: found beside qvmigrate)");
}

void add_transport(CLI::App *app, CommandLine &line) {
    app->add_option("--ca-file", line.transport.ca_file, "PEM file of certificates to trust")->check(CLI::ExistingFile);
    app->add_flag("--insecure", line.transport.insecure, "do not verify the server's certificate");
}

void add_folder_selection(CLI::App *app, CommandLine &line) {
    app->add_option("--folder", line.folders, "display path (Inbox/Projects): that folder and those below; repeatable");
}

void check_refused(const RefusedSecrets &refused, const std::string &prefix) {
    auto refuse = [&](const std::string &value, const std::string &option, const std::string &use) {
        if (!value.empty())
            throw UsageError("--" + prefix + option + " is not taken: a secret on the command line "
                             "is visible to every user in ps; use " + use);
    };
    refuse(refused.password, "password", "--" + prefix + "password-env or --" + prefix + "password-file");
    refuse(refused.delegate_password, "delegate-password", "--" + prefix + "delegate-password-env");
    refuse(refused.secret, "secret", "--" + prefix + "secret-env");
}

qv_filetime parse_date_option(const std::string &value, const char *option, bool end_of_day) {
    const auto date = iso_to_filetime(value);
    if (!date)
        throw UsageError(std::string(option) + " " + value + ": expected YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ");
    if (end_of_day && value.size() == 10)
        return *date + kTicksPerDay - 1;
    return *date;
}

} // namespace

int parse_command_line(int argc, const char *const *argv, CommandLine &line, std::ostream &out,
                       std::ostream &err) {
    CLI::App app{"qvmigrate: moves mailboxes with the qvamz connector"};
    app.require_subcommand(1, 1);
    RefusedSecrets refused_single, refused_from, refused_to;

    CLI::App *folders = app.add_subcommand("folders", "list the folders as the host sees them");
    add_connection(folders, line.connection, refused_single, "");

    CLI::App *exporter = app.add_subcommand("export", "read a mailbox into a record archive");
    add_connection(exporter, line.connection, refused_single, "");
    exporter->add_option("--out", line.out_dir, "new archive folder")->required();
    exporter->add_option("--kind", line.kind, "mail, contacts, calendar, tasks or all")
        ->check(CLI::IsMember({"mail", "contacts", "calendar", "tasks", "all"}));
    exporter->add_option("--skip-kind", line.skip_kinds, "leave out folders of this kind; repeatable")
        ->check(CLI::IsMember({"mail", "contacts", "calendar", "tasks"}));

    CLI::App *importer = app.add_subcommand("import", "write a record archive into a mailbox");
    add_connection(importer, line.connection, refused_single, "");
    importer->add_option("--in", line.in_dir, "archive folder")->required()->check(CLI::ExistingDirectory);

    CLI::App *copy = app.add_subcommand("copy", "copy a mailbox into another one");
    add_connection(copy, line.from, refused_from, "from-");
    add_connection(copy, line.to, refused_to, "to-");
    copy->add_option("--stage", line.stage, "keep the staging archive in this new folder");
    copy->add_flag("--no-overlap", line.no_overlap,
                   "read everything into the stage first, then write (no second process)");
    copy->add_option("--kind", line.kind, "mail, contacts, calendar, tasks or all")
        ->check(CLI::IsMember({"mail", "contacts", "calendar", "tasks", "all"}));
    copy->add_option("--skip-kind", line.skip_kinds, "leave out folders of this kind; repeatable")
        ->check(CLI::IsMember({"mail", "contacts", "calendar", "tasks"}));

    CLI::App *demo = app.add_subcommand("demo", "copy a seeded mailbox through a local EWS sandbox and check it");
    demo->add_option("--keep", line.keep_dir, "keep the sandbox data, dumps and log in this folder");
    demo->add_option("--sandbox", line.sandbox, "the ews-sandbox program (default: found beside qvmigrate)");

    CLI::App *batch = add_batch(app, line, refused_from, refused_to);

    for (CLI::App *sub : {folders, exporter, importer, copy, demo, batch}) {
        add_common(sub, line);
        if (sub != demo)
            add_transport(sub, line);
        if (sub != demo)
            add_folder_selection(sub, line);
    }
    folders->add_option("--kind", line.kind, "mail, contacts, calendar, tasks or all")
        ->check(CLI::IsMember({"mail", "contacts", "calendar", "tasks", "all"}));

    try {
        app.parse(argc, argv);
        check_refused(refused_single, "");
        check_refused(refused_from, "from-");
        check_refused(refused_to, "to-");
        line.command = app.get_subcommands().front()->get_name();
        limits_from(line);
        if (!line.deadline.empty())
            parse_deadline(line.deadline);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e, out, err);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError &e) {
        app.exit(e, out, err);
        return kExitUsage;
    } catch (const UsageError &e) {
        err << "qvmigrate: " << e.what() << "\n";
        return kExitUsage;
    }
    return -1;
}

JobLimits limits_from(const CommandLine &line) {
    JobLimits limits;
    limits.max_items = line.max_items;
    if (!line.date_from.empty())
        limits.first = parse_date_option(line.date_from, "--date-from", false);
    if (!line.date_to.empty())
        limits.last = parse_date_option(line.date_to, "--date-to", true);
    if (limits.first != 0 && limits.last != 0 && limits.first > limits.last)
        throw UsageError("--date-from lies after --date-to");
    return limits;
}

} // namespace qvmigrate
