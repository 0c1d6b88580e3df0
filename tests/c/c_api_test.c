/* The public API from C: this file includes only tav.h, is compiled as C11
 * and links the shared library.  It formats a file with the format tool,
 * starts a read-only instance on it through a libev loop, asks for statfs and
 * finishes the instance.  Exit status 0 on success. */
#include <ev.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "tav.h"

#include "c_evdriver.h"

static int done;
static ssize_t init_ret = -2;
static int64_t statfs_ret = -2, fini_ret = -2;
static tav *instance;

static void init_cbk(ssize_t op_ret, uint32_t op_errno, void *data, tav *t) {
    (void)data;
    init_ret = op_ret;
    if (op_ret < 0)
        fprintf(stderr, "init failed: %u\n", op_errno);
    instance = t;
    done = 1;
}

static void common_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    *(int64_t *)data = op_ret < 0 ? -(int64_t)op_errno : op_ret;
    done = 1;
}

static int run(struct ev_loop *loop) {
    for (int i = 0; i < 100000 && !done; i++)
        ev_run(loop, EVRUN_ONCE);
    int was = done;
    done = 0;
    return was;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s TAV_MKFS WORKDIR\n", argv[0]);
        return 2;
    }
    char image[4096], cmd[8192];
    snprintf(image, sizeof(image), "%s/c_api.img", argv[2]);
    snprintf(cmd, sizeof(cmd), "mkdir -p '%s' && '%s' -i libaio -g 1 -s 256M -f '%s' >/dev/null", argv[2],
             argv[1], image);
    if (system(cmd) != 0) {
        fprintf(stderr, "format failed: %s\n", cmd);
        return 1;
    }
    setenv("TAV_IOENGINE", "libaio", 1);

    struct ev_loop *loop = ev_default_loop(0);
    ev_driver driver = {reg, unreg, loop, NULL};
    int status = 1;
    if (tav_init_async(&driver, image, O_RDONLY, init_cbk, NULL) != 0 || !run(loop) || init_ret < 0)
        goto out;
    struct statvfs st;
    memset(&st, 0, sizeof(st));
    if (tav_statfs_async(instance, &st, common_cbk, &statfs_ret) != 0 || !run(loop) || statfs_ret < 0 ||
        st.f_blocks == 0 || st.f_bfree > st.f_blocks) {
        fprintf(stderr, "statfs: %lld, %lu blocks, %lu free\n", (long long)statfs_ret,
                (unsigned long)st.f_blocks, (unsigned long)st.f_bfree);
        goto out;
    }
    if (tav_fini(instance, common_cbk, &fini_ret) != 0 || !run(loop) || fini_ret < 0) {
        fprintf(stderr, "fini: %lld\n", (long long)fini_ret);
        goto out;
    }
    status = 0;
    printf("started, %lu blocks, %lu free, finished\n", (unsigned long)st.f_blocks,
           (unsigned long)st.f_bfree);
out:
    unlink(image);
    return status;
}
