// A stand-in for libqvamz.so that lets the job drivers run without a
// server: the thirteen exports over a small fixed mailbox, behaving the
// way the connector's contract says (statuses, OutputMsg answers, filters,
// duplicate checks, part files).  Written items are appended to
// "written.txt" in the folder named by the switch "/FAKESTORE".
// Bundles as the connector sends them: "/D251 N" items a bundle (sent when
// full or at CloseWrite(0)); "/FAKELOSEBUNDLE K" loses the K-th bundle
// sent (reported with com_ReportLoss); "/FAKEDIEAFTER N" ends the process
// at once when asked to write after N items were stored, as a kill would.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "qv/qvamz.h"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"

namespace {

using namespace std::chrono_literals;

struct FakeItem {
    const char *subject;
    std::chrono::year_month_day date; // at noon UTC
    const char *body;
    bool with_attachment;
};

struct FakeFolder {
    const char *path; // internal path
    int type;
    std::vector<FakeItem> items;
};

const std::vector<FakeFolder> kFolders = {
    {"Contacts", 1, {{"Zoë Martin", 2025y / 1 / 1, "contact notes", false}}},
    {"Inbox", 0,
     {{"Grüße 1", 2026y / 1 / 1, "first body", false},
      {"Report 2", 2026y / 1 / 2, "second body", true},
      {"Old 3", 2026y / 1 / 3, "third body", false}}},
    {"Inbox^Projects", 0,
     {{"Plan A", 2025y / 6 / 1, "plan a", false}, {"Plan B", 2025y / 6 / 2, "plan b", false}}},
};

struct Account {
    const char *user, *password;
};
const Account kAccounts[] = {{"alice@fake", "alice-pw"}, {"bob@fake", "bob-pw"}};

bool gLoggedOn = false;
int gMaxMessages = 0;
std::string gStore, gTargetFolder;
int gBundleSize = 1, gLoseBundle = 0, gDieAfter = 0, gBundlesSent = 0, gStored = 0;
std::vector<std::string> gQueued;

void send_bundle() {
    if (gQueued.empty())
        return;
    const int count = static_cast<int>(gQueued.size());
    if (++gBundlesSent == gLoseBundle) {
        gQueued.clear();
        com_ReportLoss(1, count, 0);
        return;
    }
    std::ofstream out(gStore + "/written.txt", std::ios::app);
    for (const std::string &line : gQueued)
        out << line;
    gStored += count;
    gQueued.clear();
}

int number_switch(int index) {
    return std::atoi(qvcom::switch_token(index + 1).value_or("0").c_str());
}

void copy_text(char *field, size_t size, const std::string &text) {
    std::snprintf(field, size, "%s", text.c_str());
}

void write_part(const std::string &work, int msg_number, int index, const std::string &bytes) {
    std::ofstream(qvcom::part_file_path(work, msg_number, index), std::ios::binary) << bytes;
}

void fill(qv_message &msg, const FakeFolder &folder, const FakeItem &item, int position,
          const std::string &work) {
    msg.item_type = folder.type == 1 ? QV_ITEM_CONTACT : QV_ITEM_MAIL;
    copy_text(msg.subject, sizeof msg.subject, item.subject);
    copy_text(msg.first_name, sizeof msg.first_name, folder.type == 1 ? item.subject : "");
    copy_text(msg.from_address, sizeof msg.from_address, "sender@fake");
    copy_text(msg.message_id, sizeof msg.message_id,
              "<" + std::to_string(position) + "." + folder.path + "@fake>");
    msg.date = qvcom::to_filetime(std::chrono::sys_days(item.date) + std::chrono::hours(12));
    qv_part *body = com_AllocPart(&msg);
    body->part_type = QV_PART_TEXT_BODY;
    write_part(work, msg.msg_number, msg.part_count, item.body);
    ++msg.part_count;
    if (item.with_attachment) {
        qv_part *file = com_AllocPart(&msg);
        file->part_type = QV_PART_ATTACHMENT;
        copy_text(file->file_name, sizeof file->file_name, "data.bin");
        write_part(work, msg.msg_number, msg.part_count, std::string("\x00\x01\x02", 3));
        ++msg.part_count;
        qv_part *wrapper = com_AllocPart(&msg);
        wrapper->part_type = QV_PART_EMBEDDED_MSG;
        qv_message *inner = com_AllocSubMsg(&msg, msg.part_count);
        ++msg.part_count;
        copy_text(inner->subject, sizeof inner->subject, "inner");
        com_AllocPart(inner)->part_type = QV_PART_TEXT_BODY;
        write_part(work, inner->msg_number, 0, "inner body");
        ++inner->part_count;
    }
    qv_recipient *to = com_AllocRecip(&msg);
    copy_text(to->address, sizeof to->address, "alice@fake");
    to->kind = QV_RECIP_TO;
    ++msg.recipient_count;
}

int status_of(qv_message &msg, const FakeFolder &folder, const std::string &work) {
    qv_filetime start = 0, end = 0;
    if (com_GetDateRange(&start, &end) != 0 && (msg.date <= start || msg.date >= end))
        return QV_STATUS_OUT_OF_RANGE;
    if (com_MsgIsDuplicate(&msg, work.c_str(), QVCOM_DUP_CHECK, folder.path) != 0)
        return QV_STATUS_DUPLICATE;
    return QV_STATUS_CONVERTED;
}

std::string read_part(const std::string &work, int msg_number, int index) {
    std::ifstream in(qvcom::part_file_path(work, msg_number, index), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

extern "C" {

QV_EXPORT int QV_STDCALL Logon(char *user, char *password, char *server, char *, void *, void *,
                               void *, void *, void *, void *, char *host_text, int, int first_logon,
                               int, int, void *, qv_status_fn) {
    if (first_logon == 0)
        return 1;
    if (host_text != nullptr)
        host_text[0] = '\0';
    gStore.clear();
    gBundleSize = 1;
    gLoseBundle = gDieAfter = gBundlesSent = gStored = 0;
    gQueued.clear();
    for (int i = 0;; ++i) {
        const auto token = qvcom::switch_token(i);
        if (!token)
            break;
        if (*token == "/FAKESTORE")
            gStore = qvcom::switch_token(i + 1).value_or("");
        if (*token == "/D251")
            gBundleSize = std::max(1, number_switch(i));
        if (*token == "/FAKELOSEBUNDLE")
            gLoseBundle = number_switch(i);
        if (*token == "/FAKEDIEAFTER")
            gDieAfter = number_switch(i);
    }
    if (std::strcmp(server, "fake://server") != 0) {
        com_Log("QV Error: invalid server name");
        return 3;
    }
    for (const Account &account : kAccounts) {
        if (std::strcmp(user, account.user) == 0 && std::strcmp(password, account.password) == 0) {
            gLoggedOn = true;
            return 0;
        }
    }
    com_Log("QV Error: invalid user name or password");
    return 1;
}

QV_EXPORT int QV_STDCALL Logoff(int) {
    gLoggedOn = false;
    return 0;
}

QV_EXPORT int QV_STDCALL GetLogonParameters(int, void *, void *, char *, char *, char *, char *,
                                            char *, void *, void *, char *, void *, char *, void *,
                                            char *) {
    return 0;
}

QV_EXPORT int QV_STDCALL GetUserList(char *, char *) { return 0; }

QV_EXPORT int QV_STDCALL GetFolderNames(void *, qv_folder_line_fn callback) {
    for (const FakeFolder &folder : kFolders) {
        if (!gLoggedOn)
            break;
        std::string line = std::string(folder.path) + " {QV:" + std::to_string(folder.items.size()) +
                           ":FCLASS:" + std::to_string(folder.type) + "}";
        callback(line.data());
    }
    return 0;
}

QV_EXPORT int QV_STDCALL GetTrueFolder(int index, char *out) {
    out[0] = '\0';
    return index;
}

QV_EXPORT int QV_STDCALL InitRead(qv_message *msg, void *, void *, void *, void *, int max_items) {
    gMaxMessages = max_items;
    copy_text(msg->group_folder, sizeof msg->group_folder, "root");
    return 0;
}

QV_EXPORT int QV_STDCALL ConvertFolder(qv_message *msg, qv_output_fn output, int folder_index,
                                       void *output_value, void *, void *, void *, void *, void *,
                                       void *, char *work_dir, int *out_count, int *out_size,
                                       qv_status_fn status) {
    *out_count = 0;
    *out_size = 0;
    const FakeFolder &folder = kFolders.at(static_cast<size_t>(folder_index));
    const std::string work = work_dir;
    int index = 0, c1 = 0, c2 = 0, stop = 0;
    int position = 0;
    for (const FakeItem &item : folder.items) {
        com_ResetObject(msg);
        fill(*msg, folder, item, position++, work);
        int result = status_of(*msg, folder, work);
        const bool output_made = result == QV_STATUS_CONVERTED;
        if (output_made) {
            const int answer = output(msg, output_value, work_dir, index);
            if (answer == QV_OUTPUT_REFUSED || answer == QV_OUTPUT_REFUSED_END_FOLDER)
                result = QV_STATUS_SKIPPED;
            else
                com_MsgIsDuplicate(msg, work_dir, QVCOM_DUP_REMEMBER, folder.path);
            ++index;
        }
        status(msg, const_cast<char *>(""), result, &c1, &c2, &stop);
        com_Deallocate_All(msg, work_dir);
        com_Deallocate(msg, work_dir);
        if (stop != 0 || (output_made && index == gMaxMessages))
            break;
    }
    *out_count = index;
    msg->folder_total = static_cast<int>(folder.items.size());
    return 0;
}

QV_EXPORT int QV_STDCALL CloseRead(void *) { return 0; }

QV_EXPORT int QV_STDCALL InitWrite(qv_message *, char *folder_name, void *, int) {
    gTargetFolder = folder_name;
    return gStore.empty() ? 1 : 0;
}

QV_EXPORT int QV_STDCALL WriteMsg(qv_message *msg, void *, char *work_dir, void *) {
    if (gStore.empty())
        return 1;
    if (gDieAfter > 0 && gStored >= gDieAfter)
        _exit(9);
    std::ostringstream out;
    out << gTargetFolder << "\t" << msg->item_type << "\t" << msg->subject << "\t" << msg->part_count;
    for (int i = 0; i < msg->part_count; ++i) {
        out << "\t" << msg->parts[i]->part_type << ":" << read_part(work_dir, msg->msg_number, i).size();
        if (msg->parts[i]->sub_message != nullptr) {
            const qv_message *inner = msg->parts[i]->sub_message;
            out << ":" << inner->subject << ":" << read_part(work_dir, inner->msg_number, 0);
        }
    }
    out << "\n";
    gQueued.push_back(out.str());
    if (static_cast<int>(gQueued.size()) >= gBundleSize)
        send_bundle();
    return 0;
}

QV_EXPORT int QV_STDCALL CloseWrite(int keep) {
    if (keep == 0)
        send_bundle();
    return 0;
}

QV_EXPORT int QV_STDCALL TestFile(void *, void *) { return 0; }

} // extern "C"
