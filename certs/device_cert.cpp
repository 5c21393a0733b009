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
            return -7;
        case dl_pair_result::no_certificate:
            return -3;
        case dl_pair_result::no_key:
            return -2;
        case dl_pair_result::mismatch:
            return -4;
        default:
            return -5;
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
    if (SSL_library_init() != 1) {
        log_msg(3, "SSL_library_init error\n");
        return -5;
    }
    device_paths dev = device_settings();
    log_msg(7, "config server_ca_path:%s\n", dev.file.c_str());
    std::string server_dir, root;
    if (!cut_last(dev.file, server_dir) || !cut_last(server_dir, root)) {
        log_msg(3, "Wrong server ca path\n");
        return -7;
    }
    std::string factory = root + "/phonedev/WebServer.pem";
    std::string custom = root + "/server/WebServer.pem";
    const dl_pair_result pair =
        dl_check_pair(file, dev.ssl_version, "Can't load private key from ser_ca_file\n");
    if (pair != dl_pair_result::ok) return pair_failure(pair);
    if (!dl_ensure_dir(root, 0777)) {
        log_msg(3, "Can't open trust_path\n");
        return -6;
    }
    if (!dl_ensure_dir(server_dir, 0777)) {
        log_msg(3, "Can't open serverdir\n");
        return -6;
    }
    if (same_digest(file, custom)) {
        log_msg(3, "cert file same to custom device cert file\n");
        return -7;
    }
    if (same_digest(file, factory)) {
        log_msg(3, "cert file same to factory prefabrication device cert flie\n");
        return -8;
    }
    // The file carries the private key: the copy is owner-only, and a failed copy is
    // reported with D left as it was.
    if (dl_copy_file_mode(file, dev.file.c_str(), dl_file_mode::owner_only) != 0) return -6;
    return 0;
}

extern "C" int dl_install_ser_ca_separate(const char *file) {
    if (!file) {
        log_msg(3, "Invaild paramter\n");
        return -1;
    }
    std::string dev = device_settings().file;
    dl_cert_file in;
    if (!in.open(file)) {
        log_msg(3, "Bio_new_file dev cert err\n");
        return -1;
    }
    durl::X509Ptr cert;
    durl::EvpPkeyPtr key;
    read_halves(in, &cert, &key);
    if (!cert && !key) {
        log_msg(3, "load dev cert err\n");
        return -1;
    }
    // The missing half comes from the current device certificate file.
    if (!in.open(dev.c_str()))
        log_msg(3, "Bio_new_file dev cert err\n");
    else
        read_halves(in, cert ? nullptr : &cert, key ? nullptr : &key);
    // Rewriting D without a key it holds but could not open (wrong or missing password)
    // would destroy the device's only copy of that key.
    if (!key && holds_key_block(dev)) {
        log_msg(3, "load dev cert err\n");
        return -1;
    }
    size_t server = dev.find("server");
    if (server == std::string::npos) {
        log_msg(3, "server cert dir err");
        return -1;
    }
    if (!dl_ensure_dir(dev.substr(0, server + 6), 0775)) {
        log_msg(3, "Can't open serverdir\n");
        return -1;
    }
    int rc = dl_write_file_atomic(dev.c_str(), dl_file_mode::owner_only, [&](FILE *f) {
        if (cert && PEM_write_X509(f, cert.get()) != 1) return false;
        return !key ||
               PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
    if (rc != DL_WRITE_OK) {
        log_msg(3, "write dev cert err\n");
        return -1;
    }
    return 0;
}

extern "C" int dl_del_ser_ca(void) {
    (void)unlink(device_settings().file.c_str());
    return 0;
}

extern "C" int dl_get_ser_ca_info(dl_ca_info *info) {
    if (!info) {
        log_msg(3, "Invalid Parameter\n");
        return -1;
    }
    std::memset(info, 0, sizeof *info);
    std::string dev = device_settings().file;
    if (int rc = dl_get_ca_info(dev.c_str(), info)) return rc;
    dl_cert_file in;
    if (!in.open(dev.c_str())) {
        log_msg(3, "Bio_new_file error dev cert\n");
    } else {
        durl::X509Ptr cert;
        durl::EvpPkeyPtr key;
        read_halves(in, &cert, &key);
        bool match = cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
        ERR_clear_error();
        if (match) return 0;
    }
    log_msg(4, "private key doesn't match public key\n");
    return -3;
}
