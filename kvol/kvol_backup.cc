// Metadata checksum, backup to a file and recovery from it.
//
// The copy runs `dd` directly from an argument vector (no shell), so a path
// cannot inject a command whatever it contains.  The command text that is
// logged keeps the quoted form of the paths.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kvol_crc.h"
#include "kvol_log.h"
#include "kvol_volume.h"

extern char **environ;

namespace {

constexpr int64_t kPiece = 8192;
constexpr size_t kCmdMax = 1024;

bool len_ok(int64_t metadata_len) {
    if (metadata_len < 0x800000 || metadata_len % kPiece != 0) {
        kvol_log_error("bad metadata_len %ld", static_cast<long>(metadata_len));
        return false;
    }
    return true;
}

// Appends `path` inside single quotes, each quote written as '\''.
bool append_quoted(char *out, size_t max, size_t *len, const char *path) {
    for (const char *p = path; *p != '\0'; p++) {
        const char *piece = *p == '\'' ? "'\\''" : nullptr;
        size_t n = piece ? 4 : 1;
        if (*len + n >= max)
            return false;
        if (piece)
            memcpy(out + *len, piece, n);
        else
            out[*len] = *p;
        *len += n;
    }
    out[*len] = '\0';
    return true;
}

// Copies the first `metadata_len` bytes of `src` onto `dst` (no truncation).
int copy_metadata(const char *src, const char *dst, int64_t metadata_len) {
    char cmd[kCmdMax];
    size_t len = 0;
    bool fits = true;
    auto add = [&](const char *text) {
        size_t n = strlen(text);
        if (len + n >= sizeof(cmd)) {
            fits = false;
            return;
        }
        memcpy(cmd + len, text, n + 1);
        len += n;
    };
    char tail[160];
    snprintf(tail, sizeof(tail), "' bs=%d count=%ld iflag=direct oflag=direct conv=notrunc", int(kPiece),
             static_cast<long>(metadata_len / kPiece));
    add("dd if='");
    fits = fits && append_quoted(cmd, sizeof(cmd), &len, src);
    add("' of='");
    fits = fits && append_quoted(cmd, sizeof(cmd), &len, dst);
    add(tail);
    if (!fits) {
        kvol_log_error("dd cmd too long, src %s dst %s", src, dst);
        return -1;
    }

    size_t ilen = strlen(src) + 4, olen = strlen(dst) + 4;
    char *ifarg = static_cast<char *>(kvol_calloc(ilen));
    char *ofarg = static_cast<char *>(kvol_calloc(olen));
    int ret = -1;
    if (ifarg != nullptr && ofarg != nullptr) {
        snprintf(ifarg, ilen, "if=%s", src);
        snprintf(ofarg, olen, "of=%s", dst);
        char bs[32], count[48];
        snprintf(bs, sizeof(bs), "bs=%d", int(kPiece));
        snprintf(count, sizeof(count), "count=%ld", static_cast<long>(metadata_len / kPiece));
        char dd[] = "dd", iflag[] = "iflag=direct", oflag[] = "oflag=direct", conv[] = "conv=notrunc";
        char *argv[] = {dd, ifarg, ofarg, bs, count, iflag, oflag, conv, nullptr};
        pid_t pid;
        int status = -1;
        int err = posix_spawnp(&pid, "dd", nullptr, nullptr, argv, environ);
        if (err == 0) {
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        if (err == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            ret = 0;
        else
            kvol_log_error("dd failed , status %d, cmd %s", err == 0 ? status : -err, cmd);
    }
    free(ifarg);
    free(ofarg);
    return ret;
}

} // namespace

extern "C" {

KVOL_API uint32_t kvol_metadata_checksum(const char *path, int64_t metadata_len) {
    if (path == nullptr || !len_ok(metadata_len))
        return 0;
    int fd = open(path, O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (fd < 0) {
        kvol_log_error("checksum open %s failed: %s", path, strerror(errno));
        return 0;
    }
    auto *buf = static_cast<unsigned char *>(kvol_aligned_alloc(kPiece));
    uint32_t crc = 0xFFFFFFFFu;
    bool ok = buf != nullptr;
    for (int64_t off = 0; ok && off < metadata_len; off += kPiece) {
        ssize_t n;
        do {
            n = pread(fd, buf, kPiece, off);
        } while (n < 0 && errno == EINTR);
        if (n != kPiece) {
            kvol_log_error("checksum read %s failed at offset %ld: %s", path, static_cast<long>(off),
                           n < 0 ? strerror(errno) : "short read");
            ok = false;
            break;
        }
        crc = tier_crc32_orig(crc, buf, kPiece);
    }
    free(buf);
    close(fd);
    return ok ? crc : 0;
}

KVOL_API uint32_t kvol_backup_metadata(const char *lv_path, const char *bak_file_path, int64_t metadata_len) {
    if (lv_path == nullptr || bak_file_path == nullptr || !len_ok(metadata_len))
        return 0;
    if (strchr(lv_path, '\'') != nullptr) {
        kvol_log_error("there are single quotas in lv_tav_path(%s)", lv_path);
        return 0;
    }
    int fd = open(bak_file_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kvol_log_error("failed to open bak_file %s, errno %d", bak_file_path, errno);
        return 0;
    }
    off_t size = lseek(fd, 0, SEEK_END);
    close(fd);
    if (size < metadata_len) {
        kvol_log_error("bak_file_fd is too small, bak metadata size %ld, bak_file size %ld",
                       static_cast<long>(metadata_len), static_cast<long>(size));
        return 0;
    }
    uint32_t crc = kvol_metadata_checksum(lv_path, metadata_len);
    if (crc == 0 || copy_metadata(lv_path, bak_file_path, metadata_len) < 0)
        return 0;
    if (kvol_metadata_checksum(bak_file_path, metadata_len) != crc) {
        kvol_log_error("metadata on %s is not ok after backup", bak_file_path);
        return 0;
    }
    return crc;
}

KVOL_API int kvol_recover_metadata(const char *lv_path, const char *bak_file_path, int64_t metadata_len,
                                   uint32_t checksum) {
    if (lv_path == nullptr || bak_file_path == nullptr || !len_ok(metadata_len))
        return -1;
    if (strchr(lv_path, '\'') != nullptr) {
        kvol_log_error("there are single quotas in lv_tav_path(%s)", lv_path);
        return -1;
    }
    if (checksum == 0 || kvol_metadata_checksum(bak_file_path, metadata_len) != checksum) {
        kvol_log_error("metadata on %s is not ok", bak_file_path);
        return -1;
    }
    if (copy_metadata(bak_file_path, lv_path, metadata_len) < 0)
        return -1;
    if (kvol_metadata_checksum(lv_path, metadata_len) != checksum) {
        kvol_log_error("metadata on %s is not ok after recover", lv_path);
        return -1;
    }
    return 0;
}

} // extern "C"
