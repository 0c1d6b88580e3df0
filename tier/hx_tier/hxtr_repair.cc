#include "hxtr_repair.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hxtr_format.h"
#include "hxtr_io.h"
#include "hxtr_log.h"

namespace {

// Loads params->repair_conf: 0, or -EINVAL with "load repair conf %s failed:%s".
int hxtr_repair_load(const hxtr_params_t *p, hxtr_json_t **json) {
    int ret = hxtr_json_load(p->repair_conf, json);
    if (ret < 0) {
        hxtr_err("load repair conf %s failed:%s", p->repair_conf, strerror(-ret));
        return -EINVAL;
    }
    return 0;
}

} // namespace

int64_t hxtr_repair_target(uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX) - HXTR_BLOCK_SIZE) {
        hxtr_err("meta offset %lu is invalid", static_cast<unsigned long>(offset));
        return -EINVAL;
    }
    return static_cast<int64_t>(offset);
}

void hxtr_repair_print(const std::string &object) {
    fprintf(stdout, "%s\n", object.c_str());
}

int hxtr_repair_common(hxtr_params_t *p, hxtr_parse_func_t parse_func, hxtr_repair_write write) {
    if (p->repair_conf == nullptr || p->fd < 0) {
        hxtr_err("failed to get repair_conf or open repair_conf fd");
        return -EINVAL;
    }
    int err;
    void *block = hxtr_alloc_block(HXTR_BLOCK_SIZE, &err);
    if (block == nullptr) {
        hxtr_err("posix memalign failed:%d", err);
        return -ENOMEM;
    }
    hxtr_json_t *json = nullptr;
    int ret = hxtr_repair_load(p, &json);
    if (ret < 0) {
        free(block);
        return ret;
    }
    int64_t offset = parse_func(p, json, block);
    hxtr_json_free(json);
    if (offset < 0) {
        hxtr_err("parse meta info failed:%d, cmd:%d, dev:%s, conf:%s", static_cast<int>(offset), p->cmd,
                 p->dev_path, p->repair_conf);
        free(block);
        return static_cast<int>(offset);
    }
    if (write == HXTR_REPAIR_BUILD_ONLY) {
        // Built, validated and printed by the parse function: all it is for.
    } else if (p->commit) {
        ssize_t n = hxtr_pwrite(p->fd, block, HXTR_BLOCK_SIZE, static_cast<uint64_t>(offset));
        // The repaired metadata must be on the device, not in a volatile cache,
        // before the tool reports success.
        if (n == HXTR_BLOCK_SIZE && fdatasync(p->fd) < 0)
            n = -errno;
        if (n != HXTR_BLOCK_SIZE) {
            hxtr_err("write meta on offset %ld failed:%d, cmd:%d, dev:%s, conf:%s", static_cast<long>(offset),
                     static_cast<int>(n < 0 ? n : -EIO), p->cmd, p->dev_path, p->repair_conf);
            free(block);
            return -EIO;
        }
    } else {
        hxtr_dbg("'commit' flag not set, won't write dev. cmd:%d, conf:%s", p->cmd, p->repair_conf);
    }
    free(block);
    return 0;
}
