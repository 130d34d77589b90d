/*
 * qv/qvcom.h - libqvcom, the common library shared by the host and its
 * plug-ins.
 *
 * Two halves:
 *  - the plug-in side (com_*): logging, switch tokens, host directories,
 *    message record storage, text and file helpers;
 *  - the host side (qvcom_*): how a host sets the library up (switch
 *    string, directories, log file, loss reports) and scrambles secrets
 *    before it puts them into a switch string.
 *
 * Conventions: every function that writes into a caller's buffer takes the
 * buffer's capacity in bytes and always NUL-terminates (truncating when the
 * text does not fit).  Unless stated otherwise, functions return non-zero
 * for success and 0 for failure.  All functions are safe to call with null
 * pointers, which count as failure or empty text.  The library keeps its
 * settings module-wide; a host sets them up before it loads a plug-in and
 * calls into it from one thread.
 */
#ifndef QV_QVCOM_H
#define QV_QVCOM_H

#include <stddef.h>
#include <stdint.h>

#include "qv/record.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define QVCOM_API __declspec(dllexport)
#else
#define QVCOM_API __attribute__((visibility("default")))
#endif

/* ------------------------------------------------------------------ */
/* Host side: set-up                                                   */
/* ------------------------------------------------------------------ */

/* Directory numbers for qvcom_set_directory() and com_GetDirectory(). */
#define QVCOM_DIR_BASE 2 /* base of the debug folders */
#define QVCOM_DIR_WORK 6 /* working directory of request and part files */

/* The switch string that com_GetParm() tokenizes.  Null clears it. */
QVCOM_API void qvcom_set_switches(const char *switches);

/* Sets directory `which` (2 or 6).  A separator is appended when missing;
 * null or "" unsets it.  Returns 0 for an unknown number. */
QVCOM_API int qvcom_set_directory(int which, const char *path);

/* Opens (appending) the host log.  Null or "" sends log lines to stderr.
 * Returns 0 when the file cannot be opened; lines then go to stderr. */
QVCOM_API int qvcom_set_log_file(const char *path);

/* Closes the host log file. */
QVCOM_API void qvcom_close_log(void);

/* Receives loss reports (com_ReportLoss): kind, number of items lost. */
typedef void (*qvcom_loss_handler)(int kind, int count, void *context);
QVCOM_API void qvcom_set_loss_handler(qvcom_loss_handler handler, void *context);

/* Scrambles `plain` for a switch string: "~" followed by two lower-case hex
 * digits per byte, byte k shifted by entry k mod 26 of the shared key table
 * (arithmetic modulo 256).  Returns 0 when `out` is too small. */
QVCOM_API int qvcom_scramble(const char *plain, char *out, size_t out_size);

/* The shared key table: entry k (0..25) of the scrambling key; other
 * values of k are taken modulo 26.  The table never changes. */
QVCOM_API int qvcom_scramble_key(int k);

/* ------------------------------------------------------------------ */
/* Plug-in side: logging, switches, directories                        */
/* ------------------------------------------------------------------ */

/* One printf-style line in the host log, prefixed with the local time.
 * A trailing line feed in the text is not doubled; embedded line feeds are
 * kept (a multi-line block stays one log entry). */
QVCOM_API void com_Log(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

/* Copies switch token `index` (0-based) into `out`.  Tokens are separated
 * by ";", blanks, tabs or line ends; double quotes group a token holding
 * any of them and are removed (a quote left open runs to the end).  Empty
 * tokens between consecutive separators are skipped; a quoted empty token
 * ("") is kept.  Returns non-zero while such a token exists (a token longer
 * than out_size - 1 is cut). */
QVCOM_API int com_GetParm(int index, char *out, size_t out_size);

/* The host directory `which` (2 or 6), ending with a separator.  Returns 0
 * (out is then "") when it was never set or does not fit whole. */
QVCOM_API int com_GetDirectory(int which, char *out, size_t out_size);

/* Registry reads.  There is no registry on this platform: both answer
 * "not found" (0) and leave the output empty or unchanged. */
QVCOM_API int com_GetRegDword(int root, const char *key_path, const char *value_name,
                              uint32_t *out);
QVCOM_API int com_GetRegString(int root, const char *key_path, const char *value_name,
                               char *out, size_t out_size);

/* ------------------------------------------------------------------ */
/* Message record storage                                              */
/* ------------------------------------------------------------------ */

/* A zeroed part / recipient / breakout record at index part_count
 * (recipient_count, breakout_count).  The caller fills it and then adds 1
 * to the count.  Null when the array is full (500 parts, 5000 recipients,
 * 512 breakouts) or the count is negative.  Calling twice without counting
 * returns the same record, zeroed again.
 *
 * The host hands the library a zeroed record (or one reset with
 * com_ResetObject); every non-null pointer in it then belongs to the
 * library, counted or not, and is freed by the release calls below.
 * Embedded messages may nest to any depth: the release and size walks
 * are iterative. */
QVCOM_API qv_part *com_AllocPart(qv_message *msg);
QVCOM_API qv_recipient *com_AllocRecip(qv_message *msg);
QVCOM_API qv_breakout *com_AllocBreakout(qv_message *msg);

/* A fresh, zeroed embedded message in parts[part_index]->sub_message
 * (replacing and freeing one already there).  The part must have been
 * allocated (it need not be counted yet).  The new record gets a
 * msg_number of its own (900000 to 999999, handed out in turn) so that its
 * part files never collide with those of the message that holds it.  Null
 * for a bad index or when memory runs out. */
QVCOM_API qv_message *com_AllocSubMsg(qv_message *msg, int part_index);

/* Frees every sub-record (recursively through embedded messages) and
 * zeroes the whole record, keeping group_folder and msg_number. */
QVCOM_API void com_ResetObject(qv_message *msg);

/* Frees every sub-record and resets the counts; the part files stay. */
QVCOM_API void com_Deallocate(qv_message *msg, const char *work_dir);

/* Like com_Deallocate, and deletes the part files "%sPRT%03d%02d.TMP" of
 * the record and of its embedded messages (every slot holding a record,
 * counted or not).  A null work_dir means the host's working directory. */
QVCOM_API void com_Deallocate_All(qv_message *msg, const char *work_dir);

/* Sizes of a record: *header_size the bytes of the record and its counted
 * sub-records (embedded messages included), *total_size that plus the
 * `size` of every counted part, at every depth.  Both saturate at
 * UINT32_MAX. */
QVCOM_API void com_CalcMdatSize(const qv_message *msg, uint32_t *header_size,
                                uint32_t *total_size);

/* Fills every counted part's `size` from its part file (a part without a
 * file keeps its size), in the record and its embedded messages.  With
 * limit > 0, parts of type 0 larger than `limit` bytes are dropped (their
 * files deleted, the later parts and their files moved down one place) and
 * a "QV Warning:" line names each.  `item_index` is the caller's item
 * number, only shown in that line.  A null work_dir means the host's
 * working directory.  Returns the number of parts dropped. */
QVCOM_API int com_AttachSize(qv_message *msg, const char *work_dir, int item_index,
                             int64_t limit);

/* Tells the host how many items of a failed request were lost (through
 * the loss handler; without one, a "QV Warning:" log line). */
QVCOM_API void com_ReportLoss(int kind, int count, int reserved);

/* The notes of a contact, task or calendar item are its text body part
 * (type 1, charset "utf-8"), in a part file like a mail body.
 * com_WriteNotes stores `text` there: into the record's first text body
 * part when it has one, else into a new part at part_count.  Empty text
 * stores nothing and succeeds.  Returns 0 when no part can be added or the
 * file cannot be written (nothing is counted then).  A null work_dir means
 * the host's working directory.
 * com_ReadNotes copies that text into `out` (capacity out_size), cut at a
 * UTF-8 boundary when it does not fit, and returns the bytes copied; 0 and
 * "" when the record has no notes. */
QVCOM_API int com_WriteNotes(qv_message *msg, const char *text, const char *work_dir);
QVCOM_API int64_t com_ReadNotes(const qv_message *msg, char *out, size_t out_size,
                                const char *work_dir);

/* ------------------------------------------------------------------ */
/* Text helpers                                                        */
/* ------------------------------------------------------------------ */

/* First occurrence of `needle` in `text`, ignoring ASCII letter case; null
 * when absent.  An empty needle matches at the start. */
QVCOM_API const char *com_stristr(const char *text, const char *needle, int reserved);

/* At most n characters of src and a terminator (dest holds n + 1 bytes). */
QVCOM_API char *com_strncpy(char *dest, const char *src, size_t n);

/* Lower-case hexadecimal of n bytes; out holds 2n + 1 bytes or is cut. */
QVCOM_API void com_HexString(const void *bytes, char *out, size_t out_size, size_t n);

/* Logs `title` and then n bytes as hex and printable characters,
 * 16 bytes a line. */
QVCOM_API void com_HexDump(const char *title, const void *data, size_t n);

/* In place: "/" to "^" and back (folder path delimiter). */
QVCOM_API void com_SlashToDelim(char *path);
QVCOM_API void com_DelimToSlash(char *path);

/* In place: a name usable as a file name (characters \ / : * ? " < > |
 * and control characters become "_", and "." or ".." become "_" or "__").
 * The length never changes, so an empty name stays empty. */
QVCOM_API void com_MakeValidDosName(char *name, int reserved);

/* Size of a file in bytes, 0 when absent; also stored in *out when given. */
QVCOM_API int64_t com_GetFileSize(const char *path, int64_t *out);

/* XML escaping in place: & < > " ' become entities.  mode is accepted for
 * compatibility (1 = escape for XML).  The text never grows past
 * `capacity` - 1 bytes; when it would, it is cut before the entity or
 * UTF-8 character that does not fit.  Returns 0 when the text was cut (or
 * capacity is 0, when it is left alone). */
QVCOM_API int com_Escape(char *text, size_t capacity, int mode);

/* Undoes the five XML entities and numeric character references (&#N; and
 * &#xH;, written as UTF-8) in place.  Unknown or malformed references, and
 * numbers that are no character (0, surrogates D800-DFFF, above 10FFFF),
 * are left as they stand. */
QVCOM_API void com_Unescape(char *text);

/* In place: leading blanks and tabs removed / trailing blanks, tabs, CR
 * and LF removed / every run of blanks and tabs made one blank and the
 * text trimmed at both ends. */
QVCOM_API char *com_ltrim(char *text);
QVCOM_API char *com_rtrim(char *text);
QVCOM_API char *com_delspaces(char *text);

/* In place: one pair of surrounding double (or single) quotes removed,
 * after trimming. */
QVCOM_API char *com_Remove_Quotes(char *text);

/* In place: the line end (CR, LF) and the blanks around the text removed. */
QVCOM_API char *com_TrimLine(char *text);

/* Appends a "/" unless the path already ends with a separator or is empty
 * (the current directory, which "/" would turn into the root); returns 0
 * when it does not fit. */
QVCOM_API int com_AppendSlash(char *path, size_t capacity);

/* The extension of a file name without its dot ("" when none), and the
 * directory part of a path including its trailing separator. */
QVCOM_API void com_ExtractFileExt(const char *path, char *out, size_t out_size);
QVCOM_API void com_ExtractFileDir(const char *path, char *out, size_t out_size);

/* Copies a file; non-zero on success. */
QVCOM_API int com_fcopy(const char *source, const char *destination);

/* Decodes the base64 text in a file in place (whitespace and line ends are
 * skipped; decoding stops at padding or at the first character outside
 * the alphabet).  Memory use is bounded whatever the file size: a file of
 * up to 1 MiB is decoded in memory and written back over itself, a larger
 * one goes through a temporary file in work_dir (null: the host's working
 * directory; "": the file's own folder).  Returns the number of bytes decoded, or -1 when a
 * file could not be opened or written; the original then stays as it
 * was. */
QVCOM_API int64_t com_convert_base64(const char *path, const char *work_dir);

/* ------------------------------------------------------------------ */
/* Dates                                                               */
/* ------------------------------------------------------------------ */

/* Non-zero when the date counts as no date (0). */
QVCOM_API int com_DateIsNull(qv_filetime date);

/* Adds a signed number of minutes to *date.  A null date stays null; the
 * result never wraps (it stops at the first tick after 1601 or at the
 * largest value). */
QVCOM_API void com_OffsetFileTimeVal(qv_filetime *date, int minutes);

/* Logs "<title>: YYYY-MM-DD HH:MM:SS UTC". */
QVCOM_API void com_LogFileTime(const char *title, qv_filetime date);

/* Display text of a date in local time, "Sun, 06 Dec 2026 15:04"; "" for
 * a null date. */
QVCOM_API void com_DateDisplayText(qv_filetime date, char *out, size_t out_size);

/* FILETIME of the current time, and conversions to and from time_t. */
QVCOM_API qv_filetime com_FileTimeNow(void);
QVCOM_API qv_filetime com_UnixToFileTime(int64_t unix_seconds);
QVCOM_API int64_t com_FileTimeToUnix(qv_filetime date);

/* ------------------------------------------------------------------ */
/* Time zones (rules from ICU's zone data)                             */
/* ------------------------------------------------------------------ */

/* The tz database id of the host's zone: TZ (a leading ":" dropped), else
 * the target of /etc/localtime, else ICU's detection; "UTC" when all
 * fail.  Returns 0 when it did not fit. */
QVCOM_API int com_HostTimeZoneId(char *out, size_t out_size);

/* Non-zero when daylight saving time is in force at UTC instant `date`
 * under the host's zone rules.  A null date answers 0. */
QVCOM_API int com_DateIsDST(qv_filetime date, int reserved);

/* The offsets of a zone named by tz database id ("America/New_York") or
 * Windows id ("Eastern Standard Time"): *bias its standard bias in minutes
 * (UTC = local + bias, 300 for New York), *daylight_bias the extra bias
 * while daylight saving time is in force (-60; 0 for a zone without it),
 * *has_daylight 1 when the zone observes daylight saving time.  Returns 0
 * (all outputs 0) for a zone ICU does not know. */
QVCOM_API int com_GetTZInfo(const char *zone_name, int32_t *bias, int32_t *daylight_bias,
                            int32_t *has_daylight, int reserved);

/* Non-zero when daylight saving time is in force in zone `zone_name`
 * (named as for com_GetTZInfo) at `local_standard`, a time held as the
 * zone's standard local time (UTC minus the standard bias).  daylight_bias
 * is accepted for compatibility; the zone's own rules decide.  *state is 1
 * on return when the zone is known and 0 when it is not (the answer is
 * then 0). */
QVCOM_API int com_TZDateIsDST(qv_filetime local_standard, const char *zone_name,
                              int daylight_bias, int32_t *state);

/* ------------------------------------------------------------------ */
/* Calendar: zones and recurrences as iCalendar (RFC 5545)             */
/* ------------------------------------------------------------------ */

/* The VTIMEZONE component of zone `zone_name` (named as for
 * com_GetTZInfo), generated from ICU's rules, with the rules in force from
 * UTC instant `from` on (0: from now), lines ended by CR LF; and the TZID
 * it carries (the tz database id, "America/New_York" for "Eastern
 * Standard Time").  A history that does not fit `vtimezone_size` gives
 * the zone's rule at `from` alone.  Returns 0 (both outputs "") for a zone
 * ICU does not know or when nothing fits. */
QVCOM_API int com_GetVTimeZone(const char *zone_name, qv_filetime from, char *vtimezone,
                               size_t vtimezone_size, char *tzid, size_t tzid_size);

/* The RRULE value of the record's recurrence (recur_type 1 to 7, with
 * recur_interval, recur_days, recur_week_index, recur_month,
 * recur_day_of_month; recur_range 0 COUNT, 1 UNTIL, 2 no end).  UNTIL is
 * the end of the last day of the series in the record's zone (time_zone,
 * else the host's zone) as UTC, or a date for a dated entry (entry_type 1
 * or 2, or all_day).  Returns 0 and "" when the record does not recur or
 * the value does not fit. */
QVCOM_API int com_Genrrule(const qv_message *msg, char *out, size_t out_size);

/* *count := the number of occurrences of the record's series from
 * start_time to its end (recur_count for a numbered series), counted in the
 * record's zone as the server places them (a monthly day past the end of a
 * shorter month falls on its last day); at most 100000.  `start_weekday`
 * and the reserved values are accepted for compatibility: the series start
 * gives the day.  Returns 0 (*count 0) for a series without an end or a
 * record that does not recur. */
QVCOM_API int com_ExpandRecur(const qv_message *msg, int reserved1, int reserved2,
                              int32_t *count, int start_weekday, const char *work_dir);

#ifdef __cplusplus
}
#endif

#include "qv/qvcom_mime.h"

#endif /* QV_QVCOM_H */
