// Functions of c_header_check.c, compiled as C.
#ifndef QVCOM_TESTS_C_HEADER_CHECK_H
#define QVCOM_TESTS_C_HEADER_CHECK_H
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
size_t c_sizeof_message(void);
size_t c_sizeof_part(void);
size_t c_sizeof_recipient(void);
size_t c_sizeof_breakout(void);
size_t c_offset_of_folder_total(void);
size_t c_offset_of_sub_message(void);
int c_calls_library(void);
#ifdef __cplusplus
}
#endif
#endif
