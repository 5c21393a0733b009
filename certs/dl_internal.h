// Internal: certificate-half pieces shared between its source files.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "dl_ca.h"
#include "handle.h"
#include "raii.h"

// ---------------------------------------------- file primitives (file_primitives.cpp)

// MD5 of a file as 32 lowercase hex digits plus NUL (out: at least 33 bytes). 0 or -1.
int dl_get_file_md5(const char *path, char *out);
// Copy source to target (through a temporary sibling renamed into place). 0 or -1.
int dl_copy_file(const char *source, const char *target);
// 1 when path names a directory, else 0.
int dl_path_is_directory(const char *path);
// DL_CA_TYPE_PEM, DL_CA_TYPE_DER, or -1 when the file can't be opened.
int dl_get_ca_type(const char *path);
// Read a certificate / private key in the given encoding from an open BIO (caller frees).
X509 *dl_get_x509(int type, BIO *bio);
EVP_PKEY *dl_get_pri_key(int type, BIO *bio);
// PEM password callback: the given pass phrase, or the default handle's ssl_passwd.
int dl_password_cb(char *buf, int size, int rwflag, void *userdata);
