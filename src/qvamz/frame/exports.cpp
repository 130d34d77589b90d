// The thirteen functions the host calls.  Each one is a thin shell: it
// checks its pointers, hands the work to the subsystem that owns it, and
// turns any exception into the export's failure result and a log line, so
// nothing ever unwinds into the host.
#include <exception>
#include <string>

#include "frame/logon_parameters.hpp"
#include "frame/session.hpp"
#include "frame/user_list.hpp"
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

QV_EXPORT int QV_STDCALL Logon([[maybe_unused]] char *user, [[maybe_unused]] char *password,
                               [[maybe_unused]] char *server, [[maybe_unused]] char *folder,
                               void *, void *, void *, void *, void *, void *,
                               [[maybe_unused]] char *host_text,
                               [[maybe_unused]] int upcoming_only, int first_logon,
                               [[maybe_unused]] int is_source, [[maybe_unused]] int item_kind,
                               void *, [[maybe_unused]] qv_status_fn status)
{
    return Guarded("Logon", kLogonOtherFailure, [&] {
        if (first_logon == 0)
            return kLogonNotNow;
        // Forwarding spot (two lines): becomes qvamz::LogonSession(...) with the transport.
        com_Log("QV Error: logon is not available in this build");
        return kLogonOtherFailure;
    });
}

QV_EXPORT int QV_STDCALL Logoff(int shutdown)
{
    return Guarded("Logoff", 0, [&] {
        (void)shutdown; // Forwarding spot: qvamz::LogoffSession(shutdown).
        return 0;
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
        // Forwarding spot: the folder table reports its entries here.  No
        // table exists before a logon, so the callback is not called.
        (void)callback;
        return 0;
    });
}

QV_EXPORT int QV_STDCALL GetTrueFolder(int index, char *out)
{
    if (out != nullptr)
        out[0] = '\0';
    return Guarded("GetTrueFolder", 0, [&] {
        // Forwarding spot: the folder table copies entry `index` here.  The
        // table is empty, so every index is out of range: the count, 0.
        (void)index;
        return 0;
    });
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
                                       int folder_index, void *, void *, void *, void *,
                                       void *, void *, void *, char *work_dir,
                                       int *out_count, int *out_size, qv_status_fn status)
{
    return Guarded("ConvertFolder", 0, [&] {
        (void)msg, (void)output, (void)folder_index, (void)work_dir;
        (void)out_count, (void)out_size, (void)status;
        // Forwarding spot: the folder conversion driver.
        com_Log("QV Error: reading folders is not available in this build");
        return 0;
    });
}

QV_EXPORT int QV_STDCALL CloseRead(void *)
{
    return 0;
}

QV_EXPORT int QV_STDCALL InitWrite(qv_message *msg, char *folder_name, void *,
                                   int folder_type)
{
    return Guarded("InitWrite", kInitWriteNoFolder, [&] {
        (void)msg, (void)folder_name, (void)folder_type;
        // Forwarding spot: the target folder step.
        com_Log("QV Error: writing folders is not available in this build");
        return kInitWriteNoFolder;
    });
}

QV_EXPORT int QV_STDCALL WriteMsg(qv_message *msg, void *calendar_value, char *work_dir,
                                  void *)
{
    return Guarded("WriteMsg", kWriteMsgLost, [&] {
        (void)msg, (void)calendar_value, (void)work_dir;
        // Forwarding spot: the item writers.
        com_Log("QV Warning: item not written, writing is not available in this build");
        return kWriteMsgLost;
    });
}

QV_EXPORT int QV_STDCALL CloseWrite(int close_kind)
{
    return Guarded("CloseWrite", 0, [&] {
        (void)close_kind; // Forwarding spot: sends the pending message bundle.
        return 0;
    });
}

QV_EXPORT int QV_STDCALL TestFile(void *, void *)
{
    return 0;
}

} // extern "C"
