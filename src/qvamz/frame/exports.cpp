// The thirteen functions the host calls.  Each one is a thin shell: it
// decodes its arguments into a named value, hands the work with the
// session to the subsystem that owns it, and turns any exception into the
// export's failure result and a log line, so nothing ever unwinds into the
// host.
#include <cstdint>
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
#include "qv/qvcom.hpp"

namespace {

// Failure results of the exports that can fail.
constexpr int kLogonOtherFailure = 4;
constexpr int kLogonNotNow = 1;
constexpr int kInitWriteNoFolder = 1;
constexpr int kWriteMsgLost = 1234;

// The exported functions carry no handle: the module serves one session at
// a time, and this is it.  Only the exports below touch it directly.
qvamz::Session &TheSession()
{
    static qvamz::Session session;
    return session;
}

// The host passes its values as 32-bit integers in pointer-sized slots.
std::int64_t HostInteger(void *value)
{
    return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(value));
}

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
        qvamz::LogonArguments args;
        args.user = user;
        args.password = password;
        args.server = server;
        args.folder = folder;
        args.host_text = host_text;
        args.upcoming_only = upcoming_only;
        args.first_logon = first_logon;
        args.is_source = is_source;
        args.item_kind = item_kind;
        args.status = status;
        return qvamz::LogonSession(TheSession(), args);
    });
}

QV_EXPORT int QV_STDCALL Logoff(int shutdown)
{
    return Guarded("Logoff", 0, [&] {
        qvamz::Session &session = TheSession();
        // A host that logs off without closing its last target folder would
        // otherwise lose the messages still waiting in the bundle.
        qvamz::SendPendingBundle(session);
        session.state.target_folder_id.clear();
        session.state.sticky_note_mode = false;
        session.state.bundle = qvamz::BundleState{};
        return qvamz::LogoffSession(session, shutdown);
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
    return Guarded("GetFolderNames", 0,
                   [&] { return qvamz::GetFolderNamesImpl(TheSession(), callback); });
}

QV_EXPORT int QV_STDCALL GetTrueFolder(int index, char *out)
{
    if (out != nullptr)
        out[0] = '\0';
    return Guarded("GetTrueFolder", 0, [&] {
        return qvamz::GetTrueFolderImpl(TheSession().state.folders, index, out);
    });
}

QV_EXPORT int QV_STDCALL InitRead(qv_message *msg, void *, void *, void *, void *,
                                  int max_items)
{
    return Guarded("InitRead", 0, [&] {
        qvamz::Session &session = TheSession();
        session.state.max_messages = max_items;
        if (msg != nullptr) {
            std::string group;
            qvamz::assign_limited(group, session.settings.group_name,
                                  sizeof msg->group_folder - 1);
            group.copy(msg->group_folder, group.size());
            msg->group_folder[group.size()] = '\0';
        }
        return 0;
    });
}

QV_EXPORT int QV_STDCALL ConvertFolder(qv_message *msg, qv_output_fn output,
                                       int folder_index, void *output_value, void *search1,
                                       void *search2, void *search3, void *attach_value,
                                       void *, void *max_date_value, char *work_dir,
                                       int *out_count, int *out_size, qv_status_fn status)
{
    return Guarded("ConvertFolder", 0, [&] {
        qvamz::Session &session = TheSession();
        // The host may have moved its working folder since logon.
        if (auto dir = qvcom::host_directory(QVCOM_DIR_WORK))
            session.state.work_dir = *dir;
        qvamz::ConvertFolderArguments args;
        args.msg = msg;
        args.output = output;
        args.output_value = output_value;
        args.folder_index = folder_index;
        args.search_fields = static_cast<int>(HostInteger(search1));
        args.search_reserved1 = static_cast<int>(HostInteger(search2));
        args.search_reserved2 = static_cast<int>(HostInteger(search3));
        args.attach_limit = HostInteger(attach_value);
        args.max_date = HostInteger(max_date_value);
        args.work_dir = work_dir ? work_dir : session.state.work_dir;
        args.out_count = out_count;
        args.out_size = out_size;
        args.status = status;
        return qvamz::ConvertFolderImpl(session, args);
    });
}

QV_EXPORT int QV_STDCALL CloseRead(void *)
{
    return 0;
}

QV_EXPORT int QV_STDCALL InitWrite(qv_message *msg, char *folder_name, void *, int folder_type)
{
    return Guarded("InitWrite", kInitWriteNoFolder, [&] {
        return qvamz::InitWriteImpl(TheSession(), msg, folder_name, folder_type);
    });
}

QV_EXPORT int QV_STDCALL WriteMsg(qv_message *msg, void *, char *work_dir, void *)
{
    return Guarded("WriteMsg", kWriteMsgLost,
                   [&] { return qvamz::WriteMsgImpl(TheSession(), msg, work_dir); });
}

QV_EXPORT int QV_STDCALL CloseWrite(int close_kind)
{
    return Guarded("CloseWrite", 0,
                   [&] { return qvamz::CloseWriteImpl(TheSession(), close_kind); });
}

QV_EXPORT int QV_STDCALL TestFile(void *, void *)
{
    return 0;
}

} // extern "C"
