/*
 * qv/record.h - the message record shared by the host, libqvcom and the
 * plug-ins.
 *
 * One record carries one item (mail, contact, distribution list, calendar
 * item, task) across the plug-in boundary.  The host owns the record and
 * reuses it for every item; libqvcom allocates and frees its sub-records
 * (qv/qvcom.h).  The layout is byte-packed and fixed: field order, widths
 * and capacities are part of the binary contract with every host and
 * plug-in built against this header.  Do not reorder fields.
 *
 * Strings are NUL-terminated 8-bit arrays in the code page given by
 * `codepage` unless stated otherwise.  Dates are FILETIME values: 100 ns
 * units since 1601-01-01, UTC.
 *
 * The content of part i of a record lives in the working directory in the
 * file "%sPRT%03d%02d.TMP" (working directory, msg_number, i).
 */
#ifndef QV_RECORD_H
#define QV_RECORD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Capacities of the record's arrays. */
#define QV_MAX_PARTS 500
#define QV_MAX_RECIPIENTS 5000
#define QV_MAX_BREAKOUTS 512

/* Item kinds (item_type).  Every value not listed is treated as mail. */
#define QV_ITEM_MAIL 0
#define QV_ITEM_CONTACT 1
#define QV_ITEM_CALENDAR 2
#define QV_ITEM_TASK 3
#define QV_ITEM_SKIP 7

/* Part type codes (part_type), as far as writers use them. */
#define QV_PART_ATTACHMENT 0
#define QV_PART_TEXT_BODY 1
#define QV_PART_HTML_BODY 9
#define QV_PART_HEADERS 11
#define QV_PART_INLINE_TEXT 12
#define QV_PART_NOT_WRITTEN 13
#define QV_PART_EMBEDDED_MSG 14
#define QV_PART_MOVED_ATTACHMENT 18

/* Recipient kinds; every other value (readers use 3) is a To recipient. */
#define QV_RECIP_TO 3
#define QV_RECIP_CC 11
#define QV_RECIP_BCC 12
#define QV_RECIP_ORGANIZER 31

typedef uint64_t qv_filetime; /* 100 ns units since 1601-01-01 UTC */

#pragma pack(push, 1)

struct qv_message;

typedef struct qv_part {
    char file_name[512];     /* attachment name, "RAWRFC.dat" or "pgp message" */
    uint32_t size;           /* bytes in the part file */
    int32_t part_type;       /* QV_PART_* */
    char content_id[1024];   /* inline Content-ID, or the link of a moved part */
    struct qv_message *sub_message; /* type 14 only */
    char charset[32];        /* body charset name, at most 30 characters */
} qv_part;

typedef struct qv_recipient {
    char name[512];
    char address[256];
    int32_t kind;     /* QV_RECIP_* */
    int32_t response; /* 0 none, 1 accepted, 2 declined, 3 tentative */
} qv_recipient;

typedef struct qv_breakout {
    int32_t kind; /* 0 modified occurrence, 1 deleted occurrence */
    qv_filetime original_start;
    qv_filetime start; /* 0 for a deleted occurrence */
    qv_filetime end;   /* 0 for a deleted occurrence */
    char subject[256];
    char location[256];
    char description_file[256];
    char attendee_file[256];
} qv_breakout;

typedef struct qv_message {
    qv_part *parts[QV_MAX_PARTS];
    qv_recipient *recipients[QV_MAX_RECIPIENTS];
    qv_breakout *breakouts[QV_MAX_BREAKOUTS];
    int32_t part_count;
    int32_t recipient_count;
    int32_t breakout_count;
    int32_t item_type;
    char group_folder[512];
    char from_name[512];
    char from_address[256];
    char sent_representing[768];
    char subject[528];
    qv_filetime date;
    int32_t priority; /* 0 low, 1 normal, 2 high */
    int32_t unread;
    uint8_t binary_id[16];
    int32_t msg_number;
    char message_id[128];
    int32_t flag_status; /* 0 none, 1 complete, 2 flagged */
    int32_t forwarded;
    int32_t replied;
    int32_t codepage;
    char uid[128];
    char message_charset[32];
    int32_t date_missing;
    char first_name[512];
    char last_name[512];
    char middle_name[512];
    char title[512];
    char location[512];
    char department[512];
    char manager[512];
    char assistant_name[512];
    char business_phone[512];
    char home_phone[512];
    char other_phone[512];
    char business_phone2[512];
    char assistant_phone[512];
    char business_fax[512];
    char mobile_phone[512];
    char company[512];
    char business_street[512];
    char business_street2[512];
    char business_city[512];
    char business_state[512];
    char business_postal_code[512];
    char business_country[512];
    char email1[768];
    char email2[512];
    char email3[512];
    int32_t contact_kind; /* 1 distribution list */
    char pager[512];
    char web_page[512];
    char home_street[512];
    char home_street2[512];
    char home_city[512];
    char home_state[512];
    char home_postal_code[512];
    char home_country[512];
    char categories[1024]; /* names separated by ";" */
    char address_book_name[1024];
    char file_as[512];
    uint16_t entry_type;
    qv_filetime start_time;
    qv_filetime end_time;
    qv_filetime complete_date;
    uint16_t is_private;
    uint16_t busy_status;
    int16_t recur_type;
    int32_t recur_interval;
    int32_t recur_week_index;
    int32_t recur_days;
    int32_t recur_month;
    int32_t recur_day_of_month;
    int32_t recur_range;
    int32_t recur_count;
    qv_filetime recur_end;
    int32_t percent_complete;
    char organizer_name[512];
    int32_t reminder_set;
    int32_t reminder_minutes;
    int32_t rsvp; /* calendar: non-zero when responses are requested */
    int32_t user_is_organizer;
    char delivered_to[256];
    qv_filetime reminder_time;
    char organizer_address[260];
    int32_t all_day;
    int32_t task_status;
    int32_t importance;
    char time_zone[136];
    int32_t folder_total;
} qv_message;

#pragma pack(pop)

#ifdef __cplusplus
}
#endif

#endif /* QV_RECORD_H */
