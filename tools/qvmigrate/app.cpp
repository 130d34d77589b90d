// app.cpp - dispatch of the commands and their exit statuses:
// 0 nothing failed, 1 items failed or were lost (or the job could not run),
// 2 usage errors, 3 logon failed.
#include "app.hpp"

#include <iostream>

#include <unistd.h>

#include "batch_coordinator.hpp"
#include "cli.hpp"
#include "connector_session.hpp"
#include "demo.hpp"
#include "host_callbacks.hpp"
#include "host_environment.hpp"
#include "plugin_loader.hpp"
#include "record_archive.hpp"

namespace qvmigrate {

namespace {

namespace fs = std::filesystem;

JobSettings settings_from(const CommandLine &line, Progress *progress) {
    JobSettings settings;
    settings.plugin = find_plugin(line.plugin);
    settings.transport = line.transport;
    settings.limits = limits_from(line);
    settings.folders = line.folders;
    settings.kind_filter = kind_filter_from_name(line.kind).value_or(kAllKinds);
    for (const std::string &kind : line.skip_kinds)
        settings.skipped_kinds.push_back(kind_filter_from_name(kind).value_or(kAllKinds));
    settings.progress = progress;
    settings.overlap = !line.no_overlap;
    return settings;
}

void report(const JobSummary &summary, bool json, std::ostream &out) {
    if (json)
        out << summary_json(summary);
    else
        print_summary_table(out, summary);
}

// A summary for a job that stopped before it had anything to count.
JobSummary failed_summary(const CommandLine &line, const std::string &error, int status) {
    JobSummary summary;
    summary.command = line.command;
    summary.error = error;
    summary.exit_status = status;
    return summary;
}

int run_job(const CommandLine &line, std::ostream &out) {
    Progress progress(isatty(STDERR_FILENO) == 1, std::cerr);
    set_keepalive_progress(nullptr);
    SystemSecretInput secrets;
    if (line.command == "demo")
        return run_demo(line, out);
    if (line.command == "batch")
        return run_batch(line, out);

    HostEnvironment env(line.state, line.log);
    const JobSettings settings = settings_from(line, &progress);
    if (line.command == "folders") {
        const Credentials credentials = resolve_credentials(line.connection, secrets, "");
        print_folder_list(out, run_folders(env, settings, line.connection, credentials), line.json);
        return kExitOk;
    }
    JobSummary summary;
    if (line.command == "export") {
        const Credentials credentials = resolve_credentials(line.connection, secrets, "");
        summary = run_export(env, settings, line.connection, credentials, line.out_dir);
    } else if (line.command == "import") {
        const Credentials credentials = resolve_credentials(line.connection, secrets, "");
        summary = run_import(env, settings, line.connection, credentials, line.in_dir);
    } else {
        // Both sides' secrets are read before either logon.
        const Credentials from = resolve_credentials(line.from, secrets, "source");
        const Credentials to = resolve_credentials(line.to, secrets, "target");
        const bool keep = !line.stage.empty();
        const fs::path stage = keep ? fs::path(line.stage)
                                    : env.state_dir() / ("stage-" + std::to_string(getpid()));
        summary = run_copy(env, settings, line.from, from, line.to, to, stage, keep);
    }
    report(summary, line.json, out);
    return summary.exit_status;
}

} // namespace

int run_qvmigrate(int argc, const char *const *argv, std::ostream &out, std::ostream &err) {
    CommandLine line;
    const int parsed = parse_command_line(argc, argv, line, out, err);
    if (parsed >= 0)
        return parsed;
    install_interrupt_handler();
    std::string error;
    int status = kExitItemsFailed;
    try {
        return run_job(line, out);
    } catch (const UsageError &e) {
        error = e.what();
        status = kExitUsage;
    } catch (const LogonFailed &e) {
        error = e.what();
        status = kExitLogonFailed;
    } catch (const ArchiveError &e) {
        error = std::string("archive refused: ") + e.what();
    } catch (const std::exception &e) {
        error = e.what();
    }
    err << "qvmigrate: " << error << "\n";
    if (line.json)
        out << summary_json(failed_summary(line, error, status));
    return status;
}

} // namespace qvmigrate
