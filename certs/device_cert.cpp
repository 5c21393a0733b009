// Device certificate store: the device's own certificate and private key in one PEM file
// D (the ssl_ca_file setting), which transfers present as TLS client certificate.
//
// D always holds a private key, so every write of it makes an owner-only file (0600) and
// goes through a temporary sibling renamed into place: a failed install leaves the device
// certificate exactly as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "dl_frame.h"
#include "dl_internal.h"

namespace {

struct device_paths {
    std::string file;  // D
    int32_t ssl_version;
};

device_paths device_settings() {
    durl_config cfg = durl_config_snapshot(nullptr);
    return {cfg.ssl_ca_file, cfg.ssl_version};
}

// Text before the last "/" of path; false when there is none or it is the first character.
bool cut_last(const std::string &path, std::string &out) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    out = path.substr(0, slash);
    return true;
}

// Install result of a failed pair check.
int pair_failure(dl_pair_result rc) {
    switch (rc) {
        case dl_pair_result::wrong_method:
            return DL_DEV_WRONG_METHOD;
        case dl_pair_result::no_certificate:
            return DL_DEV_CERT_UNLOADABLE;
        case dl_pair_result::no_key:
            return DL_DEV_KEY_UNLOADABLE;
        case dl_pair_result::mismatch:
            return DL_DEV_KEY_MISMATCH;
        default:
            return DL_DEV_TLS_FAILURE;
    }
}

bool same_digest(const char *file, const std::string &other) {
    char a[512] = {0};
    char b[512] = {0};
    dl_get_file_md5(file, a);
    dl_get_file_md5(other.c_str(), b);
    return a[0] && std::strcmp(a, b) == 0;
}

// Certificate and key read from a file in the encoding it shows (rewound between the two
// reads). Only the halves asked for are read.
void read_halves(dl_cert_file &in, durl::X509Ptr *cert, durl::EvpPkeyPtr *key) {
    if (cert) *cert = in.certificate();
    in.rewind();
    if (key) *key = in.private_key();
}

// True when the file holds a PEM private-key block, readable or not.
bool holds_key_block(const std::string &path) {
    durl::FilePtr f(std::fopen(path.c_str(), "r"));
    char line[1024];
    while (f && std::fgets(line, sizeof line, f.get()))
        if (std::strstr(line, "-----BEGIN") && std::strstr(line, "PRIVATE KEY-----")) return true;
    return false;
}

}  // namespace

extern "C" int dl_install_ser_ca(const char *file) {
    return dl_entry(DL_DEV_TLS_FAILURE, [&]() -> int {
        if (SSL_library_init() != 1) {
            log_msg(DURL_LOG_ERR, "SSL_library_init error\n");
            return DL_DEV_TLS_FAILURE;
        }
        device_paths dev = device_settings();
        log_msg(DURL_LOG_DEBUG, "config server_ca_path:%s\n", dev.file.c_str());
        std::string server_dir, root;
        if (!cut_last(dev.file, server_dir) || !cut_last(server_dir, root)) {
            log_msg(DURL_LOG_ERR, "Wrong server ca path\n");
            return DL_DEV_BAD_PATH;
        }
        std::string factory = root + "/phonedev/WebServer.pem";
        std::string custom = root + "/server/WebServer.pem";
        const dl_pair_result pair =
            dl_check_pair(file, dev.ssl_version, "Can't load private key from ser_ca_file\n");
        if (pair != dl_pair_result::ok) return pair_failure(pair);
        if (!dl_ensure_dir(root, 0777)) {
            log_msg(DURL_LOG_ERR, "Can't open trust_path\n");
            return DL_DEV_NO_DIRECTORY;
        }
        if (!dl_ensure_dir(server_dir, 0777)) {
            log_msg(DURL_LOG_ERR, "Can't open serverdir\n");
            return DL_DEV_NO_DIRECTORY;
        }
        if (same_digest(file, custom)) {
            log_msg(DURL_LOG_ERR, "cert file same to custom device cert file\n");
            return DL_DEV_SAME_AS_CUSTOM;
        }
        if (same_digest(file, factory)) {
            log_msg(DURL_LOG_ERR, "cert file same to factory prefabrication device cert flie\n");
            return DL_DEV_SAME_AS_FACTORY;
        }
        // The file carries the private key: the copy is owner-only, and a failed copy is
        // reported with D left as it was.
        if (dl_copy_file_mode(file, dev.file.c_str(), dl_file_mode::owner_only) != 0)
            return DL_DEV_NO_DIRECTORY;
        return DL_OK;
    });
}

extern "C" int dl_install_ser_ca_separate(const char *file) {
    return dl_entry(DL_FAILED, [&]() -> int {
        if (!file) {
            log_msg(DURL_LOG_ERR, "Invaild paramter\n");
            return DL_FAILED;
        }
        std::string dev = device_settings().file;
        dl_cert_file in;
        if (!in.open(file)) {
            log_msg(DURL_LOG_ERR, "Bio_new_file dev cert err\n");
            return DL_FAILED;
        }
        durl::X509Ptr cert;
        durl::EvpPkeyPtr key;
        read_halves(in, &cert, &key);
        if (!cert && !key) {
            log_msg(DURL_LOG_ERR, "load dev cert err\n");
            return DL_FAILED;
        }
        // The missing half comes from the current device certificate file.
        if (!in.open(dev.c_str()))
            log_msg(DURL_LOG_ERR, "Bio_new_file dev cert err\n");
        else
            read_halves(in, cert ? nullptr : &cert, key ? nullptr : &key);
        // Rewriting D without a key it holds but could not open (wrong or missing password)
        // would destroy the device's only copy of that key.
        if (!key && holds_key_block(dev)) {
            log_msg(DURL_LOG_ERR, "load dev cert err\n");
            return DL_FAILED;
        }
        size_t server = dev.find("server");
        if (server == std::string::npos) {
            log_msg(DURL_LOG_ERR, "server cert dir err");
            return DL_FAILED;
        }
        if (!dl_ensure_dir(dev.substr(0, server + 6), 0775)) {
            log_msg(DURL_LOG_ERR, "Can't open serverdir\n");
            return DL_FAILED;
        }
        int rc = dl_write_file_atomic(dev.c_str(), dl_file_mode::owner_only, [&](FILE *f) {
            if (cert && PEM_write_X509(f, cert.get()) != 1) return false;
            return !key ||
                   PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
        });
        if (rc != DL_WRITE_OK) {
            log_msg(DURL_LOG_ERR, "write dev cert err\n");
            return DL_FAILED;
        }
        return DL_OK;
    });
}

extern "C" int dl_del_ser_ca(void) {
    return dl_entry(DL_FAILED, [&]() -> int {
        (void)unlink(device_settings().file.c_str());
        return DL_OK;
    });
}

extern "C" int dl_get_ser_ca_info(dl_ca_info *info) {
    return dl_entry(DL_NO_CERTIFICATE, [&]() -> int {
        if (!info) {
            log_msg(DURL_LOG_ERR, "Invalid Parameter\n");
            return DL_BAD_ARGUMENT;
        }
        std::memset(info, 0, sizeof *info);
        std::string dev = device_settings().file;
        if (int rc = dl_get_ca_info(dev.c_str(), info)) return rc;
        dl_cert_file in;
        if (!in.open(dev.c_str())) {
            log_msg(DURL_LOG_ERR, "Bio_new_file error dev cert\n");
        } else {
            durl::X509Ptr cert;
            durl::EvpPkeyPtr key;
            read_halves(in, &cert, &key);
            bool match = cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
            ERR_clear_error();
            if (match) return DL_OK;
        }
        log_msg(DURL_LOG_WARNING, "private key doesn't match public key\n");
        return DL_KEY_NOT_MATCHING;
    });
}
