#include "hxtr_cmdline.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hxtr_format.h"
#include "hxtr_io.h"
#include "hxtr_log.h"

namespace {

const char *const s_cmd_names[HXTR_CMD_MAXVALUE] = {
    "dump_super",    // HXTR_CMD_DUMP_SUPER
    "dump_brick",    // HXTR_CMD_DUMP_BRICK
    "dump_inode",    // HXTR_CMD_DUMP_INODE
    "dump_extent",   // HXTR_CMD_DUMP_EXTENT
    "dump_shard",    // HXTR_CMD_DUMP_SHARD
    "dump_hot",      // HXTR_CMD_DUMP_HOT_TABLE
    nullptr,         // HXTR_CMD_RESTORE_BRICK: no command word
    nullptr,         // HXTR_CMD_RESTORE_INODE
    nullptr,         // HXTR_CMD_RESTORE_EXTENT
    "repair_super",  // HXTR_CMD_REPAIR_SUPER
    "repair_brick",  // HXTR_CMD_REPAIR_BRICK
    "repair_inode",  // HXTR_CMD_REPAIR_INODE
    "repair_extent", // HXTR_CMD_REPAIR_EXTENT
    "repair_shard",  // HXTR_CMD_REPAIR_SHARD
    "repair_hot",    // HXTR_CMD_REPAIR_HOT_TABLE
    "convert_super", // HXTR_CMD_CONVERT_SUPER
};

hxtr_cmd_t cmd_from_word(const char *word) {
    for (int i = 0; i < HXTR_CMD_MAXVALUE; i++)
        if (s_cmd_names[i] != nullptr && strcmp(s_cmd_names[i], word) == 0)
            return static_cast<hxtr_cmd_t>(i);
    return HXTR_CMD_UNKNOWN;
}

// A whole int32 in any base strtol auto-detects ("12", "0x1f", "017").
bool parse_int(const char *text, int32_t *out) {
    if (text == nullptr || *text == '\0')
        return false;
    char *end;
    errno = 0;
    long v = strtol(text, &end, 0);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int32_t>(v);
    return true;
}

const char *or_empty(const char *s) {
    return s != nullptr ? s : "";
}

const struct option s_long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"force", no_argument, nullptr, 'F'},
    {"debug", no_argument, nullptr, 'D'},
    {"cmd", required_argument, nullptr, 'c'},
    {"path", required_argument, nullptr, 'p'},
    {"no", required_argument, nullptr, 'n'},
    {"repair_conf", required_argument, nullptr, 'f'},
    {"version", required_argument, nullptr, 'v'},
    {"output", required_argument, nullptr, 'o'},
    {"filter", required_argument, nullptr, 'g'},
    // The long form takes an argument, which is ignored; -y takes none.
    {"commit", required_argument, nullptr, 'y'},
    {"log-file", required_argument, nullptr, 'l'},
    {nullptr, 0, nullptr, 0},
};

int parse_options(hxtr_params_t *p, int argc, char **argv) {
    const char *prog = argv[0];
    optind = 0; // full reset of getopt's state
    opterr = 0; // every option error is reported below, once
    int c;
    const char *refused = nullptr; // the option whose argument was refused
    while ((c = getopt_long(argc, argv, "hFDc:p:n:f:v:o:g:yl:", s_long_options, nullptr)) != -1) {
        switch (c) {
        case 'h': hxtr_usage(stdout, prog); return HXTR_PREPARE_EXIT;
        case 'F': p->force = 1; break;
        case 'D': hxtr_log_set_debug(1); break;
        case 'c':
            p->cmd = cmd_from_word(optarg);
            if (p->cmd == HXTR_CMD_UNKNOWN) {
                hxtr_err("unkown cmd <%s>. <%s -h> for help", optarg, prog);
                return -EINVAL;
            }
            break;
        case 'p': p->dev_path = optarg; break;
        case 'n':
            if (!parse_int(optarg, &p->meta_no) || p->meta_no < -1)
                refused = "no";
            break;
        case 'f': p->repair_conf = optarg; break;
        case 'v':
            if (!parse_int(optarg, &p->spec_ver))
                refused = "version";
            p->ver_given = 1;
            break;
        case 'o': p->out_path = optarg; break;
        case 'g':
            if (hxtr_parse_filter(optarg, &p->filter) < 0)
                refused = "filter";
            break;
        case 'y': p->commit = 1; break;
        case 'l': {
            int ret = hxtr_log_open(optarg);
            if (ret < 0) {
                hxtr_err("cannot open log file %s, error:%s", optarg, strerror(-ret));
                return -EINVAL;
            }
            break;
        }
        default:
            if (optopt != 0)
                hxtr_err("unrecognize option '-%c'. <%s -h> for help", optopt, prog);
            else
                hxtr_err("unrecognize option '%s'. <%s -h> for help", argv[optind - 1], prog);
            return -EINVAL;
        }
        if (refused != nullptr) {
            hxtr_err("invalid %s <%s>. <%s -h> for help", refused, optarg, prog);
            return -EINVAL;
        }
    }
    return 0;
}

int read_super(hxtr_params_t *p) {
    int err;
    void *sb = hxtr_alloc_block(HXTR_BLOCK_SIZE, &err);
    if (sb == nullptr) {
        hxtr_err("posix memalign failed:%d", err);
        return -ENOMEM;
    }
    p->sb = sb;
    ssize_t n = hxtr_pread(p->fd, sb, HXTR_BLOCK_SIZE, HXTR_SB_OFFSET);
    if (n != HXTR_BLOCK_SIZE) {
        hxtr_err("read super failed. path:%s, ret: %d, errno: %s", p->dev_path, static_cast<int>(n),
                 strerror(n < 0 ? static_cast<int>(-n) : 0));
        return -EIO;
    }
    return 0;
}

} // namespace

const char *hxtr_cmd_name(int cmd) {
    if (cmd < 0 || cmd >= HXTR_CMD_MAXVALUE || s_cmd_names[cmd] == nullptr)
        return "unknown";
    return s_cmd_names[cmd];
}

void hxtr_usage(FILE *fp, const char *prog) {
    fprintf(fp, "usage: %s -p <path> -c <command> [options]\n", prog);
    fputs("--help        | -h show help info\n", fp);
    fputs("--cmd         | -c sub command. dump|repair\n", fp);
    fputs("--path        | -p tcache device path, such as /dev/xxx/xxx-tcache\n", fp);
    fputs("--no          | -n number of repair info\n", fp);
    fputs("--repair_conf | -f json file with the repairing meta info\n", fp);
    fputs("--version     | -v tier version, only use in super-block repair\n", fp);
    fputs("--output      | -o output file for dump command\n", fp);
    fputs("--filter      | -g filter for dump command, such as -g 'use=1'\n", fp);
    fputs("--log-file    | -l log file\n", fp);
    fputs("--debug       | -D enable debug mode\n", fp);
    fputs("\n", fp);
    fputs("'dump' command(s): -c [dump_super|dump_brick|dump_inode|dump_extent|dump_shard|dump_hot] "
          "[-n no|-g filter] [-o file]\n",
          fp);
    fputs("\n", fp);
    fputs("  'filter' option minimized the dump output when [-n no] not specified, support filter "
          "key(s) are:\n",
          fp);
    fputs("    use=[0|1]; filter used or not used meta, default action is dump all of them\n", fp);
    fputs("    owner=no; filter meta by its parent, such as filter 'inode' by brick no\n", fp);
    fputs("    id=str; filter meta by 'id' string, such as gfid or brickid\n", fp);
    fputs("    error=[0|1]; filter meta by dump state. 'error=1' means only dump the meta which read "
          "error or check error\n",
          fp);
    fputs("\n", fp);
    fputs("Examples:\n", fp);
    fprintf(fp, "%s -p /dev/xxx -c dump_super\n", prog);
    fprintf(fp, "%s -p /dev/xxx -c dump_brick  [-n b_no  | -g 'id=brickid'] [-o file]\n", prog);
    fprintf(fp, "%s -p /dev/xxx -c dump_inode  [-n i_no  | -g 'owner=b_no'] [-o file]\n", prog);
    fprintf(fp, "%s -p /dev/xxx -c dump_extent [-n te_no | -g 'use=1']      [-o file]\n", prog);
    fputs("\n", fp);
    fputs("'repair' command(s): -c [repair_super|convert_super|repair_brick|repair_inode|"
          "repair_extent] [-v tier_ver] [-f conf] [-y]\n",
          fp);
    fputs("Examples:\n", fp);
    fprintf(fp, "%s -p /dev/xxx -c repair_super -v 2 -f xxxx.json [-y]\n", prog);
    fprintf(fp, "%s -p /dev/xxx -c repair_brick -f xxxx.json [-y]\n", prog);
}

int hxtr_parse_filter(const char *text, hxtr_filter_t *filter) {
    const char *p = text;
    while (*p != '\0') {
        const char *end = strchr(p, ',');
        const size_t len = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        const char *eq = static_cast<const char *>(memchr(p, '=', len));
        if (eq != nullptr) {
            const size_t klen = eq - p;
            char value[256];
            const size_t vlen = len - klen - 1;
            if (vlen >= sizeof(value))
                return -EINVAL;
            memcpy(value, eq + 1, vlen);
            value[vlen] = '\0';
            int32_t *num = nullptr;
            if (klen == 3 && memcmp(p, "use", 3) == 0)
                num = &filter->use;
            else if (klen == 5 && memcmp(p, "owner", 5) == 0)
                num = &filter->owner;
            else if (klen == 5 && memcmp(p, "error", 5) == 0)
                num = &filter->error;
            if (num != nullptr) {
                if (!parse_int(value, num))
                    return -EINVAL;
            } else if (klen == 2 && memcmp(p, "id", 2) == 0) {
                char *id = strdup(value);
                if (id == nullptr)
                    return -ENOMEM;
                free(filter->id);
                filter->id = id;
            }
        }
        if (end == nullptr)
            break;
        p = end + 1;
    }
    return 0;
}

int hxtr_prepare_param(hxtr_params_t *p, int argc, char **argv) {
    *p = hxtr_params_t{};
    p->fd = -1;
    p->cmd = HXTR_CMD_UNKNOWN;
    p->meta_no = -1;
    p->filter.use = -1;
    p->filter.owner = -1;
    p->filter.error = -1;
    p->out_fp = stdout;

    const char *prog = argv[0];
    if (argc <= 1) {
        hxtr_usage(stdout, prog);
        return HXTR_PREPARE_EXIT;
    }
    int ret = parse_options(p, argc, argv);
    if (ret != 0) {
        hxtr_release_param(p);
        return ret;
    }
    if (p->cmd == HXTR_CMD_UNKNOWN || p->dev_path == nullptr) {
        hxtr_err("cmd and dev path must be specified. <%s -h> for help", prog);
        hxtr_release_param(p);
        return -EINVAL;
    }
    p->fd = open(p->dev_path, (p->commit ? O_RDWR : O_RDONLY) | O_DIRECT);
    if (p->fd < 0) {
        hxtr_err("open %s failed. errno: %s", p->dev_path, strerror(errno));
        hxtr_release_param(p);
        return -EIO;
    }
    if (!p->ver_given && (ret = read_super(p)) < 0) {
        hxtr_release_param(p);
        return ret;
    }
    if (p->out_path != nullptr) {
        p->out_fp = fopen(p->out_path, "w");
        if (p->out_fp == nullptr) {
            p->out_fp = stdout;
            hxtr_err("open path %s failed:%s", p->out_path, strerror(errno));
            hxtr_release_param(p);
            return -EINVAL;
        }
    }
    hxtr_dbg("dev:%s, cmd:%s, spec_ver:%d, meta_no:%d repair_conf:%s, out_path:%s, filter: use=%d, "
             "error=%d, owner_no=%d, id=%s",
             p->dev_path, hxtr_cmd_name(p->cmd), p->spec_ver, p->meta_no, or_empty(p->repair_conf),
             or_empty(p->out_path), p->filter.use, p->filter.error, p->filter.owner, or_empty(p->filter.id));
    return 0;
}

int hxtr_release_param(hxtr_params_t *p) {
    int ret = 0;
    if (p->fd >= 0)
        close(p->fd);
    p->fd = -1;
    if (p->out_fp != nullptr && p->out_fp != stdout) {
        if (fclose(p->out_fp) != 0) {
            hxtr_err("write output %s failed:%s", or_empty(p->out_path), strerror(errno));
            ret = -EIO;
        }
    } else if (fflush(stdout) != 0 || ferror(stdout)) {
        hxtr_err("write output failed:%s", strerror(errno));
        ret = -EIO;
    }
    p->out_fp = nullptr;
    free(p->sb);
    p->sb = nullptr;
    free(p->filter.id);
    p->filter.id = nullptr;
    return ret;
}
