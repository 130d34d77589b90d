/*
 * qv/qvamz.h - the thirteen functions a host calls on the qvamz plug-in.
 *
 * Calling order of a source job: Logon (is_source != 0), GetFolderNames,
 * then per folder GetTrueFolder (optional), InitRead, ConvertFolder,
 * CloseRead; finally Logoff.  A target job: Logon (is_source == 0), then per
 * folder InitWrite, WriteMsg once per item, CloseWrite(0); finally Logoff.
 * GetLogonParameters and GetUserList may be called at any time.
 *
 * The host calls one export at a time from one thread.  Exports never
 * throw; failures are reported by result code and in the host log.
 * The switch string, directories and log are set up through libqvcom
 * (qv/qvcom.h) before Logon.
 */
#ifndef QV_QVAMZ_H
#define QV_QVAMZ_H

#include "qv/record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The calling convention of the exports and callbacks: __stdcall on
 * 32-bit Windows, the platform's default elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define QV_STDCALL __stdcall
#else
#define QV_STDCALL
#endif

#if defined(_WIN32)
#define QV_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define QV_EXPORT __attribute__((visibility("default")))
#else
#define QV_EXPORT
#endif

/* Item status codes given to the status callback. */
#define QV_STATUS_CONVERTED 0
#define QV_STATUS_DUPLICATE 1
#define QV_STATUS_OUT_OF_RANGE 2
#define QV_STATUS_SKIPPED 6

/* OutputMsg answers with a meaning; any other answer means accepted. */
#define QV_OUTPUT_REFUSED 1234
#define QV_OUTPUT_REFUSED_END_FOLDER 1235

/* Status callback: (record or null, text, status, two host counters, stop
 * flag).  During transfers the one given to Logon is called as
 * (NULL, "keepalive", 0, ...) at most every 30 seconds.  Its result is
 * ignored. */
typedef int(QV_STDCALL *qv_status_fn)(qv_message *msg, char *text, int status, int *counter1,
                                      int *counter2, int *stop);

/* Folder line callback of GetFolderNames: "%s {QV:%d:FCLASS:%d}" with the
 * internal path ("^" between levels), item count and folder type (0 mail,
 * 1 contacts, 2 calendar, 3 tasks). */
typedef int(QV_STDCALL *qv_folder_line_fn)(char *line);

/* Output callback of ConvertFolder: (record, host value, working
 * directory, 0-based index of this record in the call).  1234 refuses the
 * record, 1235 refuses it and ends the folder. */
typedef int(QV_STDCALL *qv_output_fn)(qv_message *msg, void *host_value, char *work_dir,
                                      int index);

/* 0 logged on; 1 wrong user or password, first_logon == 0, or a folder
 * listing error; 3 no HTTP answer (server name invalid); 4 other failure. */
QV_EXPORT int QV_STDCALL Logon(char *user, char *password, char *server, char *folder,
                               void *unused5, void *unused6, void *unused7, void *unused8,
                               void *unused9, void *unused10, char *host_text,
                               int upcoming_only, int first_logon, int is_source,
                               int item_kind, void *unused16, qv_status_fn status);

QV_EXPORT int QV_STDCALL Logoff(int shutdown);

/* Labels and preset switch strings of the host's logon dialog; always 0.
 * Buffers the host must give (texts are cut to fit; null pointers are
 * skipped): user_label, password_label, server_label, empty7, option_label
 * and empty13 32 bytes each; server_list 256 bytes (filled with the
 * tab-separated default EWS hosts only when empty on entry);
 * preset_switches 64 bytes ("" for a preset outside 0..7). */
QV_EXPORT int QV_STDCALL GetLogonParameters(int preset, void *unused2, void *unused3,
                                            char *user_label, char *password_label,
                                            char *server_label, char *empty7,
                                            char *option_label, void *unused9,
                                            void *unused10, char *server_list,
                                            void *unused12, char *empty13, void *unused14,
                                            char *preset_switches);

/* Turns a UTF-16LE mailbox listing into "address;address;display name"
 * lines.  1 written, 0 a file could not be opened. */
QV_EXPORT int QV_STDCALL GetUserList(char *input_path, char *output_path);

QV_EXPORT int QV_STDCALL GetFolderNames(void *unused, qv_folder_line_fn callback);

/* Copies the internal path of folder `index` into out (1024 bytes) and
 * returns the index; an index out of range returns the folder count and
 * leaves out empty. */
QV_EXPORT int QV_STDCALL GetTrueFolder(int index, char *out);

QV_EXPORT int QV_STDCALL InitRead(qv_message *msg, void *unused2, void *unused3,
                                  void *unused4, void *unused5, int max_items);

/* Reads folder `folder_index`; 0, or 99 when OutputMsg answered 1235. */
QV_EXPORT int QV_STDCALL ConvertFolder(qv_message *msg, qv_output_fn output,
                                       int folder_index, void *output_value,
                                       void *search1, void *search2, void *search3,
                                       void *attach_value, void *unused9,
                                       void *max_date_value, char *work_dir,
                                       int *out_count, int *out_size, qv_status_fn status);

QV_EXPORT int QV_STDCALL CloseRead(void *unused);

/* 0 target folder ready; 1 no target folder could be found or created. */
QV_EXPORT int QV_STDCALL InitWrite(qv_message *msg, char *folder_name, void *unused3,
                                   int folder_type);

/* 0 stored or queued; 1 no target folder; 1234 the item could not be sent. */
QV_EXPORT int QV_STDCALL WriteMsg(qv_message *msg, void *calendar_value, char *work_dir,
                                  void *unused4);

/* 0 ends the folder: a pending message bundle is sent. */
QV_EXPORT int QV_STDCALL CloseWrite(int close_kind);

QV_EXPORT int QV_STDCALL TestFile(void *unused1, void *unused2);

#ifdef __cplusplus
}
#endif

#endif /* QV_QVAMZ_H */
