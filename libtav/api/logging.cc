// Logging configuration and the request prefix.
#include "logging.h"

#include <assert.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <uuid/uuid.h>

#include "request.h"
#include "stub.h"
#include "logger.h"

namespace {

const char *const kOpNames[TAV_OP_MAX] = {
    "NULL",      "TIMER",       "INIT",         "STATFS",    "UNLINK",     "LISTFILE",  "OPEN",
    "GETATTR",   "FGETATTR",    "SETATTR",      "FSETATTR",  "GETXATTR",   "FGETXATTR", "SETXATTR",
    "FSETXATTR", "REMOVEXATTR", "FREMOVEXATTR", "LISTXATTR", "FLISTXATTR", "READ",      "WRITE",
    "TRUNCATE",  "FTRUNCATE",   "FALLOCATE",    "DISCARD",   "FIEMAP",     "ZEROFILL",  "SYNC",
    "FSYNC",     "COMPRESS",    "STATEX",       "SETIOLOG",  "EXPAND"};

const char *const kFallocModes[] = {"DEFAULT", "HARD", "TEST", "HARD_CACHED"};
const char *const kZerofillModes[] = {"DEFAULT", "HARD"};

const char *mode_name(uint32_t mode, const char *const *names, size_t count) {
    if (mode < 65537)
        return "DEFAULT";
    uint32_t idx = mode - 65536;
    return idx < count ? names[idx] : "UNKNOWN";
}

} // namespace

const char *tav_op_string(tav_op_t op) {
    assert(op < TAV_OP_MAX);
    return kOpNames[op];
}

const char *tav_mode_string(mode_t mode) {
    static char buf[11];
    char t = '-';
    if (S_ISBLK(mode))
        t = 'b';
    else if (S_ISCHR(mode))
        t = 'c';
    else if (S_ISDIR(mode))
        t = 'd';
    else if (S_ISLNK(mode))
        t = 'l';
    else if (S_ISFIFO(mode))
        t = 'p';
    else if (S_ISSOCK(mode))
        t = 's';
    buf[0] = t;
    const char *rwx = "rwx";
    for (int i = 0; i < 9; i++)
        buf[1 + i] = (mode & (0400 >> i)) ? rwx[i % 3] : '-';
    buf[10] = '\0';
    return buf;
}

bool is_printable(const char *buf, size_t len) {
    assert(len > 0);
    for (size_t i = 0; i + 1 < len; i++)
        if (!isprint(static_cast<unsigned char>(buf[i])))
            return false;
    return true;
}

void tav_logging_init(void) {
    logger_set_target(LOG_TARGET_SYSLOG, nullptr);
    logger_set_loglevel(LOG_LEVEL_INFO);
    const char *target = getenv("TAV_LOG_TARGET");
    if (target != nullptr) {
        if (strcasecmp(target, "STDOUT") == 0)
            logger_set_target(LOG_TARGET_STDOUT, nullptr);
        else if (strcasecmp(target, "STDERR") == 0)
            logger_set_target(LOG_TARGET_STDERR, nullptr);
        else if (strcasecmp(target, "SYSLOG") == 0)
            logger_set_target(LOG_TARGET_SYSLOG, nullptr);
        else
            logger_set_target(LOG_TARGET_FILE, target);
    }
    const char *level = getenv("TAV_LOG_LEVEL");
    if (level != nullptr) {
        static const struct {
            const char *name;
            loglevel_t level;
        } levels[] = {{"ALL", LOG_LEVEL_ALL},   {"ERROR", LOG_LEVEL_ERROR}, {"WARNING", LOG_LEVEL_WARNING},
                      {"INFO", LOG_LEVEL_INFO}, {"DEBUG", LOG_LEVEL_DEBUG}, {"TRACE", LOG_LEVEL_TRACE},
                      {"NONE", LOG_LEVEL_NONE}};
        for (const auto &l : levels)
            if (strcasecmp(level, l.name) == 0)
                logger_set_loglevel(l.level);
    }
    logger_hook(tav_logging_hook);
}

const char *tav_logging_hook(void) {
    static char prefix[512];
    tav_stub *stub = tav_stub_current();
    if (stub == nullptr)
        return "[TAV]";

    unsigned char gfid[16] = {};
    int64_t ino = -1;
    bool has_uuid;
    if (stub->inode != nullptr) {
        tav_request_inode_ident(stub->inode, gfid, &ino);
        has_uuid = true;
    } else {
        memcpy(gfid, stub->args.name, 16);
        has_uuid = !uuid_is_null(gfid);
    }
    char uuid[37] = "";
    if (has_uuid)
        uuid_unparse(gfid, uuid);
    const char *op = tav_op_string(stub->op);
    unsigned long id = static_cast<unsigned long>(stub->id);
    const tav_stub_args &a = stub->args;
    size_t n = sizeof(prefix);

    switch (stub->op) {
    case TAV_OP_OPEN:
        snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(flags=0x%x,mode=%s,bd=%d,compressed=%d)]", id, uuid,
                 static_cast<long>(ino), op, a.flags & TAV_OPEN_FLAGS_MASK,
                 tav_mode_string(static_cast<mode_t>(a.mode)), (a.flags & TAV_FLAG_BD) ? 1 : 0,
                 (a.flags & TAV_FLAG_COMPRESSED) ? 1 : 0);
        break;
    case TAV_OP_SETATTR:
        snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(valid=0x%x)]", id, uuid, static_cast<long>(ino), op,
                 a.valid);
        break;
    case TAV_OP_GETXATTR:
    case TAV_OP_FGETXATTR:
        if (a.key)
            snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(key=%s,sz=%lu)]", id, uuid, static_cast<long>(ino), op,
                     a.key, static_cast<unsigned long>(a.size));
        else
            snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(xattr)]", id, uuid, static_cast<long>(ino), op);
        break;
    case TAV_OP_SETXATTR:
    case TAV_OP_FSETXATTR:
        if (a.key) {
            bool printable =
                a.value && a.size > 0 && is_printable(static_cast<const char *>(a.value), a.size);
            snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(key=%s,val=%.*s,sz=%lu,flg=0x%x)]", id, uuid,
                     static_cast<long>(ino), op, a.key, printable ? static_cast<int>(a.size) : 3,
                     printable ? static_cast<const char *>(a.value) : "...",
                     static_cast<unsigned long>(a.size), a.flags);
        } else {
            snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(xattr,flg=0x%x)]", id, uuid, static_cast<long>(ino), op,
                     a.flags);
        }
        break;
    case TAV_OP_REMOVEXATTR:
    case TAV_OP_FREMOVEXATTR:
        snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(key=%s,flg=0x%x)]", id, uuid, static_cast<long>(ino), op,
                 a.key ? a.key : "", a.flags);
        break;
    case TAV_OP_LISTXATTR:
    case TAV_OP_FLISTXATTR:
        snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(sz=%lu)]", id, uuid, static_cast<long>(ino), op,
                 static_cast<unsigned long>(a.size));
        break;
    case TAV_OP_READ:
    case TAV_OP_WRITE:
    case TAV_OP_DISCARD:
    case TAV_OP_FIEMAP:
        snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(off=%ld,sz=%lu)]", id, uuid, static_cast<long>(ino), op,
                 static_cast<long>(a.offset), static_cast<unsigned long>(a.size));
        break;
    case TAV_OP_TRUNCATE:
    case TAV_OP_FTRUNCATE:
        snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(len=%ld)]", id, uuid, static_cast<long>(ino), op,
                 static_cast<long>(a.offset));
        break;
    case TAV_OP_FALLOCATE:
        snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(off=%ld,sz=%lu,mode=%s)]", id, uuid, static_cast<long>(ino),
                 op, static_cast<long>(a.offset), static_cast<unsigned long>(a.size),
                 mode_name(a.mode, kFallocModes, 4));
        break;
    case TAV_OP_ZEROFILL:
        snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s(off=%ld,sz=%lu,mode=%s)]", id, uuid, static_cast<long>(ino),
                 op, static_cast<long>(a.offset), static_cast<unsigned long>(a.size),
                 mode_name(a.mode, kZerofillModes, 2));
        break;
    case TAV_OP_EXPAND:
        snprintf(prefix, n, "[TAV:%lu:%s(len=%lu)]", id, op, static_cast<unsigned long>(a.size));
        break;
    default:
        if (has_uuid)
            snprintf(prefix, n, "[TAV:%lu:%s(%ld):%s]", id, uuid, static_cast<long>(ino), op);
        else
            snprintf(prefix, n, "[TAV:%lu:%s]", id, op);
        break;
    }
    return prefix;
}
