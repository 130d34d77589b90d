// The thirteen functions the host calls.  Each one is a thin shell: it
// checks its pointers, hands the work to the subsystem that owns it, and
// turns any exception into the export's failure result and a log line, so
// nothing ever unwinds into the host.
#include <exception>
#include <string>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "frame/logon_parameters.hpp"
#include "frame/session.hpp"
#include "frame/user_list.hpp"
#include "mailread/convert_folder.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvamz.h"
#include "qv/qvcom.h"

namespace {

// Failure results of the exports that can fail.
constexpr int kLogonOtherFailure = 4;
constexpr int kLogonNotNow = 1;
constexpr int kInitWriteNoFolder = 1;
constexpr int kWriteMsgLost = 1234;

template <typename Body>
int Guarded(const char *name, int failure, Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::exception &e) {
        com_Log("QV Error: internal error in %s: %s", name, e.what());
    } catch (...) {
        com_Log("QV Error: internal error in %s: %s", name, "unknown exception");
    }
    return failure;
}

} // namespace

extern "C" {

QV_EXPORT int QV_STDCALL Logon(char *user, char *password, char *server, char *folder,
                               void *, void *, void *, void *, void *, void *,
                               char *host_text, int upcoming_only, int first_logon,
                               int is_source, int item_kind, void *, qv_status_fn status)
{
    return Guarded("Logon", kLogonOtherFailure, [&] {
        if (first_logon == 0)
            return kLogonNotNow;
        return qvamz::LogonSession(user, password, server, folder, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, host_text, upcoming_only,
                                   first_logon, is_source, item_kind, nullptr, status);
    });
}

QV_EXPORT int QV_STDCALL Logoff(int shutdown)
{
    return Guarded("Logoff", 0, [&] {
        // A host that logs off without closing its last target folder would
        // otherwise lose the messages still waiting in the bundle.
        qvamz::SendPendingBundle();
        qvamz::ResetTargetState();
        qvamz::ResetBundleState();
        return qvamz::LogoffSession(shutdown);
    });
}

QV_EXPORT int QV_STDCALL GetLogonParameters(int preset, void *, void *, char *user_label,
                                            char *password_label, char *server_label,
                                            char *empty7, char *option_label, void *, void *,
                                            char *server_list, void *, char *empty13, void *,
                                            char *preset_switches)
{
    return Guarded("GetLogonParameters", 0, [&] {
        qvamz::FillLogonParameters(preset, user_label, password_label, server_label, empty7,
                                   option_label, server_list, empty13, preset_switches);
        return 0;
    });
}

QV_EXPORT int QV_STDCALL GetUserList(char *input_path, char *output_path)
{
    return Guarded("GetUserList", 0,
                   [&] { return qvamz::WriteUserList(input_path, output_path); });
}

QV_EXPORT int QV_STDCALL GetFolderNames(void *, qv_folder_line_fn callback)
{
    return Guarded("GetFolderNames", 0, [&] {
        return qvamz::GetFolderNamesImpl(nullptr, callback);
    });
}

QV_EXPORT int QV_STDCALL GetTrueFolder(int index, char *out)
{
    if (out != nullptr)
        out[0] = '\0';
    return Guarded("GetTrueFolder", 0, [&] { return qvamz::GetTrueFolderImpl(index, out); });
}

QV_EXPORT int QV_STDCALL InitRead(qv_message *msg, void *, void *, void *, void *,
                                  int max_items)
{
    return Guarded("InitRead", 0, [&] {
        qvamz::gMaxMessages = max_items;
        if (msg != nullptr) {
            std::string group;
            qvamz::assign_limited(group, qvamz::gGroupName, sizeof msg->group_folder - 1);
            group.copy(msg->group_folder, group.size());
            msg->group_folder[group.size()] = '\0';
        }
        return 0;
    });
}

QV_EXPORT int QV_STDCALL ConvertFolder(qv_message *msg, qv_output_fn output,
                                       int folder_index, void *output_value, void *search1,
                                       void *search2, void *search3, void *attach_value,
                                       void *unused9, void *max_date_value, char *work_dir,
                                       int *out_count, int *out_size, qv_status_fn status)
{
    return Guarded("ConvertFolder", 0, [&] {
        return qvamz::ConvertFolderImpl(msg, output, folder_index, output_value, search1,
                                        search2, search3, attach_value, unused9,
                                        max_date_value, work_dir, out_count, out_size, status);
    });
}

QV_EXPORT int QV_STDCALL CloseRead(void *)
{
    return 0;
}

QV_EXPORT int QV_STDCALL InitWrite(qv_message *msg, char *folder_name, void *unused3,
                                   int folder_type)
{
    return Guarded("InitWrite", kInitWriteNoFolder, [&] {
        return qvamz::InitWriteImpl(msg, folder_name, unused3, folder_type);
    });
}

QV_EXPORT int QV_STDCALL WriteMsg(qv_message *msg, void *calendar_value, char *work_dir,
                                  void *unused4)
{
    return Guarded("WriteMsg", kWriteMsgLost, [&] {
        return qvamz::WriteMsgImpl(msg, calendar_value, work_dir, unused4);
    });
}

QV_EXPORT int QV_STDCALL CloseWrite(int close_kind)
{
    return Guarded("CloseWrite", 0, [&] { return qvamz::CloseWriteImpl(close_kind); });
}

QV_EXPORT int QV_STDCALL TestFile(void *, void *)
{
    return 0;
}

} // extern "C"
