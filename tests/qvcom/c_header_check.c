/* Compiled as C: the public headers must stay usable from C hosts, with
 * the same record layout as C++ sees. */
#include <stddef.h>

#include "qv/qvcom.h"
#include "qv/record.h"

#include "c_header_check.h"

size_t c_sizeof_message(void) { return sizeof(qv_message); }
size_t c_sizeof_part(void) { return sizeof(qv_part); }
size_t c_sizeof_recipient(void) { return sizeof(qv_recipient); }
size_t c_sizeof_breakout(void) { return sizeof(qv_breakout); }
size_t c_offset_of_folder_total(void) { return offsetof(qv_message, folder_total); }
size_t c_offset_of_sub_message(void) { return offsetof(qv_part, sub_message); }

int c_calls_library(void) {
    char token[16];
    char text[32] = "a<b";
    qvcom_set_switches("/C;\"x y\"");
    if (!com_GetParm(1, token, sizeof token) || com_stristr(token, "X Y", 0) != token) {
        return 0;
    }
    return com_Escape(text, sizeof text, 1) && com_stristr(text, "&LT;", 0) != NULL;
}
