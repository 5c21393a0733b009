// Trusted CA store: the hash-named directory of CA certificates that OpenSSL's hashed
// directory lookup (and so libcurl's CA path) reads directly.
//
// Layout under the trust directory T (the ssl_trust_path setting, ending in "/"):
//   T"%08x.0"        the installed CA, PEM
//   T"%08x"          symbolic link to T"%08x.0"
//   T"ca/%08x.0"     symbolic link to T"%08x.0" (the all-CA directory)
//   T"phoneca/"      the factory CAs, never written here
// File operations use the system calls directly: no path ever passes through a shell,
// so names with shell characters or of any length are handled as they are.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <openssl/err.h>

#include "dl_frame.h"
#include "dl_internal.h"

namespace {

// The trust directory, copied out of the default handle under its lock.
std::string trust_path() { return durl_config_snapshot(nullptr).ssl_trust_path; }

std::string hash_name(uint32_t hash, const char *suffix) {
    char name[16];
    std::snprintf(name, sizeof name, "%08x%s", hash, suffix);
    return name;
}

bool is_entry_name(const char *name) { return std::strstr(name, ".0") != nullptr; }

// Outcome of looking for a subject hash among the entries of a directory.
enum class scan_result { absent, present, cannot_open };

scan_result find_hash(const std::string &dir, uint32_t hash) {
    // Owned: a name that can't be built (memory) ends the scan by exception.
    durl::DirPtr d(opendir(dir.c_str()));
    if (!d) return scan_result::cannot_open;
    scan_result found = scan_result::absent;
    while (struct dirent *e = readdir(d.get())) {
        if (!is_entry_name(e->d_name)) continue;
        if (dl_get_ca_hash((dir + e->d_name).c_str()) == hash) {
            found = scan_result::present;
            break;
        }
    }
    return found;
}

// A link the store makes the way "ln -s" would: the link holds the target text as given.
// Like the shell command, an existing name is left alone.
void make_link(const std::string &target, const std::string &link) {
    if (symlink(target.c_str(), link.c_str()) != 0 && errno != EEXIST)
        log_msg(DURL_LOG_WARNING, "symlink %s failed: %s\n", link.c_str(), std::strerror(errno));
}

void remove_path(const std::string &path) { (void)unlink(path.c_str()); }

// One entry of a listing. Read with the reader, an entry the reader refused is deleted only
// when it was really read and holds no certificate; an entry that could not be opened is
// kept, so a passing fault (permissions, no free descriptors) never erases a trusted CA.
template <class Entry, class Reader>
bool list_entry(const std::string &path, Entry &slot, Reader &&read) {
    if (path.size() >= sizeof slot.path) {
        log_msg(DURL_LOG_WARNING, "trust ca path too long, skipped: %s\n", path.c_str());
        return false;
    }
    if (read(path.c_str(), slot) == 0) return true;
    if (dl_entry_is_unusable(path.c_str())) remove_path(path);
    return false;
}

// Walk T's entries in directory order into list (at most DL_TRUST_CA_MAX). -2 when T can't
// be opened.
template <class List, class Reader>
int list_store(List &list, Reader &&read) {
    std::string trust = trust_path();
    durl::DirPtr d(opendir(trust.c_str()));
    if (!d) return DL_NO_TRUST_DIR;
    while (struct dirent *e = readdir(d.get())) {
        if (!is_entry_name(e->d_name)) continue;
        if (list.count >= DL_TRUST_CA_MAX) {
            log_msg(DURL_LOG_ERR, "number of ca file is no less than 10!\n");
            break;
        }
        if (list_entry(trust + e->d_name, list.entries[list.count], read)) ++list.count;
    }
    return DL_OK;
}

}  // namespace

bool dl_entry_is_unusable(const char *path) {
    dl_cert_file entry;
    if (!entry.open(path)) return false;
    // Only bytes that were read whole and parse as no certificate condemn an entry: a
    // read error or a failed allocation says nothing about the file.
    return !entry.certificate(true) && !entry.read_error() && !entry.out_of_memory();
}

extern "C" int dl_install_ca(const char *file) {
    return dl_entry(DL_CA_NOT_INSTALLED, [&]() -> int {
        durl::X509Ptr cert;
        uint32_t hash = dl_read_ca_hash(file, &cert);
        if (hash == 0) return DL_CA_NOT_INSTALLED;
        std::string trust = trust_path();
        if (!dl_ensure_dir(trust, 0777)) {
            log_msg(DURL_LOG_ERR, "Can't open custom trust certs directory\n");
            return DL_CA_NOT_INSTALLED;
        }
        std::string all_ca = trust + "ca/";
        if (!dl_can_open_dir(all_ca) && mkdir(all_ca.c_str(), 0777) != 0)
            log_msg(DURL_LOG_ERR, "Can't create directory all ca certs directory\n");
        if (find_hash(trust, hash) == scan_result::present) {
            log_msg(DURL_LOG_ERR, "the ca file file has existed in custom certs directory\n");
            return DL_CA_ALREADY_INSTALLED;
        }
        std::string factory = trust + "phoneca/";
        if (!dl_ensure_dir(factory, 0777)) {
            log_msg(DURL_LOG_ERR, "Can't open factory prefabrication directory\n");
            return DL_CA_NOT_INSTALLED;
        }
        if (find_hash(factory, hash) == scan_result::present) {
            log_msg(DURL_LOG_ERR, "the ca file has existed by factory prefabrication\n");
            return DL_CA_FACTORY_CA;
        }
        std::string stored = trust + hash_name(hash, ".0");
        // The store gets the certificate that was read, as PEM, rather than the file's bytes:
        // the TLS library's own loader, through which verification and transfers read the
        // store, then finds exactly that certificate, whatever else the given file held (text,
        // keys, further certificates, a damaged block it would refuse the whole file for).
        // A failed write leaves no file (it is renamed into place only when complete), so no
        // link may point at it either.
        const int written = dl_write_pem_cert(stored.c_str(), cert.get());
        if (written != DL_WRITE_OK) {
            log_msg(DURL_LOG_ERR, "%s",
                    written == DL_WRITE_NO_TEMP ? "Target file can't open! \n"
                                                : "Target file write error! \n");
            return DL_CA_NOT_INSTALLED;
        }
        make_link(stored, trust + hash_name(hash, ""));
        make_link(stored, all_ca + hash_name(hash, ".0"));
        return DL_OK;
    });
}

extern "C" int dl_del_ca(const char *file) {
    return dl_entry(DL_FAILED, [&]() -> int {
        if (!file) return DL_OK;
        uint32_t hash = dl_get_ca_hash(file);
        std::string trust = trust_path();
        remove_path(file);
        if (hash == 0) return DL_OK;
        log_msg(DURL_LOG_INFO, "hash:%x\n", hash);
        std::string all_ca = trust + "/ca/";
        remove_path(all_ca + hash_name(hash, ".0"));
        remove_path(all_ca + hash_name(hash, ""));
        remove_path(trust + hash_name(hash, ".0"));
        remove_path(trust + hash_name(hash, ""));
        return DL_OK;
    });
}

extern "C" int dl_get_trust_ca_info(dl_trust_ca_list *list) {
    return dl_entry(DL_NO_TRUST_DIR, [&]() -> int {
        if (!list) {
            log_msg(DURL_LOG_ERR, "Invalid Parameter\n");
            return DL_BAD_ARGUMENT;
        }
        std::memset(list, 0, sizeof *list);
        return list_store(*list, [](const char *path, dl_ca_info &entry) {
            std::memcpy(entry.path, path, std::strlen(path) + 1);
            return dl_get_ca_info(path, &entry) == DL_NO_CERTIFICATE ? DL_NO_CERTIFICATE : DL_OK;
        });
    });
}

extern "C" int dl_get_trust_ca_info_ex(dl_trust_ca_list_ex *list, dl_ca_status *status) {
    return dl_entry(DL_FAILED, status, DL_STATUS_NO_TRUST_DIR, [&]() -> int {
        if (!list || !status) {
            log_msg(DURL_LOG_ERR, "Invalid Parameter\n");
            if (status) status->code = DL_STATUS_BAD_ARGUMENT;
            return DL_FAILED;
        }
        std::memset(list, 0, sizeof *list);
        std::memset(status, 0, sizeof *status);
        int rc = list_store(*list, [status](const char *path, dl_ca_info_ex &entry) {
            int r = dl_get_ca_info_ex(path, &entry, 0, status);
            // The reader clears the entry, so the path goes in afterwards.
            std::memcpy(entry.path, path, std::strlen(path) + 1);
            return r;
        });
        if (rc != 0) {
            status->code = DL_STATUS_NO_TRUST_DIR;
            return DL_FAILED;
        }
        return DL_OK;
    });
}
