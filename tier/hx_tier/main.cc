// hx_tier: dump and repair the metadata of a tier cache device.
//
// One run: register the format versions, read the command line (opening the
// device and reading its super block), pick the handler of the device's (or
// the named) version, run it, release everything.  The exit status is the
// absolute value of the result: 0, 5 (EIO), 12 (ENOMEM), 14 (EFAULT) or
// 22 (EINVAL).
#include <errno.h>
#include <stdlib.h>

#include "hxtr_cmdline.h"
#include "hxtr_log.h"
#include "hxtr_version.h"

namespace {

int exit_status(int ret) {
    switch (ret) {
    case 0:
    case -EIO:
    case -ENOMEM:
    case -EFAULT:
    case -EINVAL: return -ret;
    default: hxtr_err("unexpected result %d", ret); return EIO;
    }
}

} // namespace

int main(int argc, char **argv) {
    hxtr_register_versions();

    hxtr_params_t params;
    int ret = hxtr_prepare_param(&params, argc, argv);
    if (ret == HXTR_PREPARE_EXIT) {
        hxtr_log_close();
        return 0;
    }
    if (ret == 0) {
        hxtr_cmd_func_t func;
        ret = hxtr_select_handler(&params, &func);
        if (ret == 0)
            ret = func(&params);
        int rel = hxtr_release_param(&params);
        if (ret == 0)
            ret = rel;
    }
    hxtr_log_close();
    return exit_status(ret);
}
