/*
 * qv/qvcom_mime.h - libqvcom's MIME, charset, address, date parsing and job
 * filter operations.  Included by qv/qvcom.h.
 */
#ifndef QV_QVCOM_MIME_H
#define QV_QVCOM_MIME_H

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* QV_QVCOM_MIME_H */
