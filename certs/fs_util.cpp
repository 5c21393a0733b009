// Replacing certificate-half files in place without ever leaving a partial file, and the
// directory checks the stores share.
//
// Every file the certificate half writes is first written to a new, uniquely named sibling
// (same directory, so the final rename stays on one file system and is atomic) and then
// renamed over the target. A reader, a crash or a full disk therefore sees either the old
// content or the new one. The sibling's name starts with ".dltmp-": it never contains
// ".0", so a trust-store listing running at the same time never takes it for an entry.
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "dl_internal.h"

namespace {

// The file a write to target really replaces: a symbolic link is followed so that the
// links of the trust store keep pointing at their file.
std::string resolve_target(const char *target) {
    struct stat st;
    if (lstat(target, &st) == 0 && S_ISLNK(st.st_mode)) {
        char real[PATH_MAX];
        if (realpath(target, real)) return real;
    }
    return target;
}

// Permission bits of the new file: created with `create` (the kernel applies the umask,
// as for any new file), then set to exactly `exact` when that is not -1.
struct file_bits {
    mode_t create;
    int exact;
};

file_bits bits_for(const std::string &target, dl_file_mode mode) {
    if (mode == dl_file_mode::owner_only) return {0600, 0600};
    struct stat st;
    if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return {0600, static_cast<int>(st.st_mode & 07777)};
    return {0666, -1};
}

// The unique sibling, in target's directory, created exclusively under a random name.
int make_sibling(const std::string &target, mode_t create, std::string &temp) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char r[6];
        if (getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) return -1;
        temp = dir + ".dltmp-";
        for (unsigned char c : r) temp += alphabet[c % (sizeof alphabet - 1)];
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, create);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Write, flush and sync the sibling; only a complete, successfully synced and closed file is
// renamed into place. The rename alone covers a failed or interrupted write (error, full
// disk, killed process); the sync covers a power loss: flash file systems may commit the
// rename before the file's data, which would leave the target empty or cut short. The
// directory is not synced: without that a power loss may lose the rename itself, which
// leaves the old content (or no file), never a damaged one.
bool fill_and_close(int fd, int exact_bits, const std::function<bool(FILE *)> &fill) {
    if (exact_bits >= 0 && fchmod(fd, static_cast<mode_t>(exact_bits)) != 0) {
        close(fd);
        return false;
    }
    FILE *f = fdopen(fd, "wb");
    if (!f) {
        close(fd);
        return false;
    }
    bool ok = fill(f);
    ok = std::fflush(f) == 0 && ok && !std::ferror(f);
    ok = ok && fsync(fileno(f)) == 0;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int dl_write_file_atomic(const char *target, dl_file_mode mode,
                         const std::function<bool(FILE *)> &fill) {
    if (!target || !*target) return DL_WRITE_NO_TEMP;
    std::string real = resolve_target(target);
    file_bits bits = bits_for(real, mode);
    std::string temp;
    int fd = make_sibling(real, bits.create, temp);
    if (fd < 0) return DL_WRITE_NO_TEMP;
    if (!fill_and_close(fd, bits.exact, fill) || std::rename(temp.c_str(), real.c_str()) != 0) {
        unlink(temp.c_str());
        return DL_WRITE_FAILED;
    }
    return DL_WRITE_OK;
}

int dl_copy_file_mode(const char *source, const char *target, dl_file_mode mode) {
    if (!source || !target) return -1;
    log_msg(DURL_LOG_DEBUG, "dl_copy_file Source file:%s Target file:%s\n", source, target);
    durl::FilePtr in(std::fopen(source, "rb"));
    if (!in) {
        log_msg(DURL_LOG_ERR, "Source file can't open! \n");
        return -1;
    }
    int rc = dl_write_file_atomic(target, mode, [&](FILE *out) {
        char block[16384];
        size_t n;
        while ((n = std::fread(block, 1, sizeof block, in.get())) > 0)
            if (std::fwrite(block, 1, n, out) != n) return false;
        return !std::ferror(in.get());
    });
    if (rc == DL_WRITE_NO_TEMP) {
        log_msg(DURL_LOG_ERR, "Target file can't open! \n");
        return -1;
    }
    if (rc != DL_WRITE_OK) {
        log_msg(DURL_LOG_ERR, "Target file write error! \n");
        return -1;
    }
    return 0;
}

int dl_can_open_dir(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (!d) return 0;
    closedir(d);
    return 1;
}

int dl_ensure_dir(const std::string &path, mode_t mode) {
    if (dl_can_open_dir(path)) return 1;
    // The result of mkdir does not matter: what counts is whether the directory can be
    // opened afterwards (it may have appeared meanwhile).
    (void)mkdir(path.c_str(), mode);
    return dl_can_open_dir(path);
}
