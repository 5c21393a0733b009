/*
 * durl certificate half: trusted CA store, device certificate, certificate information,
 * verification, issuance and signing requests, on files and directories whose paths are
 * settings of the default transfer handle (see durl.h).
 */
#ifndef DL_CA_H
#define DL_CA_H

#ifdef __cplusplus
extern "C" {
#endif

#include "durl.h"

#include <stddef.h>
#include <stdint.h>

/* Certificate file encodings. */
#define DL_CA_TYPE_PEM 0
#define DL_CA_TYPE_DER 1

/** Status block of the extended calls: cleared, then filled by the call. */
typedef struct dl_ca_status {
    int32_t code;      /* outcome code, given per function */
    char message[256]; /* text for the caller; empty unless the function writes one */
} dl_ca_status;

/* ---- certificate file primitives, information, trusted store, device certificate ---- */

/* ---- verification, issuance, signing requests ---- */

#ifdef __cplusplus
}
#endif

#endif /* DL_CA_H */
