// batch_report.cpp - the batch's table, JSON and HTML page.
#include "batch_report.hpp"

#include <cstdio>
#include <ostream>

#include "json_util.hpp"
#include "record_archive.hpp"

namespace qvmigrate {

namespace {

constexpr const char *kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0 1.5em}"
    "th,td{border:1px solid #bbb;padding:.2em .6em;text-align:left}"
    "td.n{text-align:right}th{background:#eee}"
    ".failed{color:#a00;font-weight:bold}.done{color:#070}";

int mailbox_failed(const MailboxRecord &mailbox) {
    int failed = 0;
    for (const FolderRecord &folder : mailbox.folders)
        failed += folder.counts.failed;
    return failed;
}

void add_counts(cJSON *object, const FolderCounts &c) {
    cJSON_AddNumberToObject(object, "source_total", c.source_total);
    cJSON_AddNumberToObject(object, "migrated", c.migrated);
    cJSON_AddNumberToObject(object, "duplicates", c.duplicates);
    cJSON_AddNumberToObject(object, "outside_dates", c.outside_dates);
    cJSON_AddNumberToObject(object, "skipped", c.skipped);
    cJSON_AddNumberToObject(object, "failed", c.failed);
}

cJSON *strings(const std::vector<std::string> &texts) {
    cJSON *array = cJSON_CreateArray();
    for (const std::string &text : texts)
        cJSON_AddItemToArray(array, cJSON_CreateString(text.c_str()));
    return array;
}

cJSON *mailbox_json(const MailboxRecord &mailbox) {
    cJSON *object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, "source", mailbox.source.c_str());
    cJSON_AddStringToObject(object, "target", mailbox.target.c_str());
    cJSON_AddStringToObject(object, "status", status_name(mailbox.status).c_str());
    cJSON_AddNumberToObject(object, "attempts", mailbox.attempts);
    cJSON_AddStringToObject(object, "error", mailbox.error.c_str());
    cJSON_AddNumberToObject(object, "seconds", mailbox.seconds);
    FolderCounts totals;
    cJSON *folders = cJSON_AddArrayToObject(object, "folders");
    cJSON *failed_items = cJSON_CreateArray();
    for (const FolderRecord &folder : mailbox.folders) {
        totals.add(folder.counts);
        cJSON *item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "path", folder.counts.path.c_str());
        cJSON_AddStringToObject(item, "kind", folder.counts.kind.c_str());
        cJSON_AddStringToObject(item, "status", folder.status.c_str());
        add_counts(item, folder.counts);
        cJSON_AddItemToObject(item, "notes", strings(folder.counts.notes));
        cJSON_AddItemToArray(folders, item);
        for (const FailedItem &failed : folder.counts.failed_items) {
            cJSON *entry = cJSON_CreateObject();
            cJSON_AddStringToObject(entry, "folder", folder.counts.path.c_str());
            cJSON_AddStringToObject(entry, "subject", failed.subject.c_str());
            cJSON_AddStringToObject(entry, "date", failed.date.c_str());
            cJSON_AddStringToObject(entry, "reason", failed.reason.c_str());
            cJSON_AddItemToArray(failed_items, entry);
        }
    }
    cJSON_AddItemToObject(object, "failed_items", failed_items);
    add_counts(cJSON_AddObjectToObject(object, "totals"), totals);
    if (mailbox.verified)
        cJSON_AddItemToObject(object, "differences", strings(mailbox.differences));
    return object;
}

cJSON *listing_json(const DryRunPair &pair) {
    cJSON *object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, "source", pair.source.c_str());
    cJSON_AddStringToObject(object, "target", pair.target.c_str());
    cJSON_AddStringToObject(object, "error", pair.listing.error.c_str());
    cJSON_AddBoolToObject(object, "target_writable", pair.listing.target_folders >= 0);
    cJSON_AddNumberToObject(object, "items", pair.items());
    cJSON *folders = cJSON_AddArrayToObject(object, "folders");
    for (const FolderEntry &folder : pair.listing.folders) {
        cJSON *item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "path", folder.display_path.c_str());
        cJSON_AddStringToObject(item, "kind", folder_kind_name(folder.folder_type).c_str());
        cJSON_AddNumberToObject(item, "count", folder.count);
        cJSON_AddItemToArray(folders, item);
    }
    return object;
}

std::string cell(const std::string &text, const char *css = nullptr) {
    return std::string("<td") + (css != nullptr ? std::string(" class=\"") + css + "\"" : "") +
           ">" + html_escape(text) + "</td>";
}

std::string number_cell(long long value) {
    return "<td class=\"n\">" + std::to_string(value) + "</td>";
}

std::string counts_cells(const FolderCounts &c) {
    return number_cell(c.source_total) + number_cell(c.migrated) + number_cell(c.duplicates) +
           number_cell(c.skipped) + number_cell(c.failed);
}

constexpr const char *kCountHeads =
    "<th>source total</th><th>migrated</th><th>duplicates</th><th>skipped</th><th>failed</th>";

std::string mailbox_html(const MailboxRecord &mailbox) {
    const std::string status = status_name(mailbox.status);
    std::string html = "<h2>" + html_escape(mailbox.source) + " &rarr; " +
                       html_escape(mailbox.target) + " <span class=\"" + status + "\">" +
                       status + "</span></h2>\n";
    if (!mailbox.error.empty())
        html += "<p class=\"failed\">" + html_escape(mailbox.error) + "</p>\n";
    html += "<table class=\"folders\"><tr><th>folder</th><th>kind</th><th>status</th>" +
            std::string(kCountHeads) + "<th>notes</th></tr>\n";
    std::string failed_rows;
    for (const FolderRecord &folder : mailbox.folders) {
        std::string notes;
        for (const std::string &note : folder.counts.notes)
            notes += (notes.empty() ? "" : "; ") + note;
        html += "<tr>" + cell(folder.counts.path) + cell(folder.counts.kind) +
                cell(folder.status, folder.status == "done" ? "done" : "failed") +
                counts_cells(folder.counts) + cell(notes) + "</tr>\n";
        for (const FailedItem &item : folder.counts.failed_items)
            failed_rows += "<tr>" + cell(folder.counts.path) + cell(item.subject) +
                           cell(item.date) + cell(item.reason) + "</tr>\n";
    }
    html += "</table>\n";
    if (!failed_rows.empty())
        html += "<h3>Failed items</h3>\n<table class=\"failed-items\"><tr><th>folder</th>"
                "<th>subject</th><th>date</th><th>reason</th></tr>\n" + failed_rows + "</table>\n";
    if (mailbox.verified) {
        html += "<h3>Verification</h3>\n";
        if (mailbox.differences.empty())
            html += "<p class=\"done\">the target matches the source</p>\n";
        else {
            html += "<ul class=\"differences\">\n";
            for (const std::string &difference : mailbox.differences)
                html += "<li>" + html_escape(difference) + "</li>\n";
            html += "</ul>\n";
        }
    }
    return html;
}

std::string listing_html(const DryRunPair &pair) {
    std::string html = "<h2>" + html_escape(pair.source) + " &rarr; " +
                       html_escape(pair.target) + "</h2>\n";
    if (!pair.listing.error.empty())
        html += "<p class=\"failed\">" + html_escape(pair.listing.error) + "</p>\n";
    html += "<table class=\"folders\"><tr><th>folder</th><th>kind</th><th>items</th></tr>\n";
    for (const FolderEntry &folder : pair.listing.folders)
        html += "<tr>" + cell(folder.display_path) + cell(folder_kind_name(folder.folder_type)) +
                number_cell(folder.count) + "</tr>\n";
    return html + "</table>\n";
}

} // namespace

int DryRunPair::items() const {
    int items = 0;
    for (const FolderEntry &folder : listing.folders)
        items += folder.count;
    return items;
}

FolderCounts BatchOutcome::totals() const {
    FolderCounts totals;
    for (const MailboxRecord &mailbox : mailboxes) {
        for (const FolderRecord &folder : mailbox.folders)
            totals.add(folder.counts);
    }
    for (const DryRunPair &pair : listings)
        totals.source_total += pair.items();
    return totals;
}

std::string html_escape(const std::string &text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string batch_json(const BatchOutcome &outcome) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "command", outcome.dry_run ? "batch --dry-run" : "batch");
    cJSON_AddStringToObject(root.get(), "plan", outcome.plan_file.c_str());
    cJSON_AddStringToObject(root.get(), "created_utc", outcome.created_utc.c_str());
    cJSON_AddNumberToObject(root.get(), "jobs", outcome.jobs);
    cJSON_AddNumberToObject(root.get(), "seconds", outcome.seconds);
    cJSON_AddNumberToObject(root.get(), "exit_status", outcome.exit_status);
    cJSON_AddStringToObject(root.get(), "estimate", outcome.estimate.c_str());
    add_counts(cJSON_AddObjectToObject(root.get(), "totals"), outcome.totals());
    cJSON *mailboxes = cJSON_AddArrayToObject(root.get(), "mailboxes");
    for (const MailboxRecord &mailbox : outcome.mailboxes)
        cJSON_AddItemToArray(mailboxes, mailbox_json(mailbox));
    for (const DryRunPair &pair : outcome.listings)
        cJSON_AddItemToArray(mailboxes, listing_json(pair));
    return print_json(root.get());
}

std::string batch_html(const BatchOutcome &outcome) {
    const FolderCounts totals = outcome.totals();
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<title>qvmigrate batch report</title><style>" +
                       std::string(kStyle) + "</style></head>\n<body>\n<h1>qvmigrate batch " +
                       (outcome.dry_run ? "dry run" : "report") + "</h1>\n";
    html += "<p>plan " + html_escape(outcome.plan_file) + ", " + html_escape(outcome.created_utc) +
            ", " + std::to_string(outcome.jobs) + " at once";
    if (!outcome.estimate.empty())
        html += ", " + html_escape(outcome.estimate);
    html += "</p>\n<h2>Totals</h2>\n<table class=\"totals\"><tr><th>mailboxes</th>" +
            std::string(kCountHeads) + "</tr>\n<tr>" +
            number_cell(static_cast<long long>(outcome.mailboxes.size() + outcome.listings.size())) +
            counts_cells(totals) + "</tr></table>\n";
    if (!outcome.mailboxes.empty()) {
        html += "<table class=\"mailboxes\"><tr><th>source</th><th>target</th><th>status</th>"
                "<th>attempts</th><th>failed items</th><th>error</th></tr>\n";
        for (const MailboxRecord &mailbox : outcome.mailboxes) {
            const std::string status = status_name(mailbox.status);
            html += "<tr>" + cell(mailbox.source) + cell(mailbox.target) +
                    cell(status, status == "done" ? "done" : "failed") +
                    number_cell(mailbox.attempts) + number_cell(mailbox_failed(mailbox)) +
                    cell(mailbox.error) + "</tr>\n";
        }
        html += "</table>\n";
    }
    for (const MailboxRecord &mailbox : outcome.mailboxes)
        html += mailbox_html(mailbox);
    for (const DryRunPair &pair : outcome.listings)
        html += listing_html(pair);
    return html + "</body></html>\n";
}

void print_batch_table(std::ostream &out, const BatchOutcome &outcome) {
    char line[512];
    if (outcome.dry_run) {
        for (const DryRunPair &pair : outcome.listings) {
            out << pair.source << " -> " << pair.target << ": ";
            if (!pair.listing.error.empty())
                out << "ERROR " << pair.listing.error << "\n";
            else
                out << pair.items() << " items in " << pair.listing.folders.size()
                    << " folders; target reachable for writing\n";
            for (const FolderEntry &folder : pair.listing.folders) {
                std::snprintf(line, sizeof line, "    %-44s %-9s %8d\n", folder.display_path.c_str(),
                              folder_kind_name(folder.folder_type).c_str(), folder.count);
                out << line;
            }
        }
    } else {
        std::snprintf(line, sizeof line, "%-32s %-32s %-8s %8s %8s %8s %8s %8s\n", "source",
                      "target", "status", "total", "migrated", "dupl.", "skipped", "failed");
        out << line;
        for (const MailboxRecord &mailbox : outcome.mailboxes) {
            FolderCounts c;
            for (const FolderRecord &folder : mailbox.folders)
                c.add(folder.counts);
            std::snprintf(line, sizeof line, "%-32s %-32s %-8s %8d %8d %8d %8d %8d\n",
                          mailbox.source.c_str(), mailbox.target.c_str(),
                          status_name(mailbox.status).c_str(), c.source_total, c.migrated,
                          c.duplicates, c.skipped, c.failed);
            out << line;
            if (!mailbox.error.empty())
                out << "    " << mailbox.error << "\n";
            for (const std::string &difference : mailbox.differences)
                out << "    differs: " << difference << "\n";
        }
    }
    const FolderCounts totals = outcome.totals();
    out << "total: " << totals.source_total << " items listed";
    if (!outcome.dry_run)
        out << ", " << totals.migrated << " migrated, " << totals.duplicates << " duplicates, "
            << totals.skipped << " skipped, " << totals.failed << " failed";
    out << "\n";
    if (!outcome.estimate.empty())
        out << outcome.estimate << "\n";
}

} // namespace qvmigrate
