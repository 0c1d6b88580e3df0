// tav_standalone's command line, FUSE session and event loop: see daemon.h.
#include "daemon.h"

#include <errno.h>
#include <ev.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "evdriver.h"
#include "standalone.h"

namespace {

enum { KEY_HELP };

#define TAV_OPT(t, p, v)                                                                                     \
    { t, offsetof(struct tav_config, p), v }

const struct fuse_opt tav_opts[] = {
    TAV_OPT("-p %s", path, 0),
    TAV_OPT("--path %s", path, 0),
    TAV_OPT("--path=%s", path, 0),
    TAV_OPT("-i %s", ioengine, 0),
    TAV_OPT("--ioengine %s", ioengine, 0),
    TAV_OPT("--ioengine=%s", ioengine, 0),
    TAV_OPT("-r", readonly, 1),
    TAV_OPT("readonly", readonly, 1),
    TAV_OPT("debug", debug, 1),
    FUSE_OPT_KEY("-h", KEY_HELP),
    FUSE_OPT_KEY("--help", KEY_HELP),
    FUSE_OPT_END,
};

const char kUsage[] = "usage: %s -i <ioengine> -p <path> [options] mountpoint\n";
const char kOptions[] = "\nTAV options:\n"
                        "    -i, --ioengine=NAME    set tav ioengine\n"
                        "    -p, --path=PATH        set tav device path\n"
                        "    -o readonly            run tav with readonly mode\n"
                        "    -o debug               print tav log to stderr\n"
                        "\n";

int tav_opt_proc(void *, const char *, int key, struct fuse_args *outargs) {
    if (key == KEY_HELP) {
        fprintf(stderr, kUsage, outargs->argv[0]);
        fputs(kOptions, stderr);
        fuse_opt_add_arg(outargs, "-h");
        return 0;
    }
    return 1;
}

// One request from the session descriptor per event.
int fuse_event_handler(int, int, void *priv, int poll_in, int, int poll_err) {
    struct fuse_session *se = static_cast<struct fuse_session *>(priv);
    int res = 0;
    struct fuse_buf buf = {};
    if (fuse_session_exited(se)) {
        res = -1;
    } else if (poll_err) {
        fprintf(stderr, "poll error\n");
        res = -1;
    } else if (poll_in) {
        int n = fuse_session_receive_buf(se, &buf);
        if (n == 0) {
            res = -1;
        } else if (n == -EINTR || n == -EAGAIN) {
            res = 0; // interrupted or nothing to read: wait for the next event
        } else if (n < 0) {
            fprintf(stderr, "fuse_session_receive_buf return %d\n", n);
            res = n;
        } else {
            fuse_session_process_buf(se, &buf);
        }
    }
    free(buf.mem);
    if (res < 0)
        standalone_shutdown();
    return 0;
}

// libfuse's signal handlers only mark the session exited, which the loop
// would notice at the next request only; these watchers end the daemon at
// once.  They do not keep the loop alive.
struct fuse_session *s_signal_session;

void stop_signal_cb(struct ev_loop *, ev_signal *, int) {
    fuse_session_exit(s_signal_session);
    standalone_shutdown();
}

} // namespace

int tav_standalone_main(int argc, char **argv) {
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    struct tav_config config = {};
    struct fuse_cmdline_opts opts = {};
    struct fuse_session *se = nullptr;
    int status = 1;
    int mounted = 0, handlers = 0;
    struct ev_loop *loop = nullptr;
    ev_signal sig_watchers[3];
    static const int stop_signals[3] = {SIGINT, SIGTERM, SIGHUP};
    ev_driver *driver = nullptr;

    (void)fuse_opt_parse(&args, &config, tav_opts, tav_opt_proc);

    if (fuse_parse_cmdline(&args, &opts) != 0)
        goto out;
    if (opts.show_help) {
        fuse_cmdline_help();
        fuse_lowlevel_help();
        status = 0;
        goto out;
    }
    if (opts.show_version) {
        printf("FUSE library version %s\n", fuse_pkgversion());
        fuse_lowlevel_version();
        status = 0;
        goto out;
    }
    if (opts.mountpoint == nullptr) {
        fprintf(stderr, kUsage, argv[0]);
        fprintf(stderr, "error: no mountpoint given\n");
        goto out;
    }
    // A read-only instance is also mounted read-only, so that the kernel
    // refuses changes (EROFS) before they reach the daemon.
    if (config.readonly && fuse_opt_add_arg(&args, "-oro") != 0)
        goto out;

    se = fuse_session_new(&args, &s_tav_ops, sizeof(s_tav_ops), &config);
    if (se == nullptr)
        goto out;
    if (fuse_set_signal_handlers(se) != 0)
        goto out;
    handlers = 1;
    if (fuse_session_mount(se, opts.mountpoint) != 0)
        goto out;
    mounted = 1;
    fuse_daemonize(opts.foreground);

    // The loop is made after daemonising, in the process that runs it.
    driver = evdriver_env();
    config.driver = driver;
    loop = static_cast<struct ev_loop *>(driver->handle);
    {
        int fd = fuse_session_fd(se);
        int ret = driver->ev_register(driver->handle, fd, fuse_event_handler, se, 1, 0);
        if (ret < 0) {
            fprintf(stderr, "ev_register %d failed: %d\n", fd, ret);
            goto out;
        }
        standalone_set_session(se, &config, 1);
    }
    s_signal_session = se;
    for (int i = 0; i < 3; i++) {
        ev_signal_init(&sig_watchers[i], stop_signal_cb, stop_signals[i]);
        ev_signal_start(loop, &sig_watchers[i]);
        ev_unref(loop);
    }

    ev_run(loop, 0);

    for (int i = 0; i < 3; i++) {
        ev_ref(loop);
        ev_signal_stop(loop, &sig_watchers[i]);
    }
    standalone_stop_reading();
    status = standalone_exit_status();

out:
    if (mounted)
        fuse_session_unmount(se);
    if (handlers)
        fuse_remove_signal_handlers(se);
    if (se != nullptr)
        fuse_session_destroy(se);
    free(opts.mountpoint);
    fuse_opt_free_args(&args);
    free(config.path);
    free(config.ioengine);
    return status;
}
