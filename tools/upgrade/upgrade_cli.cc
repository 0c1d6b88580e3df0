// tav_upgrade: options, the device lock and the three actions, each run in a
// coroutine on libev's default loop.
#include "upgrade_cli.h"

#include <errno.h>
#include <ev.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "evdriver.h"
#include "instance.h"
#include "ioengine.h"
#include "logging.h"
#include "progress.h"
#include "upgrade.h"
#include "super.h"
#include "coroutine.h"
#include "logger.h"
#include "memory.h"

namespace {

enum opt_action {
    OPT_ACTION_NONE = 0,
    OPT_ACTION_GET_VERSION = 1,
    OPT_ACTION_UPGRADE = 2,
    OPT_ACTION_RESTORE = 3,
};

struct options {
    opt_action action = OPT_ACTION_NONE;
    const char *engine = nullptr;
    const char *path = nullptr;
    const char *backup = nullptr;
    int debug = 0;
};

struct job {
    options opt;
    ev_driver *driver = nullptr;
    int result = 0;
    bool done = false;
    int lock_fd = -1; /* held until the process ends */
};

void usage(const char *prog) {
    fprintf(stderr,
            "usage: %s -i <ioengine> -p <path> -a <upgrade|restore> -b <backup>\n\nOptions:\n"
            "  -i, --ioengine=NAME    tav ioengine: libaio or kvol\n"
            "  -p, --path=NAME        tav device path\n"
            "  -a, --action=NAME      action: upgrade or restore or get_version\n"
            "  -b, --backup=NAME      zmap backup path\n"
            "  -d, --debug            show debug message\n"
            "  -h, --help             show this message\n",
            prog);
}

/* 1: go on; otherwise the result to exit with. */
int parse(int argc, char **argv, options *o) {
    static const struct option longopts[] = {
        {"ioengine", required_argument, nullptr, 'i'},
        {"path", required_argument, nullptr, 'p'},
        {"action", required_argument, nullptr, 'a'},
        {"backup", required_argument, nullptr, 'b'},
        {"debug", no_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 1;
    int c;
    while ((c = getopt_long_only(argc, argv, "i:p:a:b:dh", longopts, nullptr)) != -1) {
        switch (c) {
        case 'i': o->engine = optarg; break;
        case 'p': o->path = optarg; break;
        case 'b': o->backup = optarg; break;
        case 'd': o->debug = 1; break;
        case 'a':
            if (strcmp(optarg, "upgrade") == 0) {
                o->action = OPT_ACTION_UPGRADE;
            } else if (strcmp(optarg, "restore") == 0) {
                o->action = OPT_ACTION_RESTORE;
            } else if (strcmp(optarg, "get_version") == 0) {
                o->action = OPT_ACTION_GET_VERSION;
            } else {
                fprintf(stderr, "invalid action: %s\n", optarg);
                return -EINVAL;
            }
            break;
        default: usage(argv[0]); return 0;
        }
    }
    const char *missing = nullptr;
    if (o->engine == nullptr)
        missing = "ioengine";
    else if (o->path == nullptr)
        missing = "path";
    else if (o->backup == nullptr && o->action != OPT_ACTION_GET_VERSION)
        missing = "backup path";
    if (missing) {
        fprintf(stderr, "invalid argument: %s not provided\n", missing);
        usage(argv[0]);
        return -EINVAL;
    }
    return 1;
}

/* The progress of long steps, on the operator's terminal. */
void print_progress(void *, const char *what, uint64_t done, uint64_t total) {
    unsigned pct = total ? static_cast<unsigned>(done * 100 / total) : 100;
    fprintf(stderr, "tav_upgrade: %s %lu/%lu (%u%%)\n", what, done, total, pct);
}

/* The device through this thread's default engine, and its superblock. */
class Device {
public:
    ~Device() {
        if (sb_loaded_)
            tav_sb_destroy(&sb_);
        if (ioengine_get_default())
            ioengine_default_fini();
    }
    TAV_COROUTINE_FN int open(const job *j, int oflag) {
        if (ioengine_default_init(j->driver, j->opt.engine, j->opt.path, oflag) < 0) {
            log_error("invalid source path: %s", j->opt.path);
            return -EINVAL;
        }
        int ret = tav_sb_load(&sb_);
        if (ret < 0) {
            log_error("load super block failed: %d", ret);
            return ret;
        }
        sb_loaded_ = true;
        return 0;
    }
    tav_sb_info *sb() { return &sb_; }

private:
    tav_sb_info sb_ = {};
    bool sb_loaded_ = false;
};

TAV_COROUTINE_FN int do_get_version(job *j) {
    Device dev;
    int ret = dev.open(j, O_RDONLY);
    if (ret < 0)
        return ret;
    const uint64_t version = dev.sb()->tav_disk_sb.s_header.version;
    printf("%lu", version);
    fflush(stdout);
    if (version == TAV_SB_VERSION_2)
        log_info("tav has been upgraded, do nothing");
    return 0;
}

/* Upgrade and restore change the device: only under its lock. */
TAV_COROUTINE_FN int open_locked(job *j, Device *dev) {
    int ret = tav_device_lock(j->opt.path, &j->lock_fd);
    return ret < 0 ? ret : dev->open(j, O_RDWR);
}

TAV_COROUTINE_FN int do_upgrade(job *j) {
    Device dev;
    int ret = open_locked(j, &dev);
    if (ret < 0)
        return ret;
    const uint64_t version = dev.sb()->tav_disk_sb.s_header.version;
    if (version == TAV_SB_VERSION_2) {
        log_info("tav has been upgraded, do nothing");
        return 0;
    }
    if (version == TAV_SB_VERSION_UPGRADING) {
        log_error("last upgrade was interrupted, run resotre first");
        return -EAGAIN;
    }
    ret = tav_upgrade_run(j->driver, dev.sb(), j->opt.backup, TAV_UPGRADE_TOOL);
    if (ret == 0)
        log_info("tav upgrade succeed");
    return ret;
}

TAV_COROUTINE_FN int do_restore(job *j) {
    Device dev;
    int ret = open_locked(j, &dev);
    if (ret < 0)
        return ret;
    if (dev.sb()->tav_disk_sb.s_header.version == TAV_SB_VERSION_2)
        log_warn("restoring a version 2 device: blocks allocated since the backup was taken become free");
    ret = tav_upgrade_restore_zmap(j->driver, &dev.sb()->tav_disk_sb, j->opt.backup, TAV_UPGRADE_TOOL);
    if (ret < 0) {
        log_error("restore zmap from %s failed: %d", j->opt.backup, ret);
        return ret;
    }
    ret = tav_upgrade_update_super(dev.sb(), TAV_SB_VERSION_1);
    if (ret < 0) {
        log_error("restore TAV version to %d failed: %d", 1, ret);
        return ret;
    }
    log_info("tav restore succeed");
    return 0;
}

void action_entry(void *opaque) {
    job *j = static_cast<job *>(opaque);
    switch (j->opt.action) {
    case OPT_ACTION_GET_VERSION: j->result = do_get_version(j); break;
    case OPT_ACTION_UPGRADE: j->result = do_upgrade(j); break;
    case OPT_ACTION_RESTORE: j->result = do_restore(j); break;
    case OPT_ACTION_NONE: break;
    }
    j->done = true;
}

const char *action_name(opt_action a) {
    switch (a) {
    case OPT_ACTION_GET_VERSION: return "get_version";
    case OPT_ACTION_UPGRADE: return "upgrade";
    case OPT_ACTION_RESTORE: return "restore";
    default: return "none";
    }
}

} // namespace

int tav_upgrade_cli_main(int argc, char **argv) {
    tav_logging_init();
    job j;
    int ret = parse(argc, argv, &j.opt);
    if (ret != 1)
        return ret;
    if (j.opt.debug) {
        logger_set_loglevel(LOG_LEVEL_ALL);
        logger_set_target(LOG_TARGET_STDOUT, nullptr);
    }
    if (j.opt.action == OPT_ACTION_NONE) {
        fprintf(stderr, "invalid action: %d\n", j.opt.action);
        return -EINVAL;
    }

    j.driver = evdriver_env();
    tav_iobuf_pool_init();
    tav_progress_set_sink(print_progress, nullptr);
    Coroutine *co = coroutine_create(action_entry, &j);
    if (co == nullptr) {
        fprintf(stderr, "tav_upgrade: out of memory\n");
        return -ENOMEM;
    }
    coroutine_enter(co);
    struct ev_loop *loop = static_cast<struct ev_loop *>(j.driver->handle);
    while (!j.done)
        ev_run(loop, EVRUN_ONCE);
    tav_progress_set_sink(nullptr, nullptr);
    tav_iobuf_pool_fini();
    if (j.result < 0)
        fprintf(stderr, "tav_upgrade: %s of %s failed: %d(%s)\n", action_name(j.opt.action), j.opt.path,
                j.result, strerror(-j.result));
    return j.result;
}
