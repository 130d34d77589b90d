/*
 * qv/qvcom_mime.h - libqvcom's MIME, charset, address, date parsing and job
 * filter operations.  Included by qv/qvcom.h.
 *
 * Conventions of qv/qvcom.h hold: every output buffer comes with its
 * capacity in bytes and is always NUL-terminated; text that does not fit is
 * cut at a UTF-8 character boundary.  Header texts produced here are UTF-8.
 *
 * Code pages are Windows code page numbers (1252, 28591, 65001, ...);
 * charsets are MIME names ("iso-8859-1", "utf-8", ...).  Known both ways:
 * us-ascii, the ISO-8859 family, windows-874 and windows-1250..1258,
 * KOI8-R/U, ISO-2022-JP/KR/CN, Shift_JIS, EUC-JP, EUC-KR and
 * ks_c_5601-1987, GB2312/GBK, GB18030, HZ, Big5, UTF-7, UTF-8, UTF-16,
 * UTF-32, the common IBM PC and Mac code pages; any other label that ICU
 * knows converts too.  Labels are read the way mail agents mean them:
 * iso-8859-1 and us-ascii text decodes as windows-1252, gb2312 as GBK,
 * euc-kr as windows-949, big5 as windows-950.
 *
 * Job filters.  Each filter has a host setting, given either by a
 * qvcom_set_* call or, when the host never made that call, by a switch in
 * the switch string (qvcom_set_switches; the value is the next token):
 *   date range        qvcom_set_date_range   "/FROMDATE" and "/TODATE"
 *   maximum date      qvcom_set_max_date     "/MAXDATE"
 *   skipped subjects  qvcom_set_skip_subjects "/SKIPSUBS"
 *   search text       qvcom_set_search_text  "/SEARCH"
 *   duplicate store   qvcom_set_duplicate_store "/DUPDB"
 *   address mapping   qvcom_set_address_translation "/ADDRMAP"
 * Switch dates are "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS" in UTC; a date
 * without a time means the whole day.  Lists are texts separated by "|".
 */
#ifndef QV_QVCOM_MIME_H
#define QV_QVCOM_MIME_H

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Encoded words (RFC 2047)                                            */
/* ------------------------------------------------------------------ */

/* Decodes the encoded words ("=?charset?B?...?=", "=?charset?Q?...?=") of
 * a header text in place, to UTF-8.  Blanks between two adjacent encoded
 * words are dropped and their bytes joined, so a character split across
 * words comes out whole.  Malformed words stay as they stand.  Returns the
 * code page of the first word's charset (65001 when that charset is
 * unknown), or 0 when the text held no encoded word (it is then left
 * untouched).  `reserved` is 0. */
QVCOM_API int com_Decode_iso(char *text, size_t capacity, int reserved);

/* Rewrites a header text in place for a message being written: words that
 * are not ASCII become "=?UTF-8?B?...?=" words of at most 75 characters;
 * addresses in angle brackets stay as they are and a quoted name keeps its
 * quotes.  Text that is not valid UTF-8 is first read in `codepage` (0 =
 * windows-1252).  Writes the charset name of the result ("UTF-8") into
 * `charset` (may be null).  Returns 0 when the result had to be cut (whole
 * encoded words are kept), else 1. */
QVCOM_API int com_Encode_iso(char *text, size_t capacity, int codepage, char *charset,
                             size_t charset_size);

/* ------------------------------------------------------------------ */
/* Code pages and charsets                                             */
/* ------------------------------------------------------------------ */

/* Both ways between code page numbers and charset names:
 *  - codepage != 0: writes its charset name into `charset` and returns
 *    `codepage`; returns 0 (and writes "") when it is unknown;
 *  - codepage == 0: returns the code page of the name in `charset`
 *    (case and surrounding quotes ignored), 0 when unknown. */
QVCOM_API int com_iso_codepage(int codepage, char *charset, size_t charset_size);

/* Converts a text in place from one code page to another (65001 = UTF-8;
 * 0 = windows-1252).  Characters the target lacks become its substitute.
 * Returns 1 on success, 0 when a code page is unknown (text unchanged) or
 * the result had to be cut. */
QVCOM_API int com_CodepageToWindows(char *text, size_t capacity, int from_codepage,
                                    int to_codepage);

/* Converts a text in place from the named charset to UTF-8.  An unknown
 * or empty name reads the text as UTF-8 when it is valid UTF-8, else as
 * windows-1252.  Returns 0 when the result had to be cut, else 1. */
QVCOM_API int com_CharsetToUTF8(const char *charset, char *text, size_t capacity);

/* Converts a whole file from the named charset to UTF-8 into another file,
 * as one stream (multi-byte characters, shift states and UTF-16 line ends
 * stay whole; memory does not grow with the file).  The same path for
 * both converts the file in place: it is then read whole into memory and
 * only overwritten once the conversion succeeded.  An unknown name reads
 * as windows-1252.  Returns 1 on success, 0 when a file cannot be opened
 * or written. */
QVCOM_API int com_ConvertFileToUTF8(const char *source_path, const char *target_path,
                                    const char *charset);

/* ------------------------------------------------------------------ */
/* Addresses (RFC 5322)                                                */
/* ------------------------------------------------------------------ */

/* Takes the next mailbox of an address list.  *cursor points into the
 * list; the mailbox text (trimmed, otherwise as it stands) goes to `out`
 * and *cursor moves past its separator.  Separators are "," and ";"
 * outside quoted strings, comments, angle brackets and encoded words; a
 * group's name ("Team:" in "Team: a@x, b@x;") is dropped, so its members
 * come out one by one and an empty group gives an empty text.  Returns 1
 * when more text follows, 0 when this was the last mailbox. */
QVCOM_API int com_Extract_Adr(const char **cursor, char *out, size_t out_size);

/* Splits one mailbox into display name and address: "Name <addr>",
 * "\"Last, First\" <addr>", "<addr>", "addr", "addr (Name)".  The name
 * loses its quotes, backslash escapes and surplus blanks; a route in the
 * angle address ("<@relay:addr>") is dropped.  A text without "@" and
 * without blanks counts as an address, one with blanks as a name.  Either
 * output may be null.  Returns 1 when a name or an address was found. */
QVCOM_API int com_ExtractMIMEAddr(const char *text, char *name, size_t name_size, char *address,
                                  size_t address_size);

/* ------------------------------------------------------------------ */
/* Dates                                                               */
/* ------------------------------------------------------------------ */

/* Parses a mail date into msg->date (UTC FILETIME): RFC 5322 with and
 * without weekday and seconds, obsolete two- and three-digit years
 * (below 50 = 20xx), numeric zones and zone names (UT, GMT, EST ... PDT,
 * CET, JST and other common ones; military letters count as UTC), zone
 * comments, asctime ("Sun Dec  6 15:04:05 2026"), ISO 8601 and US
 * "M/D/YYYY [h:mm AM]".  A text without a zone is UTC.  On failure
 * msg->date becomes 0 (year 1601).  Returns 1 when a date was read. */
QVCOM_API int com_Parse_Mime_Date(const char *text, qv_message *msg);

/* ------------------------------------------------------------------ */
/* Job filters (plug-in side)                                          */
/* ------------------------------------------------------------------ */

/* The job's date range as the server compares it (both bounds exclusive):
 * the first second before the range and the first second after it.
 * Returns 1 when a range is set; else 0 and both dates 0. */
QVCOM_API int com_GetDateRange(qv_filetime *start, qv_filetime *end);

/* 2 when msg->date lies after the job's maximum date, 1 when it does not,
 * 0 when no maximum is set or the message has no date.  A non-zero
 * `host_value` is a maximum given by the host for this call (seconds since
 * 1970, UTC) and wins over the setting. */
QVCOM_API int com_Check_MaxMsgDate(const qv_message *msg, int64_t host_value);

/* 0 when a calendar start or a task start (*start) lies outside the job's
 * date range, else 1 (also when no range is set or the date is null). */
QVCOM_API int com_Check_MaxCalDate(qv_filetime start);
QVCOM_API int com_Check_MaxTaskDate(const qv_filetime *start);

/* Non-zero when `line` (a formatted "RFC subject: ..." log line) contains
 * one of the job's skipped-subject texts, ignoring case. */
QVCOM_API int com_ExcludeSubject(const char *line);

/* Search fields for com_SearchMsg; 0 means all of them. */
#define QVCOM_SEARCH_SUBJECT 1
#define QVCOM_SEARCH_SENDER 2
#define QVCOM_SEARCH_RECIPIENTS 4
#define QVCOM_SEARCH_BODY 8

/* 1 when the message matches the job's search text (any of its "|"
 * alternatives, ignoring case in every script) in the chosen fields, or
 * when no search text is set; else 0.  Text bodies (part types 1, 9, 12)
 * are read from their part files in work_dir as a stream; embedded
 * messages are searched too.  `reserved1`, `reserved2` are passed through
 * from the host and not used. */
QVCOM_API int com_SearchMsg(const qv_message *msg, const char *work_dir, int fields,
                            int reserved1, int reserved2);

/* Modes of com_MsgIsDuplicate. */
#define QVCOM_DUP_CHECK 101    /* answer whether the item was migrated */
#define QVCOM_DUP_REMEMBER 102 /* record that the item was migrated */
#define QVCOM_DUP_IDENTIFY (-99) /* fill an empty binary_id from the key */

/* The persistent duplicate store.  An item's key is a SHA-256 over the
 * store's scope, the folder name and the item's content: its texts,
 * dates, recipients, parts and part file bytes (embedded messages
 * included).  State that changes without the item changing - read,
 * flagged, replied, forwarded, categories, msg_number, a date the reader
 * made up - is left out, so a second run over the same folder finds every
 * item again while an edited item is new.
 *  - 101: 1 when the key is in the store, else 0 (also without a store);
 *  - 102: stores the key (the one of the last 101 call on this record and
 *    folder, so that parts dropped in between do not change it); 0;
 *  - -99: when msg->binary_id is all zero, fills it with the first 16
 *    bytes of the key; 0. */
QVCOM_API int com_MsgIsDuplicate(qv_message *msg, const char *work_dir, int mode,
                                 const char *folder);

/* Replaces addresses found in the job's translation file: the sender,
 * every recipient, the organizer, the contact addresses, and an address
 * in angle brackets inside the sender name, in embedded messages too.
 * Matching ignores ASCII case.  Returns the number of replacements. */
QVCOM_API int com_AddressTranslate(qv_message *msg);

/* ------------------------------------------------------------------ */
/* Job filters (host side)                                             */
/* ------------------------------------------------------------------ */

/* Date range, both days included: `first` is the first moment and `last`
 * the last moment that belongs to it (UTC FILETIMEs).  A null `last`
 * means no upper bound; a null `first` with a `last` starts in 1970; both
 * null clear the range. */
QVCOM_API void qvcom_set_date_range(qv_filetime first, qv_filetime last);

/* Latest message date taken over (included); 0 clears it. */
QVCOM_API void qvcom_set_max_date(qv_filetime last);

/* Subject texts to skip, separated by "|"; null or "" clears the list. */
QVCOM_API void qvcom_set_skip_subjects(const char *list);

/* Search text, alternatives separated by "|"; null or "" clears it. */
QVCOM_API void qvcom_set_search_text(const char *text);

/* Opens the duplicate store at `path` (created with its directories when
 * missing).  Null `path` means the default store,
 * "$XDG_STATE_HOME/quovera/duplicates.sqlite" (or
 * "~/.local/state/quovera/duplicates.sqlite"); "" turns the store off.
 * `scope` (may be null) is mixed into every key, so one store can serve
 * several source/target pairs; hosts pass the job's source and target
 * mailbox.  Until a store is set (here or by "/DUPDB"), nothing is a
 * duplicate.  Returns 0 when the store cannot be opened. */
QVCOM_API int qvcom_set_duplicate_store(const char *path, const char *scope);

/* For hosts that remember items only once the target acknowledged them,
 * many at a time.  qvcom_last_duplicate_key copies the 32-byte key of the
 * last com_MsgIsDuplicate 101 call into `key`: 1, or 0 when that call had
 * no store (or none was made).  qvcom_remember_duplicate_keys stores
 * `count` such keys (32 bytes each, one after the other) under `folder`,
 * in one transaction; 0 when there is no store. */
QVCOM_API int qvcom_last_duplicate_key(unsigned char *key);
QVCOM_API int qvcom_remember_duplicate_keys(const unsigned char *keys, size_t count,
                                           const char *folder);

/* The address translation file: a CSV file of two columns, old address
 * and new address (quotes as in RFC 4180; ";" or a tab separate the
 * columns of a line that has no ","; lines beginning with "#" and lines
 * with fewer than two columns are skipped).  Null or "" clears it.
 * Returns the number of mappings read, -1 when the file cannot be read. */
QVCOM_API int qvcom_set_address_translation(const char *csv_path);

/* Clears every host setting of the filters (the switches apply again) and
 * closes the duplicate store. */
QVCOM_API void qvcom_reset_filters(void);

#ifdef __cplusplus
}
#endif

#endif /* QV_QVCOM_MIME_H */
