// tav_upgrade: options, then one of the library's three actions
// (tav_format.h) on libev's default loop, run until it calls back.
#include "upgrade_cli.h"

#include <errno.h>
#include <ev.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "evdriver.h"
#include "tav_format.h"

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
    uint64_t version = 0;
    int result = 0;
    bool done = false;
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

void action_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    job *j = static_cast<job *>(data);
    j->result = op_ret < 0 ? -static_cast<int>(op_errno) : 0;
    j->done = true;
}

int start_action(job *j, ev_driver *driver) {
    const options &o = j->opt;
    switch (o.action) {
    case OPT_ACTION_GET_VERSION:
        return tav_upgrade_get_version_async(driver, o.engine, o.path, &j->version, action_cbk, j);
    case OPT_ACTION_UPGRADE: return tav_upgrade_async(driver, o.engine, o.path, o.backup, action_cbk, j);
    case OPT_ACTION_RESTORE:
        return tav_upgrade_restore_async(driver, o.engine, o.path, o.backup, action_cbk, j);
    case OPT_ACTION_NONE: break;
    }
    return -EINVAL;
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
    tav_format_set_log(TAV_FORMAT_LOG_ENV);
    job j;
    int ret = parse(argc, argv, &j.opt);
    if (ret != 1)
        return ret;
    if (j.opt.debug)
        tav_format_set_log(TAV_FORMAT_LOG_DEBUG);
    if (j.opt.action == OPT_ACTION_NONE) {
        fprintf(stderr, "invalid action: %d\n", j.opt.action);
        return -EINVAL;
    }

    ev_driver *driver = evdriver_env();
    tav_format_set_progress(print_progress, nullptr);
    ret = start_action(&j, driver);
    if (ret < 0) {
        j.result = ret;
    } else {
        struct ev_loop *loop = static_cast<struct ev_loop *>(driver->handle);
        while (!j.done)
            ev_run(loop, EVRUN_ONCE);
    }
    tav_format_set_progress(nullptr, nullptr);
    if (j.result == 0 && j.opt.action == OPT_ACTION_GET_VERSION) {
        printf("%lu", j.version);
        fflush(stdout);
    }
    if (j.result < 0)
        fprintf(stderr, "tav_upgrade: %s of %s failed: %d(%s)\n", action_name(j.opt.action), j.opt.path,
                j.result, strerror(-j.result));
    return j.result;
}
